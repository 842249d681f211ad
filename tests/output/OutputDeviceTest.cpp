// The output functions and threads against the emulated instrument: what each start
// writes and in which order, the output-enable masks, the uploaded period against the
// simulated one, the end steps and markers, and the sound behaviour of failed starts.
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <chrono>
#include <atomic>
#include <vector>

#include <gtest/gtest.h>

#include "OutputFixture.h"
#include "output/Output.h"
#include "platform/SimpleCriticalSection.h"
#include "platform/StaticObjects.h"
#include "protocol/ControlBlock.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "waveform/Waveform.h"

using Strings = std::vector<std::string>;

namespace {

// Sets the LED pulse group held in the emulated control block (bytes 36 to 43).
// The block carries no pulse period, so the first LED 4 must sit in slot 0: the
// protocol reads a group whose first 4 is later as shifted down to it.
void SetPulseGroup(nvsemu::Firmware& fw, std::vector<uint8_t> slots) {
    std::array<uint8_t, 57> block = fw.ControlBlock();
    slots.resize(8, 0);
    std::copy(slots.begin(), slots.end(), block.begin() + 36);
    fw.SetControlBlock(block);
}

// Pearson correlation of two series of equal length.
double Correlation(const std::vector<double>& a, const std::vector<double>& b) {
    const size_t n = a.size();
    double ma = 0, mb = 0;
    for (size_t i = 0; i < n; ++i) {
        ma += a[i] / n;
        mb += b[i] / n;
    }
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < n; ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return sab / std::sqrt(saa * sbb);
}

}  // namespace

TEST_F(OutputOnEmulator, EachStartWritesInItsOrderAndSwitchesOnItsMask) {
    ECG_WAVEFORM ecg = EcgSine();
    PPG_WAVEFORM p1 = PpgSine(), p2 = PpgSine(), p3 = PpgSine();
    struct Case {
        const char* what;
        std::function<bool()> start;
        Strings writes;              // up to and including the switch-on
        std::vector<int> simulated;  // recorder slots that receive samples
        std::vector<int> silent;     // recorder slots that never hear anything
    } cases[] = {
        {"ECG", [&] { return ORVOutputECG(&ecg, Cb<0>); }, {"S01", "R04", "r00", "W00:01/1"}, {0}, {}},
        {"ECG+PPG",
         [&] { return ORVOutputECGAndPPG(200, &ecg, &p1, Cb<0>, Cb<1>); },
         {"S01", "S02", "R04", "R05", "r00", "W00:03/1"},
         {0, 1},
         {}},
        {"ECG+PPG Ex",
         [&] { return ORVOutputECGAndPPGEx(200, &ecg, &p1, &p2, Cb<0>, Cb<1>, Cb<2>); },
         {"S01", "S02", "S03", "R04", "R05", "R06", "r00", "W00:07/1"},
         {0, 1, 2},
         {}},
        // The pulse group lights channels 1 and 2: channel 3 is uploaded and switched on
        // but not simulated.
        {"ECG+PPG3",
         [&] { return ORVOutputECGAndPPG3(200, &ecg, &p1, &p2, &p3, Cb<0>, Cb<1>, Cb<2>, Cb<3>); },
         {"r00", "S01", "R04", "S02", "R05", "S03", "R06", "S08", "R09", "r00", "W00:0F/1"},
         {0, 1, 2},
         {3}},
        {"PPG ch 2", [&] { return ORVOutputPPG(2, &p2, Cb<2>); }, {"S03", "R06", "r00", "W00:04/1"}, {2}, {}},
        {"PPG Ex",
         [&] { return ORVOutputPPGEx(&p1, &p2, Cb<1>, Cb<2>); },
         {"S02", "R05", "S03", "R06", "r00", "W00:06/1"},
         {1, 2},
         {}},
        {"PPG3",
         [&] { return ORVOutputPPG3(&p1, &p2, &p3, Cb<1>, Cb<2>, Cb<3>); },
         {"S02", "R05", "S03", "R06", "S08", "R09", "r00", "W00:0E/1"},
         {1, 2, 3},
         {}},
    };
    SetPulseGroup(*fw_, {4, 2, 0, 0, 0, 0, 0, 0});  // LEDs of channels 2 and 1
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ORVStopOutputWaveform();
        g_recorder.Clear();
        ClearRequests();
        ASSERT_TRUE(c.start());
        ASSERT_TRUE(WaitUntil([&] { return DeviceRequests().size() >= c.writes.size(); }, 5000));
        EXPECT_EQ(DeviceRequests(), c.writes);
        for (int slot : c.simulated) {
            EXPECT_TRUE(g_recorder.WaitForSamples(slot, 40, 5000)) << "slot " << slot;
        }
        ClearRequests();
        ORVStopOutputWaveform();
        // Switch-off with the apply flag; the ECG kinds then clear pacing and respiration.
        Strings end = {"r00", "W00:00/1"};
        if (std::string(c.what).rfind("ECG", 0) == 0) {
            end.insert(end.end(), {"r00", "W00:00/0", "r00", "W00:00/0"});
        }
        EXPECT_EQ(DeviceRequests(), end);
        EXPECT_EQ(fw_->AppliedOutputs(), 0);
        EXPECT_EQ(g_LastOutputEnable, 0);
        for (int slot : c.simulated) {
            EXPECT_EQ(g_recorder.Markers(slot), 1u) << "slot " << slot;
            EXPECT_TRUE(g_recorder.Calls(slot).back().Marker());
            EXPECT_EQ(g_recorder.Samples(slot) % 20, 0u) << "bursts of 20";
        }
        for (int slot : c.silent) {
            EXPECT_TRUE(g_recorder.Calls(slot).empty()) << "slot " << slot;
        }
    }
}

TEST_F(OutputOnEmulator, CallbacksCarryThePeriodThatWasUploaded) {
    Connect(nvsemu::Profile::WithPpgYB2001());  // a PPG module with an AC range
    ECG_WAVEFORM ecg = EcgSine(2.0);
    PPG_WAVEFORM ppg = PpgSine(2.0);
    struct Case {
        const char* what;
        std::function<bool()> start;
        int channel;  // emulator channel: 0 ECG, 1..3 PPG
        int slot;
    } cases[] = {
        {"ECG", [&] { return ORVOutputECG(&ecg, Cb<0>); }, 0, 0},
        {"PPG ch 1", [&] { return ORVOutputPPG(1, &ppg, Cb<1>); }, 1, 1},
        {"PPG ch 3", [&] { return ORVOutputPPG(3, &ppg, Cb<3>); }, 3, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_recorder.Clear();
        ASSERT_TRUE(c.start());
        // Half a second: one whole period of a 2 Hz wave.
        ASSERT_TRUE(g_recorder.WaitForSamples(c.slot, 500, 5000));
        ORVStopOutputWaveform();

        const std::vector<nvsemu::RawPoint> raw = fw_->RawPoints(c.channel);
        const std::array<uint8_t, 57> block = fw_->ControlBlock();
        const int rate = block[6] << 8 | block[7];  // samples per second the instrument plays
        const int n = c.channel == 0 ? GetPointNumber(g_ECGWaveform) : GetPointNumber(g_PPGChannelWaveform[c.slot - 1]);
        ASSERT_GT(n, 0);
        EXPECT_EQ(raw.size(), static_cast<size_t>((n + 13) / 14 * 14)) << "whole packets of 14 points";
        EXPECT_EQ(rate, static_cast<int>(1000.0 * (c.channel == 0 ? g_ECGWaveform.fSampleRateKHz
                                                                  : g_PPGChannelWaveform[c.slot - 1].fSampleRateKHz)));
        // Millisecond m of the callbacks is point m x R / 1000 of the upload: the same
        // signal up to the linear DAC conversion.
        const std::vector<Call> calls = g_recorder.Calls(c.slot);
        std::vector<double> host, uploaded;
        for (size_t m = 0; m < 500; ++m) {
            host.push_back(calls[m].ac);
            const uint16_t word = raw[(m * static_cast<size_t>(rate) / 1000) % static_cast<size_t>(n)].ac;
            uploaded.push_back(c.channel == 0 ? static_cast<int16_t>(word) : word);  // the ECG's is signed
        }
        EXPECT_GT(std::fabs(Correlation(host, uploaded)), 0.999);
    }
}

TEST_F(OutputOnEmulator, StopIsIdempotentAndSendsEachMarkerOnce) {
    ECG_WAVEFORM ecg = EcgSine();
    PPG_WAVEFORM p1 = PpgSine(), p2 = PpgSine();
    ASSERT_TRUE(ORVOutputECGAndPPGEx(100, &ecg, &p1, &p2, Cb<0>, Cb<1>, Cb<2>));
    ASSERT_TRUE(g_recorder.WaitForSamples(2, 60, 5000));
    ORVStopOutputWaveform();
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
    std::vector<std::vector<Call>> after(3);
    for (int s = 0; s < 3; ++s) {
        after[s] = g_recorder.Calls(s);
        ASSERT_EQ(g_recorder.Markers(s), 1u);
        const std::vector<Call>& c = after[s];
        ASSERT_GE(c.size(), 2u);
        EXPECT_NEAR(c.back().t, c[c.size() - 2].t + 0.001, 1e-9) << "the marker one ms past the last sample";
        for (size_t m = 0; m + 1 < c.size(); ++m) {
            ASSERT_NEAR(c[m].t, 0.001 * m, 1e-9);
        }
    }
    ClearRequests();
    ORVStopOutputWaveform();
    ORVStopOutputWaveform();
    for (int s = 0; s < 3; ++s) {
        EXPECT_EQ(g_recorder.Calls(s).size(), after[s].size());
    }
    EXPECT_TRUE(emu_.Requests().empty()) << "nothing to stop, and the defaults are already in force";
}

TEST_F(OutputOnEmulator, ASecondStartEndsTheFirstOutputBeforeItsOwnSamples) {
    ECG_WAVEFORM ecg = EcgSine();
    ASSERT_TRUE(ORVOutputECG(&ecg, Cb<0>));
    ASSERT_TRUE(g_recorder.WaitForSamples(0, 20, 5000));
    ASSERT_TRUE(ORVOutputECG(&ecg, Cb<1>));
    ASSERT_TRUE(g_recorder.WaitForSamples(1, 20, 5000));
    const std::vector<Call> first = g_recorder.Calls(0);
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(first.back().Marker());
    EXPECT_EQ(g_recorder.Markers(0), 1u);
    EXPECT_LT(first.back().seq, g_recorder.Calls(1).front().seq);
    EXPECT_NEAR(g_recorder.Calls(1).front().t, 0.0, 1e-12) << "the new output has its own clock";
}

TEST_F(OutputOnEmulator, AFailedStartRunsNothingAndLeavesNoCallbackForLaterMarkers) {
    ECG_WAVEFORM ecg = EcgSine();
    PPG_WAVEFORM p1 = PpgSine(), p2 = PpgSine(), p3 = PpgSine();
    fw_->RefuseRequests({0xEA, 0xFF, 0x05}, 0);  // channel 1's raw upload
    EXPECT_FALSE(ORVOutputECGAndPPG3(200, &ecg, &p1, &p2, &p3, Cb<0>, Cb<1>, Cb<2>, Cb<3>));
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
    EXPECT_EQ(fw_->AppliedOutputs(), 0);
    fw_->ClearRefusals();

    // A one-channel output uses slot 0 only: the failed start's callbacks of the other
    // slots must not receive this output's end markers.
    ASSERT_TRUE(ORVOutputPPG(1, &p1, Cb<5>));
    ASSERT_TRUE(g_recorder.WaitForSamples(5, 20, 5000));
    ORVStopOutputWaveform();
    EXPECT_EQ(g_recorder.Markers(5), 1u);
    for (int s = 0; s < 4; ++s) {
        EXPECT_TRUE(g_recorder.Calls(s).empty()) << "slot " << s;
    }

    // A failed setting write returns false as well, and so does a missing record.
    fw_->RefuseRequests({0xEA, 0xFF, 0x01}, 0);
    EXPECT_FALSE(ORVOutputECG(&ecg, Cb<0>));
    fw_->ClearRefusals();
    EXPECT_FALSE(ORVOutputECG(nullptr, Cb<0>));
    EXPECT_FALSE(ORVOutputPPG(1, nullptr, Cb<0>));
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
    EXPECT_TRUE(g_recorder.Calls(0).empty());
}

TEST_F(OutputOnEmulator, OnePPGChannelOutsideOneToThreeIsChannelOne) {
    PPG_WAVEFORM ppg = PpgSine();
    for (int channel : {0, 4, -1, 1}) {
        SCOPED_TRACE(channel);
        g_iPPGOutputChannelNo = 3;
        ClearRequests();
        ASSERT_TRUE(ORVOutputPPG(channel, &ppg, Cb<1>));
        EXPECT_EQ(g_iPPGOutputChannelNo, 1);
        ASSERT_TRUE(WaitUntil([&] { return DeviceRequests().size() >= 4; }, 5000));
        EXPECT_EQ(DeviceRequests(), (Strings{"S02", "R05", "r00", "W00:02/1"}));
        // Slots 1 and 2 read as not in use.
        EXPECT_EQ(g_PPGChannelWaveform[1].nWaveformType, -1);
        EXPECT_EQ(g_PPGChannelWaveform[2].nWaveformType, -1);
        ORVStopOutputWaveform();
    }
}

TEST_F(OutputOnEmulator, PPGExWithoutASecondRecordOutputsChannelOneOnly) {
    PPG_WAVEFORM p1 = PpgSine();
    ASSERT_TRUE(ORVOutputPPGEx(&p1, nullptr, Cb<1>, Cb<2>));
    ASSERT_TRUE(WaitUntil([&] { return DeviceRequests().size() >= 4; }, 5000));
    EXPECT_EQ(DeviceRequests(), (Strings{"S02", "R05", "r00", "W00:02/1"}));
    EXPECT_EQ(g_PPGChannelWaveform[1].nWaveformType, -1);
    ASSERT_TRUE(g_recorder.WaitForSamples(1, 40, 5000));
    ORVStopOutputWaveform();
    EXPECT_EQ(g_recorder.Samples(2), 0u);
    EXPECT_EQ(g_recorder.Markers(2), 0u) << "the callback of a channel without a record is not kept";
    EXPECT_EQ(g_recorder.Markers(1), 1u);
}

TEST_F(OutputOnEmulator, SimulatedChannel3FollowsThePulseGroup) {
    PPG_WAVEFORM p1 = PpgSine(), p2 = PpgSine(), p3 = PpgSine();
    auto simulateChannel3 = [] {
        g_PPGModelInfo.ucGeneration = 0x20;  // a PPG side whose channel 3 is simulated
        g_PPGModelInfo.ucModel = 0x05;
    };

    // Channel 3's LED (1) is not in the group: uploaded and switched on, not simulated.
    simulateChannel3();
    SetPulseGroup(*fw_, {4, 2, 0, 0, 0, 0, 0, 0});
    g_DeviceFeature.nPPGChannelNumber = 2;
    ClearRequests();
    ASSERT_TRUE(ORVOutputPPG3(&p1, &p2, &p3, Cb<1>, Cb<2>, Cb<3>));
    ASSERT_TRUE(g_recorder.WaitForSamples(2, 40, 5000));
    ORVStopOutputWaveform();
    const Strings sent = DeviceRequests();
    EXPECT_NE(std::find(sent.begin(), sent.end(), "S08"), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), "R09"), sent.end());
    EXPECT_NE(std::find(sent.begin(), sent.end(), "W00:0E/1"), sent.end()) << "0x0A for LED 2, 0x04 for LED 4";
    EXPECT_TRUE(g_recorder.Calls(3).empty());
    EXPECT_EQ(g_recorder.Markers(1), 1u);

    // LED 1 lit and no record for channel 3: nothing runs, nothing is written.
    SetPulseGroup(*fw_, {4, 1, 0, 0, 0, 0, 0, 0});
    g_recorder.Clear();
    ClearRequests();
    EXPECT_FALSE(ORVOutputPPG3(&p1, &p2, nullptr, Cb<1>, Cb<2>, Cb<3>));
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
    for (const std::string& r : DeviceRequests()) {
        EXPECT_EQ(r[0], 'r') << r;
    }

    // The ECG+PPG kind adds the ECG bit to the simulated-channel-3 mask; one PPG channel: 0x0F.
    ECG_WAVEFORM ecg = EcgSine();
    g_DeviceFeature.nPPGChannelNumber = 1;
    ClearRequests();
    ASSERT_TRUE(ORVOutputECGAndPPG(100, &ecg, &p1, Cb<0>, Cb<1>));
    ASSERT_TRUE(WaitUntil([&] { return fw_->AppliedOutputs() == 0x0F; }, 5000));
    ORVStopOutputWaveform();
}

TEST_F(OutputOnEmulator, DynamicLEDStrengthComesBackOnModel2112) {
    Connect(nvsemu::Profile::WithPpg2112());
    {
        CAutoCriticalSection lock(g_CriticalSection);
        ASSERT_TRUE(EnableDynamicLEDStrength(1));
    }
    ASSERT_TRUE(fw_->DynamicLed());
    PPG_WAVEFORM ppg = PpgSine();
    ClearRequests();
    ASSERT_TRUE(ORVOutputPPG(1, &ppg, Cb<1>));
    EXPECT_TRUE(fw_->DynamicLed());
    std::vector<int> switches;  // B0 FF 03 00 v, in order
    for (const nvsemu::Request& r : emu_.Requests()) {
        if (r.bytes.size() >= 5 && r.bytes[0] == 0xB0 && r.bytes[1] == 0xFF && r.bytes[2] == 0x03) {
            switches.push_back(r.bytes[4]);
        }
    }
    EXPECT_EQ(switches, (std::vector<int>{0, 1})) << "the stop turns it off, the start back on";
    ORVStopOutputWaveform();
    EXPECT_FALSE(fw_->DynamicLed());
}

TEST_F(OutputOnEmulator, PPGExOnModel2112ScalesTheCallersRecordsIntoOneRange) {
    Connect(nvsemu::Profile::WithPpg2112());
    PPG_WAVEFORM p1 = PpgSine(), p2 = PpgSine();
    p1.fAmplitude1 = 100.0;  // AC range 0
    p2.fAmplitude1 = 5.0;    // AC range 1
    ASSERT_TRUE(ORVOutputPPGEx(&p1, &p2, Cb<1>, Cb<2>));
    // k = min(15 / 5, 300 / 100, 3000 / 500) = 3 for both.
    EXPECT_DOUBLE_EQ(p1.fAmplitude1, 300.0);
    EXPECT_DOUBLE_EQ(p2.fAmplitude1, 15.0);
    EXPECT_DOUBLE_EQ(p1.fDCLevel, 1500.0);
    EXPECT_DOUBLE_EQ(p2.fDCLevel, 1500.0);
    ORVStopOutputWaveform();
}

TEST_F(OutputOnEmulator, AStopUnderTheLockDoesNotWaitForAThreadThatWaitsForIt) {
    ECG_WAVEFORM ecg = EcgSine();
    RunWithWatchdog(
        [&] {
            // The caller holds the global lock across the start and the stop, so the
            // output thread's switch-on can never take it: the thread must give up.
            CAutoCriticalSection lock(g_CriticalSection);
            ASSERT_TRUE(ORVOutputECG(&ecg, Cb<0>));
            ORVStopOutputWaveform();
            EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
        },
        20, "a stop under the global lock");
    EXPECT_EQ(fw_->AppliedOutputs(), 0) << "no switch-on after the stop";
    // The callback heard nothing of the output but its end marker.
    const std::vector<Call> calls = g_recorder.Calls(0);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].Marker());
}

TEST_F(OutputOnEmulator, StartAndStopInATightLoopNeverDeadlock) {
    ECG_WAVEFORM ecg = EcgSine();
    PPG_WAVEFORM p1 = PpgSine(), p2 = PpgSine(), p3 = PpgSine();
    std::atomic<bool> done{false};
    // Another host thread competes for the global lock the whole time.
    std::thread competitor([&] {
        while (!done) {
            PPG_LED_PULSE_GROUP_SETTING group = {};
            ORVReadLEDPulseGroupSetting(&group);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int started = 0;
    RunWithWatchdog(
        [&] {
            for (int i = 0; i < 45; ++i) {
                bool ok = false;
                switch (i % 3) {
                    case 0:
                        ok = ORVOutputECG(&ecg, Cb<0>);
                        break;
                    case 1:
                        ok = ORVOutputECGAndPPG3(50, &ecg, &p1, &p2, &p3, Cb<0>, Cb<1>, Cb<2>, Cb<3>);
                        break;
                    default:
                        ok = ORVOutputPPG(2, &p2, Cb<2>);
                        break;
                }
                started += ok ? 1 : 0;
                if (i % 2 == 0) {
                    ORVStopOutputWaveform();  // at once: the thread may not have switched on yet
                }
            }
            ORVStopOutputWaveform();
        },
        240, "45 starts and stops");
    done = true;
    competitor.join();
    // What is asserted is the absence of a deadlock; on a loaded machine an upload may
    // time out now and then, which fails that start and nothing else.
    EXPECT_GT(started, 0);
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
    for (int slot = 0; slot < 4; ++slot) {
        const std::vector<Call> calls = g_recorder.Calls(slot);
        EXPECT_TRUE(calls.empty() || calls.back().Marker()) << "slot " << slot << " ends with its marker";
    }
}

TEST_F(OutputOnEmulator, ConcurrentStartsFromHostThreadsAlwaysComplete) { RunConcurrentStartsAndStops(2, 15); }
