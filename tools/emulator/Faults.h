// Fault plan of the emulated instrument: canned misbehaviour that tests schedule on
// the n-th request or on requests that start with a given header.
//
// This component owns the plan and how a fault changes the replies of one request.
// It is pure; the emulator (Emulator.cpp) consults it on its I/O thread and carries
// out the unplug itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "Records.h"

namespace nvsemu {

struct Fault {
    enum class Kind {
        Drop,      // answer nothing (the host's read times out)
        Truncate,  // cut each reply to `keep` bytes (a short reply)
        Delay,     // write each reply `delayMs` later (a late reply: the next reader gets it)
        Alter,     // overwrite single bytes of each reply (an altered echo)
        Replace,   // answer with `bytes` instead (one reply; also where there was none)
        Refuse,    // set byte 3 of each reply to `status` (not 0xFF: refused)
        Unplug,    // vanish at this request: link removed, master closed, no reply
    };
    Kind kind = Kind::Drop;
    size_t keep = 0;
    unsigned delayMs = 0;
    std::vector<std::pair<size_t, uint8_t>> edits;  // (offset, value)
    std::vector<uint8_t> bytes;
    uint8_t status = 0x00;

    static Fault Drop() { return {}; }
    static Fault Truncate(size_t keep) {
        Fault f;
        f.kind = Kind::Truncate;
        f.keep = keep;
        return f;
    }
    static Fault Delay(unsigned ms) {
        Fault f;
        f.kind = Kind::Delay;
        f.delayMs = ms;
        return f;
    }
    static Fault Alter(std::vector<std::pair<size_t, uint8_t>> edits) {
        Fault f;
        f.kind = Kind::Alter;
        f.edits = std::move(edits);
        return f;
    }
    static Fault Replace(std::vector<uint8_t> bytes) {
        Fault f;
        f.kind = Kind::Replace;
        f.bytes = std::move(bytes);
        return f;
    }
    static Fault Refuse(uint8_t status = 0x00) {
        Fault f;
        f.kind = Kind::Refuse;
        f.status = status;
        return f;
    }
    static Fault Unplug() {
        Fault f;
        f.kind = Kind::Unplug;
        return f;
    }
};

class FaultPlan {
public:
    // The fault hits the request at `index` of Requests() (0-based, counted since Start
    // or the last ClearRequests).
    void OnRequest(size_t index, Fault fault);
    // The fault hits requests whose bytes start with `prefix`: the first `skip` such
    // requests pass, then the next `times` are hit (0: every one from then on).
    void OnHeader(std::vector<uint8_t> prefix, Fault fault, unsigned times = 1, unsigned skip = 0);
    void Clear();

    // Applies every fault due for this request, in the order they were planned, to the
    // replies the request would get. Returns true when the request unplugs the port.
    bool Apply(size_t index, const std::vector<uint8_t>& request, std::vector<Reply>& replies);

private:
    struct Entry {
        bool byIndex = true;
        size_t index = 0;
        std::vector<uint8_t> prefix;
        unsigned times = 1;
        unsigned skip = 0;
        unsigned seen = 0;  // matching requests so far
        bool spent = false;
        Fault fault;
    };
    std::vector<Entry> entries_;
};

// Changes replies by one fault (Unplug leaves them empty).
void ApplyFault(const Fault& fault, std::vector<Reply>& replies);

}  // namespace nvsemu
