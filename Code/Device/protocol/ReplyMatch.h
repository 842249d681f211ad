// Which reply answers which request.
//
// The wire has no sequence numbers: a reply is paired with its request only by what it
// repeats of the request. Every instrument keeps one promise: a reply begins with its
// family byte. A few commands also promise to repeat request bytes; those are always
// compared (the "promised" offsets below). Many instruments also repeat the header
// (direction and sub-command, bytes 1-2) of every other reply, but nothing promises it:
// those offsets (the "header" offsets) are compared only once this connection's
// instrument has shown that it repeats them (EchoLearner).
//
//   family                  promised (request offsets)        header, once learned
//   0x00 operator mode      0                                 -  (the reply is the
//                                                             block itself: its byte 1
//                                                             is the last write's 0xFF,
//                                                             mode and rate are data)
//   0x12 memory command     0-2 (12 55 AA), 3 direction, 5 target, 6 erase flag,
//                           7 count, 8-11 address: the command's reply layout
//                           repeats them "as sent" (byte 4 is the status)
//   0x55 model record       0-2 (55 00 m, m = 0 or 1): its reply is 55 00 m FF
//   0x55 DAC width (80/81)  0                                 1, 2
//   0xAA revision (AA 03)   0                                 -  (byte 3 is the revision)
//   0xAD stream switch      0: the stream's own packets (bytes 1-2 not defined) may
//                           come before the switch's answer, and any acknowledges it
//   0xAD other (RLD levels) 0                                 1, 2
//   0xB0, 0xB8, 0xB9        0                                 1, 2
//   0xCC                    0                                 1, 2; registers
//                                                             (sub-command 0A) also 4
//                                                             device, 5 register, 6 count
//   0xEA setting and raw-   0-2: the write comes back whole   -
//   data writes (EA FF      with byte 3 = 0xFF; raw-data
//   01/02/03/08, 04/05/06/  packets also 4-7, the packet's
//   09)                     point index
//   0xEA setting reads      0                                 2 (byte 1 of the stored
//   (EA 00 01/02/03/08)                                       block is the write's 0xFF)
//   0xEA other (control     0                                 1, 2
//   block, pulse group, ROM)
//   any other family        0                                 -
//
// Only offsets inside the request are compared. The status byte (3; 4 for the memory
// command) is never part of the pairing: a refused reply still answers its request.
//
// What each mode guarantees (the exchange layer adds the rest, Exchange.h):
//   - header mode: a stale, late, duplicated or unsolicited reply is never taken for the
//     answer of a request of another family or another header; one of the very same
//     request (a late answer to an identical request) can be.
//   - promised mode (an instrument that repeats nothing more, or one not yet learned):
//     a reply of another family is never taken; one of the same family is told apart
//     only by the promised bytes. A late reply of the same family is kept away by the
//     exchange layer's quiet wait after a time-out, and only by it.
// Pure; owned by the protocol component.
#pragma once

#include <cstdint>

namespace proto {

// Reply byte i must equal bytes[i] for every bit i of the mask in force (offsets 0 to 15).
// `header` holds every bit of `promised`.
struct ReplyMatch {
    uint16_t promised = 0;
    uint16_t header = 0;
    uint8_t bytes[16] = {};
};

// What a request's reply repeats of it (length bytes of request).
ReplyMatch MatchFor(const uint8_t* request, int length);

// True when the length bytes delivered answer the request the match was made for: the
// promised offsets, and the header offsets too when headers is true. Offsets at or
// beyond length are not compared (a caller's reply buffer may be shorter than the
// echo); a delivery of nothing answers nothing.
bool Answers(const ReplyMatch& match, const uint8_t* reply, int length, bool headers);

enum class EchoMode {
    Unknown,   // not yet learned: replies are paired on the promised bytes
    Headers,   // the instrument repeats request headers: paired on them as well
    Promised,  // it does not: paired on the promised bytes for the rest of the connection
};

// Learns from a connection's replies whether its instrument repeats request headers.
// Each reply taken on the promised bytes whose request has header offsets beyond them
// (and a header other than 00 00, which zero-filled replies would repeat by chance) is
// a sample: one reply that does not repeat the header settles Promised; three that do,
// for three different requests (family and sub-command), settle Headers. Once settled
// the mode stays until Reset (a new connection). A stale reply taken as a sample can only
// settle Promised, the safe side.
class EchoLearner {
public:
    void Reset();
    // A reply (length bytes) taken for the request of `match` on its promised bytes.
    void Note(const ReplyMatch& match, const uint8_t* reply, int length);
    EchoMode Mode() const { return mode_; }

    static constexpr int kRepeatsNeeded = 3;

private:
    EchoMode mode_ = EchoMode::Unknown;
    int repeats_ = 0;
    uint16_t seen_[kRepeatsNeeded] = {};
};

}  // namespace proto
