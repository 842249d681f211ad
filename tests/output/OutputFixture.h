// Fixtures of the output suite: a recorder behind plain sample callbacks, waveform
// records, the library's identity state put back to its load-time values, and the
// emulated instrument (the firmware model) connected through the serial link's seam.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Emulator.h"
#include "Firmware.h"
#include "LinkSandbox.h"
#include "Watchdog.h"
#include "api/nvs300.h"

// One callback call, numbered in the order of all calls.
struct Call {
    double t;
    int ac, dc;
    uint64_t seq;
    bool Marker() const { return ac == static_cast<int>(0x80000000u) && dc == static_cast<int>(0x80000000u); }
};

class Recorder {
public:
    static constexpr int kSlots = 8;
    void Clear();
    void Add(int slot, double t, int ac, int dc);
    std::vector<Call> Calls(int slot) const;
    size_t Samples(int slot) const;  // calls that are not end markers
    size_t Markers(int slot) const;
    bool WaitForSamples(int slot, size_t n, unsigned timeoutMs) const;
    bool WaitForMarker(int slot, unsigned timeoutMs) const;

private:
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<Call> calls_[kSlots];
    uint64_t seq_ = 0;
};

extern Recorder g_recorder;

// Plain sample callbacks, one per recorder slot.
template <int N>
void Cb(double t, int ac, int dc) {
    g_recorder.Add(N, t, ac, dc);
}

// Waits until pred() holds, polling every millisecond; false at the deadline.
bool WaitUntil(const std::function<bool()>& pred, unsigned timeoutMs);

// Records with known periods.
ECG_WAVEFORM EcgSine(double hz = 1.0);
PPG_WAVEFORM PpgSine(double hz = 1.0);

// The protocol's and the output's process-wide state back to its load-time values (each
// component's own reset), the recorder emptied; only with no output thread running.
void ResetLibraryState();

// No instrument: the link has no port open.
class OutputWithoutInstrument : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// The firmware model on a pseudo-terminal, connected through the real handshake.
class OutputOnEmulator : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Connects to an emulated instrument of this profile (the default: main unit 0x4031).
    void Connect(const nvsemu::Profile& profile);

    // The 0xEA requests since the last ClearRequests, one entry per request, a run of raw
    // packets of one sub-command as one: "S01" setting write, "R04" raw upload, "r00"
    // block read, "W00:0F/1" block write with its output-enable byte and apply flag.
    std::vector<std::string> DeviceRequests() const;
    void ClearRequests() { emu_.ClearRequests(); }
    // True once the instrument was told to switch these outputs on (apply flag set).
    bool WaitForOutputs(uint8_t mask, unsigned timeoutMs = 5000) const;

    LinkSandbox sandbox_;
    nvsemu::Emulator emu_;
    std::shared_ptr<nvsemu::Firmware> fw_;
    bool connected_ = false;
};

// Host threads starting and stopping outputs at once: `starters` threads call
// ORVOutputECG `rounds` times each (callback slot 4 + thread) while one more thread calls
// ORVStopOutputWaveform as often; all under a watchdog. Afterwards a last stop: no output
// thread, no locked-exchange helper is left, and every slot that got calls ends with
// its end marker.
void RunConcurrentStartsAndStops(int starters, int rounds);
