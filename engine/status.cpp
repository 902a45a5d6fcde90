#include "engine/status.h"

namespace {
StatusCallback registeredCallback = nullptr;
}

void SetStatusCallback(StatusCallback callback) {
    registeredCallback = callback;
}

StatusCallback GetStatusCallback() {
    return registeredCallback;
}
