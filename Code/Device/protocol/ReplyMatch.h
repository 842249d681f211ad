// Which reply answers which request.
//
// The wire has no sequence numbers: a reply is paired with its request only by the
// request bytes the instrument repeats in it. A reply that does not repeat them is not
// the answer to this request (a duplicate, a late or over-long reply, an unsolicited
// packet) and must never be decoded as if it were. What each family repeats:
//
//   family                      reply must repeat (request byte offsets)
//   0x00 operator mode          0 family: the reply is the operator block itself, whose
//                               byte 1 is the block's own (the last write's 0xFF) and
//                               whose mode and rate are not an echo
//   0x12 memory command         0-2 (12 55 AA), 3 direction, 5 target, 6 erase flag,
//                               7 count, 8-11 address (byte 4 is the status)
//   0x55 model record, DAC      0 family, 1 direction, 2 module (00, 01, 80, 81)
//   0xAA revision (AA 03)       0 family: the one request of its family, and its reply
//                               puts the revision where the others keep an echo
//   0xAD stream switch          0 family: the stream's own packets (bytes 1-2 not
//                               defined) may come before the switch's answer, and any
//                               of them acknowledges it
//   0xAD other (RLD levels)     0 family, 1 direction, 2 sub-command
//   0xB0, 0xB8, 0xB9            0 family, 1 direction, 2 sub-command
//   0xCC                        0 family, 1 direction, 2 sub-command or setting id;
//                               registers (sub-command 0A) also 4 device, 5 register,
//                               6 byte count, which the reply's data follow
//   0xEA                        0 family, 1 direction, 2 sub-command; raw-data packets
//                               (EA FF 04/05/06/09) also 4-7, the packet's point index,
//                               since the instrument repeats the whole packet; setting
//                               reads (EA 00 01/02/03/08) 0 and 2 only: the reply is the
//                               stored setting block, whose byte 1 is the write's 0xFF
//   any other family            0 family
//
// Only offsets inside the request are compared. The status byte (3; 4 for the memory
// command) is never part of the pairing: a refused reply still answers its request.
// Pure; owned by the protocol component.
#pragma once

#include <cstdint>

namespace proto {

// Reply byte i must equal bytes[i] for every bit i of mask (offsets 0 to 15).
struct ReplyMatch {
    uint16_t mask = 0;
    uint8_t bytes[16] = {};
};

// The bytes of this request (length bytes) that its reply repeats.
ReplyMatch MatchFor(const uint8_t* request, int length);

// True when the length bytes delivered answer the request the match was made for.
// Offsets at or beyond length are not compared (a caller's reply buffer may be shorter
// than the echo); a delivery of nothing answers nothing.
bool Answers(const ReplyMatch& match, const uint8_t* reply, int length);

}  // namespace proto
