// What the modem tests feed and expect: bytes off the wire, and one row of a
// receiver table (the bytes, the outcome, whether a whole frame was seen).
#pragma once

#include <cstdint>
#include <vector>

using bytes = std::vector<uint8_t>;

struct frame_case {
    const char *name;
    bytes in;
    int rc;
    bool complete;
};
