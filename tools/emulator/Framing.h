// Request framing of the emulated instrument: how the firmware cuts the host's byte
// stream into requests.
//
// The serial link has no header, length field or checksum: a request is as long as
// its command fixes, so the firmware knows the length from the first bytes (family,
// direction, sub-command, sometimes a count byte). Three headers are shared by two
// lengths (the memory-command read, 12 or 64 bytes; CC 00 0A, 7 or 11 bytes; the
// operator-mode write 00 FF, 11 or 14 bytes). The firmware sees a whole request arrive
// in one USB transfer; over a pseudo-terminal the nearest thing is a burst of bytes
// followed by a short quiet gap, so for those headers what has arrived when the burst
// ends decides.
//
// Between requests the host's empty reads write single 0x38 bytes; no family starts
// with 0x38, so at a request boundary such a byte is filler and is dropped (counted).
// Bytes that start no known header are taken up to the end of their burst as one
// unknown request.
//
// This component owns the length table and the framer. It is pure: no clock, no
// thread, no descriptor; the caller says when a burst has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nvsemu {

// What the framer made of a run of bytes.
enum class FrameKind {
    Known,       // a header of the table, cut at its length
    Unknown,     // no header of the table: the whole burst
    Incomplete,  // a known header whose bytes stopped coming before its length
};

struct Frame {
    std::vector<uint8_t> bytes;
    FrameKind kind = FrameKind::Known;
    std::string name;     // the table entry ("memory read (12)"), empty when unknown
    uint64_t offset = 0;  // position of its first byte among all bytes fed
};

// One line of the length table. A header byte of -1 matches any value. Lengths hold
// one value for a fixed request and two or more (ascending) for a shared header; the
// firmware then takes the longest length that has arrived within the burst and that
// the request's bytes allow (`Allows`).
struct FrameRule {
    std::vector<int> header;
    std::vector<size_t> lengths;
    const char* name;
    // For a shared header: whether `length` bytes from `bytes` can be one request of
    // that length (e.g. the long memory read carries zeros from byte 12 on). Null:
    // every listed length is allowed.
    bool (*allows)(const uint8_t* bytes, size_t length) = nullptr;
};

// The instrument's request-length table, most specific headers first.
const std::vector<FrameRule>& RequestTable();

// Result of looking up the bytes at a request boundary.
struct Lookup {
    enum class Result { NeedMore, Match, NoMatch } result = Result::NoMatch;
    const FrameRule* rule = nullptr;
};

// Finds the rule for bytes at a request boundary: the first rule whose header matches,
// NeedMore while a rule could still match once more header bytes arrive.
Lookup LookupRequest(const uint8_t* bytes, size_t size);

// Cuts the host's byte stream into requests. Feed bytes as they arrive; call
// Take(burstEnded = true) once the line has been quiet for the burst gap, and
// Take(..., stale = true) once it has been quiet so long that a request still
// incomplete will not be completed.
class RequestFramer {
public:
    // Appends received bytes.
    void Feed(const uint8_t* data, size_t size);

    // Cuts every request that can be decided now. burstEnded: the line is quiet, so a
    // shared header is decided by what has arrived and unknown bytes end here. stale:
    // a request still short of its length is given up as Incomplete.
    std::vector<Frame> Take(bool burstEnded, bool stale = false);

    // Filler 0x38 bytes dropped so far.
    size_t FillerBytes() const { return filler_; }
    // Bytes received but not yet part of a request.
    size_t Pending() const { return buffer_.size(); }
    // Forgets the pending bytes (a new port starts clean); the filler count stays.
    void Reset() {
        base_ += buffer_.size();
        buffer_.clear();
    }

private:
    std::vector<uint8_t> buffer_;
    uint64_t base_ = 0;  // position of buffer_[0] among all bytes fed
    size_t filler_ = 0;
};

}  // namespace nvsemu
