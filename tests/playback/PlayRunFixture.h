// Fixtures of the playback run tests: a recorder behind plain sample callbacks, sample
// records the tests own, and the engine put back to its load-time state around each test
// (no run, the engine's hook entries installed, no instrument).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "api/nvs300.h"

namespace playtest {

struct Call {
    double t;
    int ac, dc;
    bool Marker() const { return ac == static_cast<int>(0x80000000u) && dc == static_cast<int>(0x80000000u); }
};

// Calls per slot: 0 ECG, 1..3 PPG channels, 4 sweep.
class Recorder {
public:
    static constexpr int kSlots = 5;
    void Clear();
    void Add(int slot, double t, int ac, int dc);
    std::vector<Call> Calls(int slot) const;
    size_t Samples(int slot) const;  // calls that are not end markers
    size_t Markers(int slot) const;
    bool WaitForSamples(int slot, size_t n, unsigned timeoutMs) const;
    bool WaitForMarker(int slot, unsigned timeoutMs) const;
    // Called with the slot inside every callback, before the call is recorded (null: none).
    void SetGate(std::function<void(int)> gate);

private:
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<Call> calls_[kSlots];
    std::function<void(int)> gate_;
};

extern Recorder g_recorder;

template <int N>
void Cb(double t, int ac, int dc) {
    g_recorder.Add(N, t, ac, dc);
}

// A record over arrays of its own: AC = acBase + i x acStep mV, DC = dc mV.
struct Source {
    std::vector<double> ac, dc;
    PLAY_RAW_DATA record = {};
    Source(int count, double rate, PFN_SAMPLE_CALLBACK cb, double acBase = 0.0, double acStep = 0.001, double dc = 0.0,
           int sync = 0);
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
};

// Polls cond every 2 ms; false at the deadline.
bool WaitFor(const std::function<bool()>& cond, unsigned timeoutMs);

// The engine without an instrument: a run started here is simulated.
class PlayRunTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Starts and stops hold g_CriticalSection, as the exported callers do.
    static void Locked(const std::function<void()>& fn);
    static void Stop(int clearRespiration = 0);
};

}  // namespace playtest
