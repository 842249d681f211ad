// The exported playback functions with and without the emulated instrument: auto-test
// runs and their item changes, the start signal, refusals before anything stops, and the
// host-side generation functions.
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <fstream>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ApiFixture.h"
#include "Watchdog.h"
#include "output/LockedExchange.h"
#include "platform/Event.h"
#include "playback/AutoTest.h"
#include "playback/PlayControl.h"
#include "playback/PlayRaw.h"
#include "playback/PlayThreads.h"
#include "playback/PlaybackState.h"
#include "protocol/Identity.h"
#include "protocol/Protocol.h"
#include "waveform/Conversion.h"

using nvsemu::Profile;
using nvsemu::StreamChannel;

namespace {

constexpr unsigned kLong = 20000;
constexpr int kMarker = static_cast<int>(0x80000000u);

std::mutex s_mu;
std::vector<int> s_acs;
int s_markers = 0;

void EcgCallback(double, int ac, int dc) {
    std::lock_guard<std::mutex> lock(s_mu);
    if (ac == kMarker && dc == kMarker) {
        ++s_markers;
    } else {
        s_acs.push_back(ac);
    }
}

class PlaybackApi : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ResetPlaybackState();
        ResetAutoTestState();
        InstallPlaybackEngineHooks();
        g_PlaySyncEvent.store(nullptr);
        std::lock_guard<std::mutex> lock(s_mu);
        s_acs.clear();
        s_markers = 0;
        char pattern[] = "/tmp/nvs-pbapi-XXXXXX";
        const char* made = mkdtemp(pattern);
        dir_ = made != nullptr ? made : "/tmp";
    }
    void TearDown() override {
        ORVStopPlayRawData();
        output::WaitForLockedExchanges();
        g_PlaySyncEvent.store(nullptr);
        ApiTest::TearDown();
        ResetAutoTestState();
        ResetPlaybackState();
        PlayRawEnableLoop(true);
        for (const std::string& f : files_) {
            unlink(f.c_str());
        }
        rmdir(dir_.c_str());
    }
    // A file with one ECG member: count samples of value mv at rate.
    std::string EcgFile(int count, double rate, double mv) {
        std::string ac, dc;
        for (int i = 0; i < count; ++i) {
            ac += (i ? "," : "") + std::to_string(mv);
            dc += (i ? ",0" : "0");
        }
        const std::string path = dir_ + "/f" + std::to_string(files_.size()) + ".json";
        std::ofstream(path) << "{\n\t\"ECGWaveform\" : {\r\n\t\t\"SampleRate\": " << rate << ",\n\t\t\"AC\": [" << ac
                            << "],\n\t\t\"DC\": [" << dc << "]\n\t}\n}\n";
        files_.push_back(path);
        return path;
    }
    std::vector<uint8_t> ModesSent() const {
        std::vector<uint8_t> out;
        for (const Bytes& b : SentWith({0x00, 0xFF})) {
            if (b.size() == 14) {
                out.push_back(b[2]);
            }
        }
        return out;
    }
    std::string dir_;
    std::vector<std::string> files_;
};

ECG_WAVEFORM SineEcg(double hz, double mv) {
    ECG_WAVEFORM w = {};
    w.nWaveformType = 0;
    w.fFrequency = hz;
    w.fAmplitude = mv;
    return w;
}

TEST_F(PlaybackApi, AutoTestOfTwoFilesPlaysBothItemsAndEnds) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    ORVWaveformPlayerLoop(false);
    ORVAutoTestClear();
    EXPECT_EQ(ORVAutoTestAddItemPlayRaw(1, EcgFile(100, 100.0, 1.0).c_str()), 1);
    EXPECT_EQ(ORVAutoTestAddItemPlayRaw(1, EcgFile(50, 100.0, 2.0).c_str()), 2);
    ClearSent();
    ASSERT_TRUE(ORVAutoTestStartOutput(EcgCallback, nullptr, nullptr, nullptr));
    ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
    const std::vector<uint8_t> modes = ModesSent();
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(modes.front(), IsPPGChannel3Supported() ? 15 : 7);
    EXPECT_EQ(Fw().PlayedSamples(StreamChannel::Ecg), 19999u);
    EXPECT_EQ(Fw().GetStreamStatus().counters.checkFailures, 0u);
    // The instrument played item 0's level for 10000 samples, then item 1's.
    const std::vector<uint16_t> words = Fw().PlayedWords(StreamChannel::Ecg);
    ASSERT_EQ(words.size(), 2u * 19999u);
    EXPECT_NE(words[2 * 9999 + 1], words[2 * 10000 + 1]);
    EXPECT_EQ(words[2 * 10000 + 1], words[2 * 19998 + 1]);
    ORVStopPlayRawData();
    std::lock_guard<std::mutex> lock(s_mu);
    EXPECT_EQ(s_markers, 1);
    ASSERT_GE(s_acs.size(), 19999u);
    EXPECT_NEAR(s_acs[100], 1000, 1);
    EXPECT_NEAR(s_acs[15000], 2000, 1);  // the reporter follows the item change
}

TEST_F(PlaybackApi, AutoTestWithoutAnInstrument) {
    EXPECT_EQ(ORVAutoTestAddItemPlayRaw(1, (dir_ + "/absent.json").c_str()), 1);
    EXPECT_FALSE(ORVAutoTestStartOutput(EcgCallback, nullptr, nullptr, nullptr));
    ORVAutoTestClear();
    EXPECT_FALSE(ORVAutoTestStartOutput(EcgCallback, nullptr, nullptr, nullptr));  // empty list
    ECG_WAVEFORM e = SineEcg(1.0, 1.0);
    EXPECT_EQ(ORVAutoTestAddItem(1, &e, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(ORVAutoTestAddItem(1, &e, nullptr, nullptr, nullptr), 2);
    EXPECT_EQ(ORVAutoTestAddItem(-1, &e, nullptr, nullptr, nullptr), 2);
    EXPECT_EQ(ORVAutoTestAddItemECGAndPPGEx(2, 10, &e, nullptr, nullptr, nullptr), 3);
    ASSERT_TRUE(ORVAutoTestStartOutput(EcgCallback, nullptr, nullptr, nullptr));
    EXPECT_TRUE(WaitUntil(
        [] {
            std::lock_guard<std::mutex> l(s_mu);
            return s_acs.size() > 1000;
        },
        kLong));
    EXPECT_EQ(ORVAutoTestAddItem(1, &e, nullptr, nullptr, nullptr), 4);  // stops the running auto test
    EXPECT_EQ(PlayRawIsRunning(), 0);
}

// ECG items change on the play thread while a host thread calls a setter every 50 ms:
// the control-block update of each new item must neither deadlock nor be lost.
TEST_F(PlaybackApi, EcgItemChangesBesideASetterDoNotDeadlock) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    ORVWaveformPlayerLoop(false);
    ECG_WAVEFORM a = SineEcg(2.0, 1.0), b = SineEcg(4.0, 2.0);
    ORVAutoTestAddItem(1, &a, nullptr, nullptr, nullptr);
    ORVAutoTestAddItem(1, &b, nullptr, nullptr, nullptr);
    ORVAutoTestAddItem(1, &a, nullptr, nullptr, nullptr);
    ASSERT_TRUE(ORVAutoTestStartOutput(EcgCallback, nullptr, nullptr, nullptr));
    std::atomic<bool> done{false};
    std::thread setter([&] {
        while (!done.load()) {
            ORVDeviceSetDCOffset(0);
            CAutoResetEvent pause;
            pause.WaitTimeout(50);
        }
    });
    RunWithWatchdog([&] { EXPECT_TRUE(Fw().WaitForStreamEnded(kLong)); }, 40, "auto test beside a setter");
    done = true;
    setter.join();
    EXPECT_EQ(Fw().PlayedSamples(StreamChannel::Ecg), 29999u);
}

// A refused pacing switch or operator mode fails the start with nothing running.
TEST_F(PlaybackApi, AutoTestStartRefusedByTheInstrument) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    const std::string file = EcgFile(100, 100.0, 1.0);
    struct {
        Bytes header;
        nvsemu::Fault fault;
    } cases[] = {{{0xEA, 0xFF, 0x00}, nvsemu::Fault::Refuse()}, {{0x00, 0xFF, 0x07}, nvsemu::Fault::Drop()}};
    for (auto& c : cases) {
        ORVAutoTestClear();
        ASSERT_EQ(ORVAutoTestAddItemPlayRaw(1, file.c_str()), 1);
        emu_.FaultOnHeader(c.header, c.fault);
        EXPECT_FALSE(ORVAutoTestStartOutput(EcgCallback, nullptr, nullptr, nullptr));
        EXPECT_EQ(g_hPlayThread.load(), 0u);
        EXPECT_EQ(Fw().GetStreamStatus().counters.packets, 0u);
    }
}

PPG_WAVEFORM SinePpg() {
    PPG_WAVEFORM p = {};
    p.fFrequency = 1.0;
    p.fAmplitude1 = 1.0;
    p.fDCLevel = 100.0;
    p.nSyncPulse = 1;
    return p;
}

// The two-channel play functions take each channel's sync byte from the host's record
// as the host gave it: the normalisation after the copy makes the host's record 1 or 2.
TEST_F(PlaybackApi, TwoChannelPlaysSendTheHostsSyncBytes) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    ECG_WAVEFORM e = SineEcg(1.0, 1.0);
    const std::function<bool(PPG_WAVEFORM*, PPG_WAVEFORM*)> plays[] = {
        [&](PPG_WAVEFORM* a, PPG_WAVEFORM* b) { return ORVPlayECGAndPPGEx(0, &e, a, b, nullptr, nullptr, nullptr); },
        [](PPG_WAVEFORM* a, PPG_WAVEFORM* b) { return ORVPlayPPGEx(a, b, nullptr, nullptr); },
    };
    for (const auto& play : plays) {
        PPG_WAVEFORM p1 = SinePpg(), p2 = SinePpg();
        p1.nSyncPulse = 5;
        p2.nSyncPulse = 0;
        ASSERT_TRUE(play(&p1, &p2));
        EXPECT_EQ(g_nPPGChSyncPulse[0], 5);
        EXPECT_EQ(g_nPPGChSyncPulse[1], 0);
        EXPECT_EQ(p1.nSyncPulse, 1);  // the host's record, normalised
        ORVStopPlayRawData();
    }
}

// Each player and play function sends the operator mode of its channel set.
TEST_F(PlaybackApi, OperatorModePerFunctionAndChannelSet) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    std::vector<double> ac(100, 0.1), dc(100, 50.0);
    PLAY_RAW_DATA r = {1000.0, 100, 1, ac.data(), dc.data(), nullptr};
    struct Case {
        const char* what;
        std::function<bool()> start;
        int mode;  // 0: refused
    };
    ECG_WAVEFORM e = SineEcg(1.0, 1.0);
    PPG_WAVEFORM p1 = SinePpg(), p2 = SinePpg();
    const Case cases[] = {
        {"player ECG", [&] { return ORVWaveformPlayerOutputECG(&r); }, 1},
        {"player ECG+PPG1", [&] { return ORVWaveformPlayerOutputECGAndPPG(&r, 1, &r); }, 3},
        {"player ECG+PPG2", [&] { return ORVWaveformPlayerOutputECGAndPPG(&r, 2, &r); }, 5},
        {"player ECG+PPG3", [&] { return ORVWaveformPlayerOutputECGAndPPG(&r, 3, &r); }, 0},
        {"player ECG+PPG1+2", [&] { return ORVWaveformPlayerOutputECGAndPPGEx(&r, &r, &r); }, 7},
        {"player PPG1", [&] { return ORVWaveformPlayerOutputPPG(1, &r); }, 2},
        {"player PPG2", [&] { return ORVWaveformPlayerOutputPPG(2, &r); }, 4},
        {"player PPG1+2", [&] { return ORVWaveformPlayerOutputPPGEx(&r, &r); }, 6},
        {"play ECG+PPG1", [&] { return ORVPlayECGAndPPG(0, &e, &p1, nullptr, nullptr); }, 3},
        {"play ECG+PPG1+2", [&] { return ORVPlayECGAndPPGEx(0, &e, &p1, &p2, nullptr, nullptr, nullptr); }, 7},
        {"play PPG on channel 3", [&] { return ORVPlayPPG(3, &p1, nullptr); }, 2},
        {"play PPG2", [&] { return ORVPlayPPG(2, &p1, nullptr); }, 4},
        {"play PPG1+2", [&] { return ORVPlayPPGEx(&p1, &p2, nullptr, nullptr); }, 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ORVStopPlayRawData();
        ClearSent();
        EXPECT_EQ(c.start(), c.mode != 0);
        const std::vector<uint8_t> modes = ModesSent();
        if (c.mode != 0) {
            ASSERT_FALSE(modes.empty());
            EXPECT_EQ(modes.front(), c.mode);
            EXPECT_TRUE(Fw().WaitForPacketsPlayed(50, kLong));
        } else {
            EXPECT_TRUE(modes.empty() || modes.front() == 8 || modes.front() == 0);
        }
    }
}

TEST_F(PlaybackApi, StartSignalHoldsTheFirstBatch) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    void* signal = ORVCreateSynchronizationSignal();
    ASSERT_NE(signal, nullptr);
    int foreign = 0;
    ORVSetSynchronizationSignal(&foreign);  // not one of ours: ignored
    EXPECT_EQ(g_PlaySyncEvent.load(), nullptr);
    ORVSynchronizationSignalSetEvent(&foreign);  // nothing registered: nothing
    ORVSynchronizationSignalResetEvent(&foreign);
    ORVSetSynchronizationSignal(signal);
    ECG_WAVEFORM e = SineEcg(1.0, 1.0);
    ASSERT_TRUE(ORVPlayECG(&e, EcgCallback));
    EXPECT_EQ(e.fSampleRateKHz, 40.0);
    ASSERT_TRUE(Fw().WaitForStream([](const nvsemu::StreamStatus& s) { return s.streams > 0; }, kLong));
    EXPECT_EQ(Fw().GetStreamStatus().counters.packets, 0u);
    ORVSynchronizationSignalSetEvent(nullptr);  // sets the registered one
    EXPECT_TRUE(Fw().WaitForPacketsPlayed(100, kLong));
    ORVStopPlayRawData();
    // Reset, then a run waits again; a stop while it waits returns.
    ORVSynchronizationSignalResetEvent(signal);
    ASSERT_TRUE(ORVPlayECG(&e, EcgCallback));
    RunWithWatchdog([] { ORVStopPlayRawData(); }, 30, "stop while waiting for the start signal");
    ORVSetSynchronizationSignal(nullptr);
    EXPECT_EQ(g_PlaySyncEvent.load(), nullptr);
}

TEST_F(PlaybackApi, BadRecordsAreRefusedBeforeAnythingStops) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    ECG_WAVEFORM e = SineEcg(1.0, 1.0);
    ASSERT_TRUE(ORVPlayECG(&e, nullptr));
    std::vector<double> ac(10, 0.0), dc(10, 0.0);
    PLAY_RAW_DATA noCount = {1000.0, 0, 0, ac.data(), dc.data(), nullptr};
    PLAY_RAW_DATA negative = {1000.0, -5, 0, ac.data(), dc.data(), nullptr};
    PLAY_RAW_DATA noArray = {1000.0, 10, 0, nullptr, dc.data(), nullptr};
    ClearSent();
    EXPECT_FALSE(ORVWaveformPlayerOutputECG(nullptr));
    EXPECT_FALSE(ORVWaveformPlayerOutputECG(&noCount));
    EXPECT_FALSE(ORVWaveformPlayerOutputECG(&negative));
    EXPECT_FALSE(ORVWaveformPlayerOutputPPG(1, &noArray));
    EXPECT_FALSE(ORVWaveformPlayerOutputECGAndPPGEx(&noCount, &noCount, &noCount));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    FREQUENCY_SCAN scans[] = {{1, 10, 20, 0}, {1, 10, 20, -3}, {1, 10, 20, 60000}, {nan, 10, 20, 1}, {1, 0, 0, 1}};
    for (FREQUENCY_SCAN& s : scans) {
        EXPECT_FALSE(ORVOutputFrequencyScan(&s, nullptr));
    }
    EXPECT_FALSE(ORVOutputFrequencyScan(nullptr, nullptr));
    EXPECT_FALSE(ORVOutputFrequencyScanPPG(1, nullptr, nullptr));
    EXPECT_FALSE(ORVPlayECG(nullptr, nullptr));
    EXPECT_FALSE(ORVPlayPPGEx(nullptr, nullptr, nullptr, nullptr));
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(PlayRawIsRunning(), 1);  // the first run is still there
    EXPECT_EQ(Fw().GetStreamStatus().state, nvsemu::StreamState::Playing);
}

TEST_F(PlaybackApi, WithoutAnInstrumentThePlayFunctionsSimulate) {
    ECG_WAVEFORM e = SineEcg(1.0, 1.0);
    e.fSampleRateKHz = 2.0;
    EXPECT_TRUE(ORVPlayECG(&e, EcgCallback));
    EXPECT_EQ(e.fSampleRateKHz, 40.0);
    PPG_WAVEFORM p = {};
    p.fFrequency = 1.0;
    p.fAmplitude1 = 1.0;
    p.nSyncPulse = 1;
    EXPECT_FALSE(ORVPlayECGAndPPG3(0, &e, &p, nullptr, nullptr, EcgCallback, nullptr, nullptr, nullptr));
    EXPECT_TRUE(ORVPlayPPG(3, &p, nullptr));
    EXPECT_EQ(GetOperatorMode(), 2);  // channel 3 plays on channel 1
    FREQUENCY_SCAN scan = {1.0, 10.0, 20.0, 1};
    EXPECT_TRUE(ORVOutputFrequencyScan(&scan, EcgCallback));
    ORVStopPlayRawData();
    EXPECT_EQ(PlayRawIsRunning(), 0);
}

TEST_F(PlaybackApi, GenerationHandsOutArraysThatMemFreeTakesBack) {
    PPG_WAVEFORM p = {};
    p.fFrequency = 1.0;
    p.fAmplitude1 = 1.0;
    int count = 0;
    int* a = ORVGenPPGWaveformEx(&p, &count, 2.7);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(p.fSampleRateKHz, 2.0);
    EXPECT_EQ(count, 2000);
    ORVMemFree(a);
    int local = 0;
    ORVMemFree(&local);  // not one of ours: ignored
    ORVMemFree(nullptr);
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), 1e12, -1e12}) {
        p.fSampleRateKHz = 5.0;
        EXPECT_EQ(ORVGenPPGWaveformEx(&p, &count, bad), nullptr);
        EXPECT_EQ(p.fSampleRateKHz, 5.0);
    }
    int* b = ORVGenPPGWaveform(&p, &count);
    EXPECT_EQ(p.fSampleRateKHz, 1.0);
    ORVMemFree(b);
    ECG_WAVEFORM e = SineEcg(1.0, 1.0);
    double rate = 0.0;
    int* c = ORVGenECGWaveform(&e, &count, &rate);
    EXPECT_EQ(rate, e.fSampleRateKHz);
    EXPECT_GT(count, 0);
    ORVMemFree(c);
    EXPECT_EQ(ORVCalculateACByRMS(PPG_WAVEFORM{}), 0.0);  // an empty period
    EXPECT_GT(ORVCalculateACByRMS(p), 0.0);
}

}  // namespace

namespace {

struct Sample {
    int ac, dc;
};
std::vector<Sample> s_ecg;

void EcgSampleCallback(double, int ac, int dc) {
    std::lock_guard<std::mutex> lock(s_mu);
    if (ac != kMarker || dc != kMarker) {
        s_ecg.push_back({ac, dc});
    }
}

int WireValue(uint16_t word) {
    uint8_t b[2];
    memcpy(b, &word, 2);
    return b[0] << 8 | b[1];
}

// Every ECG sample the instrument played was reported, in order, with its value: the
// callback's microvolts convert back to the played words (AC within the rounding).
void ExpectCallbacksEqualPlayedEcg(const std::vector<uint16_t>& words) {
    std::lock_guard<std::mutex> lock(s_mu);
    ASSERT_GE(s_ecg.size(), words.size() / 2);
    for (size_t i = 0; i < words.size() / 2; ++i) {
        ASSERT_EQ(WireValue(ECG_DC_VoltageToDAC(s_ecg[i].dc / 1000.0)), words[2 * i]) << "sample " << i;
        const int expected = static_cast<int16_t>(WireValue(ECG_AC_VoltageToDAC(s_ecg[i].ac / 1000.0)));
        ASSERT_NEAR(static_cast<int16_t>(words[2 * i + 1]), expected, 1) << "sample " << i;
    }
}

}  // namespace

// Two file items whose AC and DC both vary: the callbacks report exactly what the
// instrument played, across the item change.
TEST_F(PlaybackApi, AutoTestCallbacksEqualThePlayedSamplesAcrossAnItemChange) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    ORVWaveformPlayerLoop(false);
    const auto file = [&](double acScale, double dcStep) {
        std::string ac, dc;
        for (int i = 0; i < 500; ++i) {
            ac += (i ? "," : "") + std::to_string(acScale * std::sin(2 * M_PI * i / 500.0));
            dc += (i ? "," : "") + std::to_string(dcStep * (i % 50));
        }
        const std::string path = dir_ + "/v" + std::to_string(files_.size()) + ".json";
        std::ofstream(path) << "{\"ECGWaveform\": {\"SampleRate\": 1000, \"AC\": [" << ac << "], \"DC\": [" << dc
                            << "]}}";
        files_.push_back(path);
        return path;
    };
    ASSERT_EQ(ORVAutoTestAddItemPlayRaw(1, file(1.0, 1.0).c_str()), 1);
    ASSERT_EQ(ORVAutoTestAddItemPlayRaw(1, file(0.5, -1.0).c_str()), 2);
    {
        std::lock_guard<std::mutex> lock(s_mu);
        s_ecg.clear();
    }
    ASSERT_TRUE(ORVAutoTestStartOutput(EcgSampleCallback, nullptr, nullptr, nullptr));
    ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
    ORVStopPlayRawData();
    const std::vector<uint16_t> words = Fw().PlayedWords(StreamChannel::Ecg);
    ASSERT_EQ(words.size(), 2u * 19999u);
    EXPECT_LT(words[2 * 10100], words[2 * 100]);  // the second item's DC falls where the first one's rose
    ExpectCallbacksEqualPlayedEcg(words);
}

PPG_WAVEFORM Ppg(double amplitude, double dc) {
    PPG_WAVEFORM p = SinePpg();
    p.fAmplitude1 = amplitude;
    p.fDCLevel = dc;
    return p;
}

// A module with a third PPG channel runs the auto test in mode 15: four channels per
// sample, the change at exactly the item's duration, callbacks as played.
TEST_F(PlaybackApi, Mode15AutoTestOnAThreeChannelModule) {
    Plug(Profile::WithPpg2006());
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(IsPPGChannel3Supported());
    ORVWaveformPlayerLoop(false);
    ECG_WAVEFORM a = SineEcg(0.7, 1.0), b = SineEcg(2.0, 2.0);
    PPG_WAVEFORM p1 = Ppg(1.0, 100.0), p2 = Ppg(2.0, 200.0), p3 = Ppg(3.0, 300.0);
    ASSERT_EQ(ORVAutoTestAddItem(1, &a, &p1, &p2, &p3), 1);
    ASSERT_EQ(ORVAutoTestAddItem(1, &b, &p3, &p1, &p2), 2);
    {
        std::lock_guard<std::mutex> lock(s_mu);
        s_ecg.clear();
    }
    ClearSent();
    ASSERT_TRUE(ORVAutoTestStartOutput(EcgSampleCallback, nullptr, nullptr, nullptr));
    ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
    ORVStopPlayRawData();
    const std::vector<uint8_t> modes = ModesSent();
    ASSERT_FALSE(modes.empty());
    EXPECT_EQ(modes.front(), 15);
    const nvsemu::StreamStatus s = Fw().GetStreamStatus();
    EXPECT_EQ(s.streams, 1u);
    EXPECT_EQ(s.counters.checkFailures, 0u);
    EXPECT_EQ(Fw().PlayedSamples(StreamChannel::Ecg), 19999u);  // 0.7 s cycles: no wait for a cycle end
    for (StreamChannel c : {StreamChannel::Ppg1, StreamChannel::Ppg2, StreamChannel::Ppg3}) {
        EXPECT_EQ(Fw().PlayedSamples(c), 19999u);
    }
    // Channel 3 carries item 0's third record, then item 1's first: its DC moves up.
    const std::vector<uint16_t> ppg3 = Fw().PlayedWords(StreamChannel::Ppg3);
    ASSERT_EQ(ppg3.size(), 2u * 19999u);
    EXPECT_EQ(ppg3[2 * 9999], ppg3[0]);
    EXPECT_NE(ppg3[2 * 10000], ppg3[2 * 9999]);
    ExpectCallbacksEqualPlayedEcg(Fw().PlayedWords(StreamChannel::Ecg));
}

// On PPG model 0x2112 the AC range of each PPG channel travels in the operator mode:
// an item change re-sends it mid-stream with the new item's ranges, and the instrument
// keeps the stream and its sequence.
TEST_F(PlaybackApi, On2112AnItemChangeReSendsTheOperatorModeWithItsACRanges) {
    Plug(Profile::WithPpg2112());
    ASSERT_TRUE(Connect());
    ORVWaveformPlayerLoop(false);
    ECG_WAVEFORM e = SineEcg(1.0, 1.0);
    PPG_WAVEFORM big1 = Ppg(20.0, 1000.0), big2 = Ppg(20.0, 1000.0);    // range 0
    PPG_WAVEFORM small1 = Ppg(1.0, 1000.0), small2 = Ppg(1.0, 1000.0);  // range 2
    ASSERT_EQ(ORVAutoTestAddItemECGAndPPGEx(1, 0, &e, &big1, &big2, nullptr), 1);
    ASSERT_EQ(ORVAutoTestAddItemECGAndPPGEx(1, 0, &e, &small1, &small2, nullptr), 2);
    ClearSent();
    ASSERT_TRUE(ORVAutoTestStartOutput(nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(Fw().WaitForStreamEnded(kLong));
    const std::vector<nvsemu::StreamCommandMark> marks = Fw().StreamCommands();
    ORVStopPlayRawData();
    const nvsemu::StreamStatus s = Fw().GetStreamStatus();
    EXPECT_EQ(s.streams, 1u);
    EXPECT_EQ(s.counters.checkFailures, 0u);
    EXPECT_EQ(s.counters.commandsInBatch, 0u);
    EXPECT_EQ(Fw().PlayedSamples(StreamChannel::Ppg1), 19999u);

    const std::vector<Bytes> first = SentWith({0x00, 0xFF, 0x07});
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(first.front().size(), 14u);
    EXPECT_EQ(first.front()[8], 0);
    EXPECT_EQ(first.front()[9], 0);
    std::vector<const nvsemu::StreamCommandMark*> resent;
    for (const nvsemu::StreamCommandMark& m : marks) {
        if (m.head.size() >= 11 && m.head[0] == 0x00 && m.head[1] == 0xFF && m.head[2] == 0x07) {
            resent.push_back(&m);
        }
    }
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0]->head[8], 2);
    EXPECT_EQ(resent[0]->head[9], 2);
    // It goes out between two batches, ahead of the one that holds the change.
    EXPECT_GE(resent[0]->samplesTaken, 9800u);
    EXPECT_LE(resent[0]->samplesTaken, 10000u);
}

// A three-channel play on a module that simulates channel 3: the LED pulse group decides
// which records must be valid; unlit channels are dropped; an unanswered group read fails.
TEST_F(PlaybackApi, PulseGroupDecidesWhichThreeChannelRecordsPlay) {
    Plug(Profile::WithPpg2006());
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(IsPPGChannel3Simulated());
    std::vector<double> ac(100, 0.1), dc(100, 50.0);
    PLAY_RAW_DATA r = {1000.0, 100, 1, ac.data(), dc.data(), nullptr};
    PLAY_RAW_DATA bad = {1000.0, 0, 1, ac.data(), dc.data(), nullptr};
    struct Case {
        const char* what;
        std::vector<uint8_t> slots;
        bool readFails;
        std::function<bool()> start;
        int mode;  // 0: refused; a simulated channel 3 always plays all channels
    } cases[] = {
        {"channels 1 and 3 lit, 2 invalid",
         {2, 1},
         false,
         [&] { return ORVWaveformPlayerOutputPPG3(&r, &bad, &r); },
         14},
        {"all lit, 2 invalid", {2, 4, 1}, false, [&] { return ORVWaveformPlayerOutputPPG3(&r, &bad, &r); }, 0},
        {"all lit, all valid", {2, 4, 1}, false, [&] { return ORVWaveformPlayerOutputPPG3(&r, &r, &r); }, 14},
        {"with ECG, only channel 2 lit",
         {4},
         false,
         [&] { return ORVWaveformPlayerOutputECGAndPPG3(&r, nullptr, &r, &bad); },
         15},
        {"with ECG, channel 3 lit and null",
         {1, 2},
         false,
         [&] { return ORVWaveformPlayerOutputECGAndPPG3(&r, &r, &r, nullptr); },
         0},
        {"the group read unanswered", {2, 4, 1}, true, [&] { return ORVWaveformPlayerOutputPPG3(&r, &r, &r); }, 0},
        {"with ECG, the group read unanswered",
         {2, 4, 1},
         true,
         [&] { return ORVWaveformPlayerOutputECGAndPPG3(&r, &r, &r, &r); },
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ORVStopPlayRawData();
        PPG_LED_PULSE_GROUP_SETTING group = {};
        std::copy(c.slots.begin(), c.slots.end(), group.ucSlot);
        group.usPeriod = 100;
        ASSERT_TRUE(ORVWriteLEDPulseGroupSetting(&group));
        ClearSent();
        if (c.readFails) {
            emu_.FaultOnHeader({0xEA, 0x00, 0x00}, nvsemu::Fault::Drop(), 0);
        }
        EXPECT_EQ(c.start(), c.mode != 0);
        emu_.ClearFaults();
        const std::vector<uint8_t> modes = ModesSent();
        if (c.mode != 0) {
            ASSERT_FALSE(modes.empty());
            EXPECT_EQ(modes.front(), c.mode);
            EXPECT_TRUE(Fw().WaitForPacketsPlayed(50, kLong));
        } else {
            EXPECT_EQ(PlayRawIsRunning(), 0);  // refused after the stop: nothing runs
            EXPECT_TRUE(modes.empty() || modes.front() == 8 || modes.front() == 0);
        }
    }
}
