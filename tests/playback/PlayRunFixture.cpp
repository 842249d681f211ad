// The playback run fixtures.
#include "PlayRunFixture.h"

#include <chrono>
#include <thread>

#include "output/LockedExchange.h"
#include "platform/Device.h"
#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "playback/PlayRaw.h"
#include "playback/PlayThreads.h"

namespace playtest {

Recorder g_recorder;

void Recorder::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    for (std::vector<Call>& c : calls_) {
        c.clear();
    }
    gate_ = nullptr;
}

void Recorder::SetGate(std::function<void(int)> gate) {
    std::lock_guard<std::mutex> lock(mu_);
    gate_ = std::move(gate);
}

void Recorder::Add(int slot, double t, int ac, int dc) {
    std::function<void(int)> gate;
    {
        std::lock_guard<std::mutex> lock(mu_);
        gate = gate_;
    }
    if (gate) {
        gate(slot);
    }
    std::lock_guard<std::mutex> lock(mu_);
    calls_[slot].push_back(Call{t, ac, dc});
    cv_.notify_all();
}

std::vector<Call> Recorder::Calls(int slot) const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_[slot];
}

size_t Recorder::Samples(int slot) const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const Call& c : calls_[slot]) {
        n += c.Marker() ? 0 : 1;
    }
    return n;
}

size_t Recorder::Markers(int slot) const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const Call& c : calls_[slot]) {
        n += c.Marker() ? 1 : 0;
    }
    return n;
}

bool Recorder::WaitForSamples(int slot, size_t n, unsigned timeoutMs) const {
    return WaitFor([&] { return Samples(slot) >= n; }, timeoutMs);
}

bool Recorder::WaitForMarker(int slot, unsigned timeoutMs) const {
    return WaitFor([&] { return Markers(slot) >= 1; }, timeoutMs);
}

Source::Source(int count, double rate, PFN_SAMPLE_CALLBACK cb, double acBase, double acStep, double dcLevel, int sync)
    : ac(static_cast<size_t>(count)), dc(static_cast<size_t>(count), dcLevel) {
    for (int i = 0; i < count; ++i) {
        ac[static_cast<size_t>(i)] = acBase + i * acStep;
    }
    record.fSampleRate = rate;
    record.nSampleCount = count;
    record.nSyncPulse = sync;
    record.pACData = ac.data();
    record.pDCData = dc.data();
    record.pCallback = cb;
}

bool WaitFor(const std::function<bool()>& cond, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void PlayRunTest::Locked(const std::function<void()>& fn) {
    CAutoCriticalSection lock(g_CriticalSection);
    fn();
}

void PlayRunTest::Stop(int clearRespiration) {
    Locked([clearRespiration] { PlayRawStop(clearRespiration); });
    output::WaitForLockedExchanges();
}

void PlayRunTest::SetUp() {
    Stop(1);
    DeviceClose();
    ResetPlaybackState();
    InstallPlaybackEngineHooks();
    g_PlaySyncEvent.store(nullptr);
    g_recorder.Clear();
}

void PlayRunTest::TearDown() {
    g_recorder.SetGate(nullptr);
    Stop(1);
    g_PlaySyncEvent.store(nullptr);
    ResetPlaybackState();
}

}  // namespace playtest
