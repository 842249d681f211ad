// A start made from a sample callback of the output or playback it would replace: the
// callback runs on that run's own thread, which the start cannot join from inside. Every
// such start is refused (false, nothing stopped, nothing sent), and the run goes on.
#include <atomic>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "WaveformRecords.h"
#include "api/nvs300.h"
#include "playback/PlayControl.h"

namespace {

constexpr int kEnd = static_cast<int>(0x80000000u);

struct Start {
    const char* name;
    std::function<bool()> call;
};

// What the callback did on its tenth sample.
struct InCallback {
    const std::function<bool()>* start = nullptr;
    nvsemu::Emulator* emu = nullptr;
    std::atomic<int> samples{0};
    std::atomic<int> result{-1};
    std::atomic<long> requestsDuring{-1};
};
InCallback* s_in = nullptr;

void StartOnTheTenthSample(double, int ac, int dc) {
    if (ac == kEnd && dc == kEnd) {
        return;
    }
    if (s_in->samples.fetch_add(1) + 1 != 10) {
        return;
    }
    const size_t before = s_in->emu->Requests().size();
    s_in->result.store((*s_in->start)() ? 1 : 0);
    s_in->requestsDuring.store(static_cast<long>(s_in->emu->Requests().size() - before));
}

class StartFromCallback : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        InstallPlaybackEngineHooks();  // the state reset leaves the common stop without the engine
        Plug(nvsemu::Profile::WithPpg2112());
        ASSERT_TRUE(Connect());
    }
    void TearDown() override {
        ORVStopOutputWaveform();
        s_in = nullptr;
        ApiTest::TearDown();
    }
};

TEST_F(StartFromCallback, IsRefusedWithNothingSentAndTheRunGoesOn) {
    static ECG_WAVEFORM ecg = records::EcgSine(1.0, 1.0);
    static PPG_WAVEFORM ppg = records::PpgSine(1.0, 500.0, 100.0);
    const Start starts[] = {
        {"ORVOutputECG", [] { return ORVOutputECG(&ecg, nullptr); }},
        {"ORVOutputPPG", [] { return ORVOutputPPG(PPG_CHANNEL_1, &ppg, nullptr); }},
        {"ORVPlayECG", [] { return ORVPlayECG(&ecg, nullptr); }},
        {"ORVPlayPPG", [] { return ORVPlayPPG(PPG_CHANNEL_1, &ppg, nullptr); }},
        {"ORVCalibrateMethod1", [] { return ORVCalibrateMethod1(PPG_CHANNEL_1, &ppg); }},
        {"ORVCalibrateMethod2", [] { return ORVCalibrateMethod2(PPG_CHANNEL_1, &ppg); }},
    };
    const Start runs[] = {
        {"an output", [] { return ORVOutputECG(&ecg, StartOnTheTenthSample); }},
        {"a playback", [] { return ORVPlayECG(&ecg, StartOnTheTenthSample); }},
    };
    for (const Start& run : runs) {
        for (const Start& start : starts) {
            SCOPED_TRACE(std::string(start.name) + " from a sample callback of " + run.name);
            InCallback in;
            in.start = &start.call;
            in.emu = &emu_;
            s_in = &in;
            ASSERT_TRUE(run.call());
            ASSERT_TRUE(WaitUntil([&] { return in.requestsDuring.load() >= 0; }, 20000)) << in.samples.load();
            EXPECT_EQ(in.result.load(), 0);
            EXPECT_EQ(in.requestsDuring.load(), 0) << "nothing sent";
            const int seen = in.samples.load();
            EXPECT_TRUE(WaitUntil([&] { return in.samples.load() > seen + 20; }, 20000)) << "the run goes on";
            ORVStopOutputWaveform();
            s_in = nullptr;
        }
    }
}

}  // namespace
