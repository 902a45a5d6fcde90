// Status callback: the engine's one channel back to the user interface.
#pragma once
#include <cstdint>

enum StatusKind : int {
    Poll = 0,      // value 0; sent by PortRead before every read attempt
    Progress = 1,  // value = percentage, 1 upward (normally at most 101)
    ImageInfo = 2, // value = const char* description, valid for the rest of the program
    Verify = 3,    // value = percentage of the read-back, 1 to 101 (command line runs only)
};

// Returns 0 to go on, nonzero to abort. Once it has answered nonzero it must keep
// answering nonzero: callers rely on the abort being final.
using StatusCallback = int (*)(int kind, intptr_t value);

// Stores the callback; a later call replaces the earlier one. Never cleared by the engine.
void SetStatusCallback(StatusCallback callback);

// The registered callback, or nullptr. Senders that find none make no call and go on.
StatusCallback GetStatusCallback();

// Protocol steps, for a front end that shows them (zuva-flash --verbose). Kept apart from
// the callback, so that its calls stay at their fixed points and the window pays nothing.
// The observer is told of each step as it starts: the command code, or 0x7F for a sync,
// with the bytes nobody asked for that the link dropped just before it: n of them, the
// first min(n, kStepKeptBytes) in discarded (n = 0: none).
constexpr uint32_t kStepKeptBytes = 16;
using StepObserver = void (*)(uint8_t code, const uint8_t* discarded, uint32_t n);

// Stores the observer (nullptr: none); a later call replaces the earlier one.
void SetStepObserver(StepObserver observer);

// Tells the observer, if one is set.
void ReportStep(uint8_t code, const uint8_t* discarded = nullptr, uint32_t n = 0);
