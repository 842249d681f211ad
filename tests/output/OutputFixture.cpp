// Fixtures of the output suite.
#include "OutputFixture.h"
#include "WaveformRecords.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "ProtocolState.h"
#include "output/LockedExchange.h"
#include "output/Output.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"
#include "protocol/Identity.h"

Recorder g_recorder;

void Recorder::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& c : calls_) {
        c.clear();
    }
}

void Recorder::Add(int slot, double t, int ac, int dc) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        calls_[slot].push_back(Call{t, ac, dc, seq_++});
    }
    cv_.notify_all();
}

std::vector<Call> Recorder::Calls(int slot) const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_[slot];
}

size_t Recorder::Samples(int slot) const {
    size_t n = 0;
    for (const Call& c : Calls(slot)) {
        n += c.Marker() ? 0 : 1;
    }
    return n;
}

size_t Recorder::Markers(int slot) const { return Calls(slot).size() - Samples(slot); }

bool Recorder::WaitForSamples(int slot, size_t n, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return calls_[slot].size() >= n; });
}

bool Recorder::WaitForMarker(int slot, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return !calls_[slot].empty() && calls_[slot].back().Marker(); });
}

bool WaitUntil(const std::function<bool()>& pred, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

ECG_WAVEFORM EcgSine(double hz) {
    ECG_WAVEFORM e = records::EcgSine(hz, 2.0);
    e.nPRInterval = 160;
    e.nQRSWidth = 100;
    e.nQTInterval = 400;
    return e;
}

PPG_WAVEFORM PpgSine(double hz) {
    PPG_WAVEFORM p = records::PpgSine(hz, 500.0, 100.0);
    p.nTime1 = 200;
    p.nTime2 = 400;
    p.nTime3 = 500;
    p.nSyncPulse = 1;
    return p;
}

void ResetLibraryState() {
    ResetProtocolState();
    ResetOutputState();
    g_recorder.Clear();
}

void OutputWithoutInstrument::SetUp() { ResetLibraryState(); }

void OutputWithoutInstrument::TearDown() {
    ORVStopOutputWaveform();
    ResetLibraryState();
}

void OutputOnEmulator::SetUp() {
    ResetLibraryState();
    ASSERT_TRUE(emu_.Start());
    Connect(nvsemu::Profile::MainUnit4031());
}

void OutputOnEmulator::Connect(const nvsemu::Profile& profile) {
    if (connected_) {
        ORVStopOutputWaveform();
        DeviceClose();
        ResetLibraryState();
        connected_ = false;
    }
    fw_ = std::make_shared<nvsemu::Firmware>(profile);
    emu_.SetResponder(fw_);
    ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(0)));
    DeviceSetTargetCheck(IsTargetDevice);  // as the connection installs it
    ASSERT_EQ(FindDevice(0), 1) << "the handshake with the emulated " << profile.name;
    connected_ = true;
    emu_.ClearRequests();
}

void OutputOnEmulator::TearDown() {
    ORVStopOutputWaveform();
    DeviceClose();
    emu_.Stop();
    ResetLibraryState();
}

std::vector<std::string> OutputOnEmulator::DeviceRequests() const {
    std::vector<std::string> out;
    for (const nvsemu::Request& r : emu_.Requests()) {
        const std::vector<uint8_t>& b = r.bytes;
        if (b.size() < 4 || b[0] != 0xEA || b[2] == 0x07) {
            continue;
        }
        char text[16];
        const uint8_t sub = b[2];
        if (b[1] == 0x00) {
            std::snprintf(text, sizeof text, "r%02X", sub);
        } else if (sub == 0x00 && b.size() >= 5) {
            std::snprintf(text, sizeof text, "W00:%02X/%d", b[4], b[3]);
        } else if (sub == 0x04 || sub == 0x05 || sub == 0x06 || sub == 0x09) {
            std::snprintf(text, sizeof text, "R%02X", sub);
            if (!out.empty() && out.back() == text) {
                continue;  // one entry for the whole upload
            }
        } else {
            std::snprintf(text, sizeof text, "S%02X", sub);
        }
        out.push_back(text);
    }
    return out;
}

bool OutputOnEmulator::WaitForOutputs(uint8_t mask, unsigned timeoutMs) const {
    return WaitUntil([&] { return fw_->AppliedOutputs() == mask; }, timeoutMs);
}

void RunConcurrentStartsAndStops(int starters, int rounds) {
    static PFN_SAMPLE_CALLBACK const kCallbacks[] = {Cb<4>, Cb<5>, Cb<6>};
    ASSERT_LE(starters, 3);
    RunWithWatchdog(
        [&] {
            std::vector<std::thread> threads;
            for (int k = 0; k < starters; ++k) {
                threads.emplace_back([k, rounds] {
                    for (int i = 0; i < rounds; ++i) {
                        ECG_WAVEFORM ecg = EcgSine();
                        ORVOutputECG(&ecg, kCallbacks[k]);
                    }
                });
            }
            threads.emplace_back([rounds] {
                for (int i = 0; i < rounds; ++i) {
                    ORVStopOutputWaveform();
                }
            });
            for (std::thread& t : threads) {
                t.join();
            }
            ORVStopOutputWaveform();
        },
        120, "concurrent output starts and stops");
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u) << "no output runs after the last stop";
    EXPECT_EQ(output::LockedExchangeHelpers(), 0u) << "no helper thread is left";
    for (int k = 0; k < starters; ++k) {
        const std::vector<Call> calls = g_recorder.Calls(4 + k);
        EXPECT_TRUE(calls.empty() || calls.back().Marker()) << "slot " << 4 + k << " ends with its marker";
    }
}
