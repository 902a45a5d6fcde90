// The console pieces that are the same on every platform.
#include "console/console.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Letters inserted, deleted, replaced or swapped with a neighbour to turn a into b.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        for (size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] != b[j - 1] ? 1 : 0)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

std::string NearestOptionHint(const char* unknown, const std::vector<const char*>& names) {
    std::string typed = unknown;
    typed = typed.substr(0, typed.find('='));
    const char* best = nullptr;
    size_t letters = typed.size() > 2 ? typed.size() - 2 : 0;
    size_t bestDistance = std::max<size_t>(1, letters / 3) + 1;
    const char* prefixOf = nullptr;
    int prefixes = 0;
    for (const char* name : names) {
        if (typed.size() > 2 && std::strncmp(name, typed.c_str(), typed.size()) == 0) {
            prefixOf = name;
            ++prefixes;
        }
        size_t distance = EditDistance(typed, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    best = best != nullptr ? best : prefixes == 1 ? prefixOf : nullptr;
    return best != nullptr ? std::string(" (did you mean ") + best + "?)" : "";
}

int FinishStdout(const char* tool) {
    errno = 0;
    if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) {
        return 0;
    }
    // errno is the last failed write's; a closed pipe leaves EPIPE (SIGPIPE ignored).
    if (errno != EPIPE) {
        std::fprintf(stderr, "%s: cannot write to stdout: %s\n", tool,
                     errno != 0 ? std::strerror(errno) : "write error");
    }
    return 1;
}
