// What the emulator records and sends: the host's requests as the firmware framed
// them, and the replies it writes back. Plain data, shared by every component.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Framing.h"

namespace nvsemu {

// One request of the host, cut by the request-length table (Framing.h).
struct Request {
    std::vector<uint8_t> bytes;
    uint64_t atUs = 0;                  // steady (monotonic) clock, µs, when its first byte arrived
    FrameKind kind = FrameKind::Known;  // Unknown: a burst that starts no known header
    std::string name;                   // table entry, for logs; empty when unknown
    size_t index = 0;                   // position in Requests() (since Start or ClearRequests)
};

// One packet the instrument writes, whole, in one write() of exactly bytes.size().
struct Reply {
    std::vector<uint8_t> bytes;
    unsigned delayMs = 0;  // written this long after the request arrived
};

}  // namespace nvsemu
