// A port visitor for tests: records every entry and can stop the listing at a given visit.
#pragma once
#include "ports/ports.h"

#include <cstdint>
#include <string>
#include <vector>

struct Seen {
    std::string port, display, enumerator;
};

struct Recorder {
    std::vector<Seen> seen;
    size_t stopAt = 0; // return 0 on this visit (1-based); 0 = never
};

inline int Record(intptr_t userValue, const PortEntry* entry) {
    auto* r = reinterpret_cast<Recorder*>(userValue);
    r->seen.push_back({entry->portName, entry->displayName, entry->enumeratorName});
    return r->seen.size() == r->stopAt ? 0 : 1;
}
