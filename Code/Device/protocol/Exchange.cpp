// One request and its reply over the transport.
#include "protocol/Exchange.h"

#include <cstring>

#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/Transport.h"

namespace proto {

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
    const int written = WriteData(copy, length, 1);
    if (written < length) {
        return Connected() ? Result::WriteShort : Result::NotConnected;
    }
    return Result::Ok;
}

Result Receive(uint8_t* reply, int length, uint8_t expected) {
    if (!Connected()) {
        return Result::NotConnected;
    }
    const int got = ReadData(reply, length, expected);
    if (got < length) {
        return Connected() ? Result::NoReply : Result::NotConnected;
    }
    return Result::Ok;
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
    return Receive(reply, replyLength, expected);
}

}  // namespace proto
