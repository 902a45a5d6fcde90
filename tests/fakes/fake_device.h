// The device model hosted in-process behind the fake serial link (fake_serial.h).
//
// Time is simulated, nothing really waits: the clock starts at 0 on attach, a sleep
// advances it, and a read attempt returns the answer bytes due by now; if none are due it
// waits (in model time) up to the read constant of 100 ms for the first one and returns
// what is due then, else it stands for 100 ms passing and comes back empty. Once the
// model's link has died (a fault), read attempts fail with -1. Writes never advance the
// clock: the model paces them on its own wire when timing is on.
//
// The model itself is reachable through device_model.h (DevFlash, DevGetState,
// DevTranscript, ...) while attached and after detach, until the next attach.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/devsim/device_model.h"

// Power-on the model with config and route the fake link to it. 0, or 1 for a config
// the model refuses (nothing attached then).
int FakeDeviceAttach(const DevConfig& config);

// Back to the fake link's script; the model keeps its state for inspection.
void FakeDeviceDetach();

// The commands the model received, in order, from its transcript: "sync", "Get ID",
// "Write Memory", ...
std::vector<std::string> DeviceCommands();

// Model time in microseconds since attach.
uint64_t FakeDeviceNowUs();

// How often the host opened and closed the port while attached.
uint32_t FakeDeviceOpens();
uint32_t FakeDeviceCloses();
