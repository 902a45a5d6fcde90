#include "tests/device/run_files.h"

std::vector<std::string> SpecialFiles() {
    return {ScratchDir().string(), "\\\\.\\NUL", "NUL"};
}
