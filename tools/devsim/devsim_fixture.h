// zuva-devsim's production line: boards put into the fixture one after the other, each a
// fresh chip (its own unique ID and old contents, the faults only where asked), taken out
// a while after it has been read-out protected or on SIGUSR1, the fixture then empty for a
// while before the next. Serves ServeOptions::fixture (devsim_pty.h).
#pragma once
#include "tools/devsim/device_model.h"

#include <cstdint>
#include <string>
#include <vector>

struct FixtureSetup {
    DevConfig config; // every board's, old contents and faults aside
    uint32_t boards = 1;
    uint32_t swapAfterMs = 500; // out this long after read-out protection
    uint32_t emptyForMs = 1500; // empty this long before the next board
    uint32_t faultBoard = 0;    // the only board the faults hit; 0: every board
};

// Puts the first board in (DevReset). 0, or 1 when the configuration is refused.
int FixtureStart(const FixtureSetup& setup);

// The FixtureStep of devsim_pty.h.
bool FixtureNext(uint64_t nowUs, bool takeOut, uint64_t* wakeUs);

// The boards seen so far, the one in the fixture as it is now.
struct BoardRecord {
    uint8_t uid[12] = {};
    std::vector<uint8_t> flash;
    bool readoutProtected = false;
    uint32_t writeProtected = 0;
};
std::vector<BoardRecord> FixtureBoards();

// One line per board: "board 2: unique ID 02005a5556410000..., FLASH crc32 1c291ca3,
// read-out protected: yes, write-protected sectors: 0x0000FFFF".
std::string FixtureListing();
