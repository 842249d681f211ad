// libFuzzer target: the stream notifications of a playback run. A run plays at a
// high rate against the emulator's firmware model, whose every command reply is its
// own; what the instrument sends back while the host streams comes from the input
// instead: for each batch the host writes, the next piece of the input (data requests
// 01 55, other notifications, replies, sampling packets or any bytes). The run is
// stopped once the input is used up; the stop must end every thread of the run.
//
// Input: [0] bit 0 looping, bits 1-2 the channels (0 ECG, 1 ECG and PPG 1, 2 ECG and
// PPG 1 and 2, 3 PPG 1 alone), then pieces of [length][length bytes].
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "FuzzLink.h"
#include "FuzzReplay.h"
#include "Profile.h"
#include "output/LockedExchange.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "playback/PlayThreads.h"
#include "playback/PlaybackState.h"

namespace {

constexpr int kBatchPackets = 50;
constexpr uint64_t kInputBoundUs = 3000000;  // an input's pieces are all out by then
constexpr uint64_t kQuietUs = 150000;        // a stream this long without a packet stands still
                                             // (its first batch goes out some 70 ms after the start)

using Bytes = std::vector<uint8_t>;

// The firmware model for every command; the input for what the stream brings back.
class NotifyingResponder : public nvsemu::Responder {
public:
    explicit NotifyingResponder(Bytes script) : fw_(nvsemu::Profile::WithPpgYB2001()), script_(std::move(script)) {}

    std::vector<nvsemu::Reply> Answer(const nvsemu::Request& request) override {
        std::lock_guard<std::mutex> lock(mu_);
        return fw_.Answer(request);
    }
    bool TakeData(const nvsemu::Request& request) override {
        std::lock_guard<std::mutex> lock(mu_);
        if (!fw_.TakeData(request))
            return false;
        if (packets_++ % kBatchPackets == 0 && pos_ < script_.size()) {
            const size_t length = script_[pos_++];
            const size_t take = std::min(length, script_.size() - pos_);
            due_.emplace_back(script_.begin() + static_cast<std::ptrdiff_t>(pos_),
                              script_.begin() + static_cast<std::ptrdiff_t>(pos_ + take));
            pos_ += take;
        }
        return true;
    }
    uint64_t NextDueUs() override {
        std::lock_guard<std::mutex> lock(mu_);
        return due_.empty() ? kNever : 0;
    }
    nvsemu::TimedOutput Due(uint64_t) override {
        std::lock_guard<std::mutex> lock(mu_);
        nvsemu::TimedOutput out;
        for (Bytes& piece : due_) {
            if (!piece.empty())
                out.packets.push_back(std::move(piece));
        }
        due_.clear();
        return out;
    }
    size_t Packets() {
        std::lock_guard<std::mutex> lock(mu_);
        return packets_;
    }
    bool UsedUp() {
        std::lock_guard<std::mutex> lock(mu_);
        return pos_ >= script_.size() && due_.empty();
    }

private:
    std::mutex mu_;
    nvsemu::Firmware fw_;
    Bytes script_;
    size_t pos_ = 0;
    size_t packets_ = 0;
    std::vector<Bytes> due_;
};

void Sample(double, int, int) {}

struct Ramp {
    std::vector<double> ac = std::vector<double>(8000), dc = std::vector<double>(8000, 100.0);
    PLAY_RAW_DATA record = {};
    Ramp() {
        for (size_t i = 0; i < ac.size(); ++i)
            ac[i] = 0.5 * static_cast<double>(i) / static_cast<double>(ac.size());
        record = PLAY_RAW_DATA{20000.0, static_cast<int>(ac.size()), 0, ac.data(), dc.data(), Sample};
    }
};

void Stop() {
    {
        CAutoCriticalSection lock(g_CriticalSection);
        PlayRawStop(0);
    }
    output::WaitForLockedExchanges();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    nvsemu::Emulator& emu = FuzzLinkEmulator();
    ResetPlaybackState();
    InstallPlaybackEngineHooks();
    g_PlaySyncEvent.store(nullptr);
    const Bytes script(data + std::min<size_t>(size, 1), data + size);
    auto responder = std::make_shared<NotifyingResponder>(script);
    emu.SetResponder(responder);
    static Ramp* ramp = new Ramp;
    PlayRawEnableLoop(size > 0 && (data[0] & 1));
    int started;
    {
        CAutoCriticalSection lock(g_CriticalSection);
        switch ((size > 0 ? data[0] : 0) >> 1 & 3) {
            case 0:
                started = PlayRawECG(ramp->record);
                break;
            case 1:
                started = PlayRawECGAndPPG(ramp->record, PPG_CHANNEL_1, ramp->record);
                break;
            case 2:
                started = PlayRawECGAndPPGEx(ramp->record, ramp->record, ramp->record);
                break;
            default:
                started = PlayRawPPG(PPG_CHANNEL_1, ramp->record);
                break;
        }
    }
    if (started == 1) {
        // Until the pieces are out, the run has ended, or the stream stands still (the
        // input asked for no further batch).
        const uint64_t until = GetMonotonicUs() + kInputBoundUs;
        uint64_t movedUs = GetMonotonicUs();
        size_t packets = 0;
        while (!responder->UsedUp() && PlayProducerServes()) {
            const uint64_t now = GetMonotonicUs();
            if (responder->Packets() != packets) {
                packets = responder->Packets();
                movedUs = now;
            }
            if (now >= until || now - movedUs >= kQuietUs)
                break;
            SleepEx(1);
        }
    }
    Stop();
    FuzzCheck(g_hPlayThread.load() == 0 && g_hReceiveThread.load() == 0, "the stop joins the play thread and reader");
    FuzzCheck(g_hOutputThread.load() == 0 && !PlayProducerServes(), "no reporter and no producer after the stop");
    FuzzLinkSettle();
    ResetPlaybackState();
    return 0;
}
