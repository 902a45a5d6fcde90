#include "engine/status.h"

namespace {
StatusCallback registeredCallback = nullptr;
StepObserver stepObserver = nullptr;
} // namespace

void SetStatusCallback(StatusCallback callback) {
    registeredCallback = callback;
}

StatusCallback GetStatusCallback() {
    return registeredCallback;
}

void SetStepObserver(StepObserver observer) {
    stepObserver = observer;
}

void ReportStep(uint8_t code, const uint8_t* discarded, uint32_t n) {
    if (stepObserver != nullptr) {
        stepObserver(code, discarded, n);
    }
}
