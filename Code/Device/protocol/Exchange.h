// One request and its reply, the step every command of the protocol is built from.
//
// Every command family follows one layout: family byte, direction (0x00 read, 0xFF
// write), sub-command, status byte (0x00 in a request), payload from byte 4. The
// instrument answers with a packet that begins with the family byte and sets byte 3 to
// 0xFF when it accepted the request. Requests are written whole without write time-out;
// replies are read by kind through the transport (0xFF any command reply, or a family's
// own first byte for the 0xB0, 0xCC and 0xAD readers).
//
// Pairing: the wire carries no sequence numbers, so a reply is taken for a request only
// when it repeats what the instrument repeats of it (ReplyMatch.h): the promised bytes
// always, the request header once this connection's first replies have shown that the
// instrument repeats it (EchoLearner; the handshake starts each connection unlearned).
// Before a request is written, command replies left over from earlier exchanges are
// discarded; while a reply is awaited, packets that do not answer the request are
// dropped as stale and the read goes on, within one read time-out for the whole
// exchange. After an exchange that got no answer in time, on an instrument not known
// to repeat headers, the next request first waits for the line to go quiet: command
// replies are dropped until none has come for three read time-outs (at most ten read
// time-outs after the time-out), so that a late answer cannot meet the next exchange of
// its family. What this cannot catch: a late answer that comes later still, or one
// that arrives after the next request was written; on an instrument that repeats
// headers, a late answer to the very same request.
//
// Inside the protocol an exchange's outcome keeps its cause (no port, short write, no or
// short reply, refused, not the reply asked for); the public functions collapse it to
// bool with Ok(). Owned by the protocol component; it takes no lock and starts no thread:
// callers hold g_CriticalSection around the whole exchange.
#pragma once

#include <cstdint>

#include "protocol/ReplyMatch.h"

namespace proto {

enum class Result {
    Ok,
    NotConnected,  // no port is open: nothing was sent
    BadArgument,   // refused on the host side: nothing was sent
    WriteShort,    // the port took fewer bytes than the request has
    NoReply,       // nothing, or fewer bytes than the reply needs, came in time
    Refused,       // the instrument answered but did not accept (status byte not 0xFF)
    Mismatch,      // a reply of the right length that is not the one asked for
    GaveUp,        // a bounded wait for the instrument ran out
};

inline bool Ok(Result r) { return r == Result::Ok; }

// The instrument's acceptance mark in byte 3 of a reply.
constexpr uint8_t kAccepted = 0xFF;

// Forgets what was learned of the instrument's echo and any quiet wait owed: a new
// connection (the handshake calls it first).
void ResetPairing();
// What has been learned so far of this connection's instrument.
EchoMode Pairing();

// True when a port is open.
bool Connected();

// Discards stale command replies, then writes the whole request without write time-out.
Result Send(const uint8_t* request, int length);

// Reads one reply of exactly `length` bytes of the expected kind that answers the
// request `match` was made for (MatchFor); others are dropped. One read time-out in all.
Result Receive(uint8_t* reply, int length, uint8_t expected, const ReplyMatch& match);

// Send, sleep pauseMs (0: none), Receive a reply that answers this request.
Result Transact(const uint8_t* request, int requestLength, uint8_t* reply, int replyLength, uint8_t expected,
                unsigned pauseMs = 0);

}  // namespace proto
