// Fault plan of the emulated instrument: canned misbehaviour that tests schedule on
// the n-th request or on requests that start with a given header.
//
// This component owns the plan and how a fault changes the replies of one request.
// It is pure; the emulator (Emulator.cpp) consults it on its I/O thread and carries
// out what the plan cannot do to bytes: held replies, unsolicited packets, the unplug
// and the hang-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "Records.h"

namespace nvsemu {

struct Fault {
    enum class Kind {
        Drop,            // answer nothing (the host's read times out)
        Truncate,        // cut each reply to `keep` bytes (a short reply)
        Delay,           // write each reply `delayMs` later (a late reply: the next reader gets it)
        Alter,           // overwrite single bytes of each reply (an altered echo)
        Replace,         // answer with `bytes` instead (one reply; also where there was none)
        Refuse,          // set byte 3 of each reply to `status` (not 0xFF: refused)
        Unplug,          // vanish at this request: link removed, master closed, no reply
        Duplicate,       // write each reply twice, the copy `delayMs` after the reply
        Extend,          // append `bytes` to each reply, in the same write (a reply too long)
        DelayUntilNext,  // hold each reply until the next request, then write it `delayMs`
                         // after that request arrives, ahead of that request's own replies
        Unsolicited,     // also write the packet `bytes` (`before`: just ahead of the replies;
                         // else `delayMs` after the last of them), in a write of its own
        HangUp,          // the master closes at this request (no reply), the link stays, and
                         // a new port comes back under it `delayMs` later
    };
    Kind kind = Kind::Drop;
    size_t keep = 0;
    unsigned delayMs = 0;
    std::vector<std::pair<size_t, uint8_t>> edits;  // (offset, value)
    std::vector<uint8_t> bytes;
    uint8_t status = 0x00;
    bool before = false;

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
    // Each reply sent twice: the copy follows `gapMs` after it (0: at once).
    static Fault Duplicate(unsigned gapMs = 0) {
        Fault f;
        f.kind = Kind::Duplicate;
        f.delayMs = gapMs;
        return f;
    }
    // Each reply `extra` bytes too long, the extra bytes all `byte`: a 64-byte reply
    // extended by 36 goes out as 100 bytes in one write.
    static Fault Extend(size_t extra, uint8_t byte = 0x00) { return Extend(std::vector<uint8_t>(extra, byte)); }
    static Fault Extend(std::vector<uint8_t> tail) {
        Fault f;
        f.kind = Kind::Extend;
        f.bytes = std::move(tail);
        return f;
    }
    // The replies come only when the host sends its next request: written `afterMs`
    // after that request arrives (0: at once), before that request's own replies. The
    // time-independent way to have a late reply meet the next reader.
    static Fault DelayUntilNext(unsigned afterMs = 0) {
        Fault f;
        f.kind = Kind::DelayUntilNext;
        f.delayMs = afterMs;
        return f;
    }
    // An unsolicited packet (any first byte: a stray 0xAD sampling packet, a 01 55 data
    // request, a reply of another family) written `afterMs` after the request's last
    // reply, or after the request itself when it gets none. Faults that change replies
    // leave it alone (it survives a Drop); Unplug and HangUp take it away.
    static Fault Unsolicited(std::vector<uint8_t> packet, unsigned afterMs = 0) {
        Fault f;
        f.kind = Kind::Unsolicited;
        f.bytes = std::move(packet);
        f.delayMs = afterMs;
        return f;
    }
    // The same, written just ahead of the request's first reply (at its due time).
    static Fault UnsolicitedBefore(std::vector<uint8_t> packet) {
        Fault f = Unsolicited(std::move(packet));
        f.before = true;
        return f;
    }
    // A hang-up with the device node kept: the master closes at this request (the
    // host reads hang-up, end of file or EIO), the link stays where it is (dangling),
    // and `backAfterMs` later a new port is linked under the same path. The responder
    // (the firmware model) and its state are untouched.
    static Fault HangUp(unsigned backAfterMs) {
        Fault f;
        f.kind = Kind::HangUp;
        f.delayMs = backAfterMs;
        return f;
    }
};

// What the faults of one request do beyond changing its replies.
struct FaultEffect {
    enum class Port {
        Keep,
        Unplug,  // Fault::Unplug
        HangUp,  // Fault::HangUp: back after backAfterMs
    };
    Port port = Port::Keep;
    unsigned backAfterMs = 0;
    // DelayUntilNext: the replies wait for the next request and go out heldMs after it.
    bool hold = false;
    unsigned heldMs = 0;
    // Unsolicited packets, their delays counted from the request like a reply's:
    // `before` go out ahead of the replies, `after` behind them.
    std::vector<Reply> before;
    std::vector<Reply> after;
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

    // Applies every fault due for this request to the replies the request would get:
    // first those that change replies, in the order they were planned, then those that
    // add packets or act on the port. A request that unplugs or hangs up gets nothing.
    FaultEffect Apply(size_t index, const std::vector<uint8_t>& request, std::vector<Reply>& replies);

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

// Changes replies by one fault (Unplug and HangUp leave them empty; DelayUntilNext and
// Unsolicited leave them as they are: FaultPlan::Apply carries those out).
void ApplyFault(const Fault& fault, std::vector<Reply>& replies);

}  // namespace nvsemu
