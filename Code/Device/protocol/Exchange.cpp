// One request and its reply over the transport.
#include "protocol/Exchange.h"

#include <cstring>

#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/Transport.h"

namespace proto {

namespace {

constexpr int kMaxLateDrops = 64;

}  // namespace

bool Connected() { return g_hDevice.load() >= 0; }

Result Send(const uint8_t* request, int length) {
    if (!Connected()) {
        return Result::NotConnected;
    }
    // The transport's writer takes a mutable buffer; the request is copied so that a
    // caller's constant tables are never handed out.
    uint8_t copy[256];
    if (request == nullptr || length <= 0 || length > static_cast<int>(sizeof copy)) {
        return Result::BadArgument;
    }
    memcpy(copy, request, static_cast<size_t>(length));
    DiscardStaleReplies();
    const int written = WriteData(copy, length, 1);
    if (written < length) {
        return Connected() ? Result::WriteShort : Result::NotConnected;
    }
    return Result::Ok;
}

Result Receive(uint8_t* reply, int length, uint8_t expected, const ReplyMatch& match) {
    if (!Connected()) {
        return Result::NotConnected;
    }
    const uint64_t deadlineUs = GetMonotonicUs() + uint64_t{g_nDeviceReadTimeout.load()} * 1000;
    for (int lateDrops = 0;;) {
        const int got = ReadDataBefore(reply, length, expected, deadlineUs);
        if (got < length) {
            return Connected() ? Result::NoReply : Result::NotConnected;
        }
        if (Answers(match, reply, got)) {
            return Result::Ok;
        }
        // Not the answer to this request: a stale packet. Its bytes are not the caller's.
        memset(reply, 0, static_cast<size_t>(length));
        // Past the deadline only what already waits is looked at; a port that keeps
        // talking must not keep the exchange for ever.
        if (GetMonotonicUs() >= deadlineUs && ++lateDrops > kMaxLateDrops) {
            return Result::NoReply;
        }
    }
}

Result Transact(const uint8_t* request, int requestLength, uint8_t* reply, int replyLength, uint8_t expected,
                unsigned pauseMs) {
    Result r = Send(request, requestLength);
    if (!Ok(r)) {
        return r;
    }
    if (pauseMs != 0) {
        SleepEx(pauseMs);
    }
    return Receive(reply, replyLength, expected, MatchFor(request, requestLength));
}

}  // namespace proto
