// One request and its reply over the transport.
#include "protocol/Exchange.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/Transport.h"

namespace proto {

namespace {

constexpr int kMaxLateDrops = 64;
// The quiet wait after a time-out, in read time-outs: the line must stay free of command
// replies this long after the exchange gave up, and the wait ends this long after it
// gave up at the latest, even on a line that keeps talking.
constexpr uint64_t kQuietSpans = 3;
constexpr uint64_t kQuietBoundSpans = 10;

std::mutex s_pairingMutex;  // guards the two below; never held while calling out
EchoLearner s_learner;
uint64_t s_gaveUpUs = 0;  // when the last exchange timed out and no quiet wait has run since (0: none)

bool PairOnHeaders() {
    std::lock_guard<std::mutex> lock(s_pairingMutex);
    return s_learner.Mode() == EchoMode::Headers;
}

// After a time-out on an instrument that is not known to repeat headers, lets the line
// go quiet before the next request: a late answer of the same family would otherwise
// pass for that request's own.
void AwaitQuietLine() {
    uint64_t gaveUpUs = 0;
    {
        std::lock_guard<std::mutex> lock(s_pairingMutex);
        gaveUpUs = s_gaveUpUs;
        s_gaveUpUs = 0;
        if (s_learner.Mode() == EchoMode::Headers) {
            gaveUpUs = 0;
        }
    }
    if (gaveUpUs == 0) {
        return;
    }
    const uint64_t spanUs = uint64_t{g_nDeviceReadTimeout.load()} * 1000;
    const uint64_t boundUs = gaveUpUs + kQuietBoundSpans * spanUs;
    uint64_t untilUs = gaveUpUs + kQuietSpans * spanUs;
    while (DropRepliesArrivingBefore(std::min(untilUs, boundUs)) && untilUs < boundUs) {
        untilUs = GetMonotonicUs() + kQuietSpans * spanUs;
    }
}

// The end of an exchange that got no answer in time: the next request waits for quiet.
Result GaveUp() {
    if (!Connected()) {
        return Result::NotConnected;
    }
    std::lock_guard<std::mutex> lock(s_pairingMutex);
    s_gaveUpUs = GetMonotonicUs();
    return Result::NoReply;
}

}  // namespace

void ResetPairing() {
    std::lock_guard<std::mutex> lock(s_pairingMutex);
    s_learner.Reset();
    s_gaveUpUs = 0;
}

EchoMode Pairing() {
    std::lock_guard<std::mutex> lock(s_pairingMutex);
    return s_learner.Mode();
}

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
    AwaitQuietLine();
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
    const bool headers = PairOnHeaders();
    for (int lateDrops = 0;;) {
        const int got = ReadDataBefore(reply, length, expected, deadlineUs);
        if (got < length) {
            return GaveUp();
        }
        if (Answers(match, reply, got, headers)) {
            std::lock_guard<std::mutex> lock(s_pairingMutex);
            s_gaveUpUs = 0;  // a read that retries after a time-out got its answer after all
            if (!headers) {
                s_learner.Note(match, reply, got);
            }
            return Result::Ok;
        }
        // Not the answer to this request: a stale packet. Its bytes are not the caller's.
        memset(reply, 0, static_cast<size_t>(length));
        // Past the deadline only what already waits is looked at; a port that keeps
        // talking must not keep the exchange for ever.
        if (GetMonotonicUs() >= deadlineUs && ++lateDrops > kMaxLateDrops) {
            return GaveUp();
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
