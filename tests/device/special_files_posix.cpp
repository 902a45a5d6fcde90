#include "tests/device/run_files.h"

#include <sys/stat.h>

std::vector<std::string> SpecialFiles() {
    const std::string fifo = (ScratchDir() / "fifo").string();
    mkfifo(fifo.c_str(), 0600);
    return {ScratchDir().string(), fifo, "/dev/zero"};
}
