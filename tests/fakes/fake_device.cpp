// The device model behind the fake serial link: see fake_device.h.
#include "tests/fakes/fake_device.h"

#include "tests/fakes/fake_serial.h"

namespace {

constexpr uint64_t kReadConstantUs = 100000; // the read constant OpenPort sets

uint64_t gNowUs = 0;
uint32_t gOpens = 0;
uint32_t gCloses = 0;

void OnWrite(const uint8_t* bytes, uint32_t n) {
    DevFeed(bytes, n, gNowUs);
}

bool LinkDeadByNow() {
    DevState s = DevGetState();
    return s.linkDead && gNowUs >= s.linkDeadAtUs;
}

int32_t OnRead(uint8_t* buf, uint32_t n) {
    uint64_t deadline = gNowUs + kReadConstantUs;
    for (;;) {
        if (LinkDeadByNow()) {
            return -1;
        }
        size_t got = DevTakeOutput(buf, n, gNowUs);
        if (got > 0) {
            return static_cast<int32_t>(got);
        }
        uint64_t next = DevNextEventUs();
        DevState s = DevGetState();
        if (s.linkDead && s.linkDeadAtUs < next) {
            next = s.linkDeadAtUs;
        }
        if (next == kDevNever || next > deadline) {
            gNowUs = deadline;
            return LinkDeadByNow() ? -1 : 0;
        }
        gNowUs = next > gNowUs ? next : gNowUs;
    }
}

int32_t OnReadWaiting(uint8_t* buf, uint32_t n) {
    return LinkDeadByNow() ? -1 : static_cast<int32_t>(DevTakeOutput(buf, n, gNowUs));
}

void OnSleep(uint32_t ms) {
    gNowUs += uint64_t(ms) * 1000;
}
void OnOpen() {
    ++gOpens;
}
void OnClose() {
    ++gCloses;
}

const FakePeer kPeer = {OnWrite, OnRead, OnSleep, OnOpen, OnClose, nullptr, OnReadWaiting};

} // namespace

int FakeDeviceAttach(const DevConfig& config) {
    if (DevReset(config) != 0) {
        return 1;
    }
    gNowUs = 0;
    gOpens = 0;
    gCloses = 0;
    FakeSetPeer(&kPeer);
    return 0;
}

void FakeDeviceDetach() {
    FakeSetPeer(nullptr);
}

uint64_t FakeDeviceNowUs() {
    return gNowUs;
}
uint32_t FakeDeviceOpens() {
    return gOpens;
}
uint32_t FakeDeviceCloses() {
    return gCloses;
}

std::vector<std::string> DeviceCommands() {
    std::vector<std::string> names;
    for (const DevFrame& f : DevTranscript()) {
        if (f.dir != DevDir::HostToDevice) {
            continue;
        }
        if (f.note == "sync") {
            names.push_back("sync");
        } else if (size_t hash = f.note.find(" #"); hash != std::string::npos) {
            names.push_back(f.note.substr(0, hash));
        }
    }
    return names;
}
