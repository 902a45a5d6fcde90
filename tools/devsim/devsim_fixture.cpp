// zuva-devsim's production line: see devsim_fixture.h.
#include "tools/devsim/devsim_fixture.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

namespace {

struct Fixture {
    FixtureSetup setup;
    std::vector<BoardRecord> done; // boards taken out
    BoardRecord current;
    uint32_t next = 0; // boards put in so far
    bool inside = false;
    bool wasUnprotected = false; // the board in has been seen without read-out protection
    uint64_t outAtUs = kDevNever;
    uint64_t inAtUs = 0;
} f;

// A board's unique ID: its number, "ZUVA" and this process, so that the boards of several
// simulators differ too.
void MakeUid(uint32_t board, uint8_t uid[12]) {
    const uint32_t pid = static_cast<uint32_t>(getpid());
    const uint8_t bytes[12] = {uint8_t(board),
                               uint8_t(board >> 8),
                               'Z',
                               'U',
                               'V',
                               'A',
                               uint8_t(pid),
                               uint8_t(pid >> 8),
                               uint8_t(pid >> 16),
                               uint8_t(pid >> 24),
                               0x5A,
                               0xA5};
    std::copy(bytes, bytes + 12, uid);
}

// The configuration of board number `board` (from 1).
DevConfig BoardConfig(uint32_t board) {
    DevConfig c = f.setup.config;
    if (c.flashImage.empty()) {
        c.flashImage.resize(1024); // old firmware of its own
        for (size_t i = 0; i < c.flashImage.size(); ++i) {
            c.flashImage[i] = uint8_t(i * 7 + board);
        }
    }
    uint8_t uid[12];
    MakeUid(board, uid);
    c.uid.assign(uid, uid + sizeof uid);
    if (f.setup.faultBoard != 0 && f.setup.faultBoard != board) {
        c.faults.clear();
        c.dieAfterBytes = 0;
        c.dieInBlock = 0;
        c.dropWrite = 0;
    }
    return c;
}

void Snapshot(BoardRecord* record) {
    const DevState st = DevGetState();
    record->flash = DevFlash();
    record->readoutProtected = st.readoutProtected;
    record->writeProtected = st.writeProtected;
}

int PutIn() {
    ++f.next;
    if (DevReset(BoardConfig(f.next)) != 0) {
        return 1;
    }
    f.current = BoardRecord{};
    std::copy(DevGetConfig().uid.begin(), DevGetConfig().uid.end(), f.current.uid);
    f.inside = true;
    f.wasUnprotected = false;
    f.outAtUs = kDevNever;
    return 0;
}

uint32_t Crc32(const std::vector<uint8_t>& bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
        }
    }
    return ~crc;
}

} // namespace

int FixtureStart(const FixtureSetup& setup) {
    f.setup = setup;
    return PutIn();
}

bool FixtureNext(uint64_t nowUs, bool takeOut, uint64_t* wakeUs) {
    if (f.inside) {
        const bool isProtected = DevGetState().readoutProtected;
        f.wasUnprotected = f.wasUnprotected || !isProtected;
        if (f.outAtUs == kDevNever && f.wasUnprotected && isProtected) {
            f.outAtUs = nowUs + uint64_t(f.setup.swapAfterMs) * 1000;
        }
        if (takeOut || nowUs >= f.outAtUs) {
            Snapshot(&f.current);
            f.done.push_back(f.current);
            f.inside = false;
            f.inAtUs = nowUs + uint64_t(f.setup.emptyForMs) * 1000;
        }
    }
    const bool more = f.next < f.setup.boards;
    if (!f.inside && more && nowUs >= f.inAtUs) {
        PutIn();
    }
    *wakeUs = f.inside ? f.outAtUs : more ? f.inAtUs : kDevNever;
    return f.inside;
}

std::vector<BoardRecord> FixtureBoards() {
    std::vector<BoardRecord> boards = f.done;
    if (f.inside) {
        Snapshot(&f.current);
        boards.push_back(f.current);
    }
    return boards;
}

std::string FixtureListing() {
    std::string text;
    const std::vector<BoardRecord> boards = FixtureBoards();
    for (size_t i = 0; i < boards.size(); ++i) {
        char line[160];
        std::snprintf(line, sizeof line, "board %zu: unique ID ", i + 1);
        text += line;
        for (uint8_t byte : boards[i].uid) {
            std::snprintf(line, sizeof line, "%02x", byte);
            text += line;
        }
        std::snprintf(line, sizeof line,
                      ", FLASH crc32 %08x, read-out protected: %s, write-protected sectors: "
                      "0x%08X\n",
                      Crc32(boards[i].flash), boards[i].readoutProtected ? "yes" : "no",
                      boards[i].writeProtected);
        text += line;
    }
    return text;
}
