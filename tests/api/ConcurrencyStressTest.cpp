// Host threads calling exported setters, getters, starts and stops at random, in a seeded
// order, while simulated output, playback and sampling run against the emulated
// instrument, and a further thread ends and restarts the connection handling. Under
// ThreadSanitizer this is the proof that the library's shared state is guarded; in every
// build it shows that no call deadlocks (a watchdog names the threads stuck in a call)
// and that every run that started ends with its end marker.
//
// NVS_STRESS_SECONDS sets how long the threads call (default 4); NVS_STRESS_SEED replays
// an order (the seed of each run is printed).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ApiFixture.h"
#include "Watchdog.h"
#include "WaveformRecords.h"
#include "output/LockedExchange.h"
#include "platform/Event.h"
#include "playback/PlayControl.h"
#include "playback/PlayThreads.h"
#include "playback/PlaybackState.h"
#include "sampling/SamplingApi.h"

using nvsemu::Profile;

namespace {

constexpr int kMarker = static_cast<int>(0x80000000u);
constexpr unsigned kStallSeconds = 60;  // far above any call's own bound

unsigned EnvOr(const char* name, unsigned fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

// What the callbacks heard: samples and end markers, per kind of run.
struct Heard {
    std::atomic<long> samples{0};
    std::atomic<long> markers{0};
};
Heard s_output, s_playback;
std::atomic<long> s_sampled{0};

void OutputCallback(double, int ac, int dc) {
    (ac == kMarker && dc == kMarker ? s_output.markers : s_output.samples)++;
}
void PlaybackCallback(double, int ac, int dc) {
    (ac == kMarker && dc == kMarker ? s_playback.markers : s_playback.samples)++;
}
void SamplingCallback(int, int count) { s_sampled += count; }

// Successful starts and all attempts, per kind of run.
struct Starts {
    std::atomic<long> ok{0};
    std::atomic<long> tried{0};
    void Count(bool started) {
        ++tried;
        ok += started ? 1 : 0;
    }
};

class ConcurrencyStress : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        ResetPlaybackState();
        InstallPlaybackEngineHooks();
        InstallSamplingEntries();
        g_PlaySyncEvent.store(nullptr);
        for (Heard* h : {&s_output, &s_playback}) {
            h->samples = 0;
            h->markers = 0;
        }
        s_sampled = 0;
    }
    void TearDown() override {
        ORVDisableSampling();
        ORVStopOutputWaveform();
        output::WaitForLockedExchanges();
        ApiTest::TearDown();
        ResetPlaybackState();
        ORVWaveformPlayerLoop(true);
    }
};

}  // namespace

TEST_F(ConcurrencyStress, RandomCallsFromSeveralThreadsWhileEverythingRuns) {
    const unsigned seconds = EnvOr("NVS_STRESS_SECONDS", 4);
    const unsigned seed = EnvOr("NVS_STRESS_SEED", static_cast<unsigned>(std::random_device{}()));
    std::printf("concurrency stress: seed %u (NVS_STRESS_SEED), %u s (NVS_STRESS_SECONDS)\n", seed, seconds);
    std::fflush(stdout);
    RecordProperty("seed", std::to_string(seed));

    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());

    // The records every start uses; the library copies them, so they are shared.
    ECG_WAVEFORM ecg = records::EcgSine(1.0, 2.0);
    ecg.nPRInterval = 160;
    ecg.nQRSWidth = 100;
    ecg.nQTInterval = 400;
    std::vector<double> ac(500), dc(500, 100.0);
    for (size_t i = 0; i < ac.size(); ++i) {
        ac[i] = 0.5 * static_cast<double>(i) / 500.0;
    }
    const PLAY_RAW_DATA raw{1000.0, 500, 0, ac.data(), dc.data(), PlaybackCallback};

    Starts outputStarts, playbackStarts, samplingStarts;
    struct Action {
        const char* name;
        std::function<void(std::mt19937&)> call;
    };
    const std::vector<Action> actions = {
        // setters
        {"ORVSetLEDAmbientLightMode",
         [](std::mt19937& r) { ORVSetLEDAmbientLightMode(static_cast<PPGAmbientLightMode>(r() % 15)); }},
        {"ORVEnableDynamicLEDStrength", [](std::mt19937& r) { ORVEnableDynamicLEDStrength(r() % 2 == 0); }},
        {"ORVEnableRLD", [](std::mt19937& r) { ORVEnableRLD(r() % 2 == 0); }},
        {"ORVDeviceSetElectrode", [](std::mt19937& r) { ORVDeviceSetElectrode(static_cast<int>(r() % 4)); }},
        {"ORVDeviceSetDCOffset", [](std::mt19937& r) { ORVDeviceSetDCOffset(static_cast<int>(r() % 600) - 300); }},
        {"ORVConfigureTransmissionRate",
         [](std::mt19937& r) { ORVConfigureTransmissionRate(static_cast<int>(r() % 6)); }},
        {"ORVWaveformPlayerLoop", [](std::mt19937& r) { ORVWaveformPlayerLoop(r() % 4 != 0); }},
        {"ORVEnableACAboveDC", [](std::mt19937& r) { ORVEnableACAboveDC(r() % 2 == 0); }},
        {"ORVWriteLEDPulseGroupSetting",
         [](std::mt19937&) {
             PPG_LED_PULSE_GROUP_SETTING s = {};
             if (ORVReadLEDPulseGroupSetting(&s)) {
                 ORVWriteLEDPulseGroupSetting(&s);
             }
         }},
        // getters
        {"ORVGetDeviceInformation",
         [](std::mt19937&) {
             MODEL_INFORMATION info;
             ORVGetDeviceInformation(&info);
             ORVGetPPGDeviceInformation(&info);
         }},
        {"ORVGetSerialNumber", [](std::mt19937&) { ORVGetSerialNumber(); }},
        {"ORVGetHWInformation",
         [](std::mt19937&) {
             HW_INFORMATION hw;
             ORVGetHWInformation(&hw);
         }},
        {"ORVGetDeviceFeature",
         [](std::mt19937&) {
             DEVICE_FEATURE f;
             ORVGetDeviceFeature(&f);
         }},
        {"ORVGetLEDAmbientLightMode", [](std::mt19937&) { ORVGetLEDAmbientLightMode(); }},
        {"ORVReadRLD",
         [](std::mt19937&) {
             double a = 0, b = 0;
             ORVReadRLD(&a, &b);
         }},
        // starts
        {"ORVOutputECG",
         [&](std::mt19937&) {
             ECG_WAVEFORM copy = ecg;
             outputStarts.Count(ORVOutputECG(&copy, OutputCallback));
         }},
        {"ORVWaveformPlayerOutputECG",
         [&](std::mt19937&) {
             PLAY_RAW_DATA copy = raw;
             playbackStarts.Count(ORVWaveformPlayerOutputECG(&copy));
         }},
        {"ORVStartSampling",
         [&](std::mt19937&) {
             ORVEnableSampling(PPG_SAMPLING_PD1, SamplingCallback);
             samplingStarts.Count(ORVStartSampling(nullptr));
         }},
        // stops
        {"ORVStopOutputWaveform", [](std::mt19937&) { ORVStopOutputWaveform(); }},
        {"ORVStopPlayRawData", [](std::mt19937&) { ORVStopPlayRawData(); }},
        {"ORVDisableSampling", [](std::mt19937&) { ORVDisableSampling(); }},
    };

    constexpr int kHostThreads = 4;
    std::atomic<bool> stop{false};
    std::atomic<long> calls{0}, restarts{0};
    {
        StallWatch watch(kStallSeconds, "concurrency stress");
        std::vector<int> ids;
        for (int i = 0; i < kHostThreads; ++i) {
            ids.push_back(watch.Watch("host " + std::to_string(i)));
        }
        const int lifecycleId = watch.Watch("connection lifecycle");
        std::vector<std::thread> threads;
        for (int i = 0; i < kHostThreads; ++i) {
            threads.emplace_back([&, i] {
                std::mt19937 rng(seed + static_cast<unsigned>(i));
                while (!stop.load()) {
                    const Action& a = actions[rng() % actions.size()];
                    watch.Enter(ids[static_cast<size_t>(i)], a.name);
                    a.call(rng);
                    watch.Leave(ids[static_cast<size_t>(i)]);
                    ++calls;
                }
            });
        }
        // Ends the connection handling and starts it again, at random moments: the
        // instrument reconnects by itself in between, or the next end finds it still
        // connecting.
        threads.emplace_back([&] {
            std::mt19937 rng(seed + kHostThreads);
            while (!stop.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200 + rng() % 1200));  // pacing only
                watch.Enter(lifecycleId, "ORVFree");
                ORVFree();
                watch.Enter(lifecycleId, "ORVInit");
                ORVInit(ListenerLog::Listener);
                watch.Leave(lifecycleId);
                ++restarts;
            }
        });
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the run's length only
        }
        stop = true;
        for (std::thread& t : threads) {
            t.join();
        }
    }
    std::printf(
        "concurrency stress: %ld calls, %ld restarts; starts ok/tried: output %ld/%ld, playback %ld/%ld, "
        "sampling %ld/%ld\n",
        calls.load(), restarts.load(), outputStarts.ok.load(), outputStarts.tried.load(), playbackStarts.ok.load(),
        playbackStarts.tried.load(), samplingStarts.ok.load(), samplingStarts.tried.load());

    // Everything ends; each run that started heard its end marker, and no run that
    // never started did.
    RunWithWatchdog(
        [] {
            ORVDisableSampling();
            ORVStopOutputWaveform();
            output::WaitForLockedExchanges();
        },
        kStallSeconds, "the final stop");
    for (const auto& k : {std::make_pair(&s_output, &outputStarts), std::make_pair(&s_playback, &playbackStarts)}) {
        const Heard& heard = *k.first;
        const Starts& starts = *k.second;
        EXPECT_TRUE(WaitUntil([&] { return heard.markers.load() >= starts.ok.load(); }, 20000))
            << heard.markers.load() << " markers for " << starts.ok.load() << " starts (seed " << seed << ")";
        EXPECT_LE(heard.markers.load(), starts.tried.load()) << "seed " << seed;
    }
    EXPECT_GT(calls.load(), 0);

    // The connection handling still works: a clean connect after it all.
    ORVFree();
    EXPECT_TRUE(Connect()) << "seed " << seed;
}

// A second ORVInit keeps the connection and everything running, and puts the default
// ECG DC table back while the run's producer builds batches from it: the table changes
// only between two batches (under ThreadSanitizer, a race otherwise).
TEST_F(ConcurrencyStress, InitWhileAPlaybackRunStreams) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    std::vector<double> ac(500, 0.1), dc(500, 100.0);
    PLAY_RAW_DATA raw{1000.0, 500, 0, ac.data(), dc.data(), PlaybackCallback};
    ASSERT_TRUE(ORVWaveformPlayerOutputECG(&raw));
    ASSERT_TRUE(Fw().WaitForStream([](const nvsemu::StreamStatus& s) { return s.counters.requests >= 2; }, 20000));
    RunWithWatchdog(
        [] {
            for (int i = 0; i < 20; ++i) {
                ASSERT_TRUE(ORVInit(ListenerLog::Listener));
            }
        },
        kStallSeconds, "ORVInit while streaming");
    const uint64_t requests = Fw().GetStreamStatus().counters.requests;
    EXPECT_TRUE(
        Fw().WaitForStream([&](const nvsemu::StreamStatus& s) { return s.counters.requests >= requests + 2; }, 20000))
        << "the run goes on";
    ORVStopPlayRawData();
    EXPECT_TRUE(WaitUntil([] { return s_playback.markers.load() == 1; }, 20000));
    EXPECT_EQ(Fw().GetStreamStatus().counters.checkFailures, 0u);
}
