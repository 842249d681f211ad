// The producer and the reporter on two threads, as a run has them: the producer builds
// packets and re-rates the sources at each cycle end, the reporter follows with its own
// index over the same state. Under ThreadSanitizer this shows the shared state is safe.
#include <atomic>
#include <thread>

#include "PlaybackFixture.h"

namespace {

std::atomic<bool> g_reporterEnded{false};

// The catch-up step: the reporter runs on its own; give it the processor, and give way
// once it has ended.
bool YieldToReporter() {
    std::this_thread::yield();
    return !g_reporterEnded.load();
}

}  // namespace

TEST_F(PlaybackCoreTest, ProducerAndReporterShareTheRunStateSafely) {
    Run(3, 10000, true);
    g_nRespirationMode = 0x04 | 0x01;
    LoadECG(std::vector<double>(100, 1.0), std::vector<double>(100, 10.0), 1000.0);
    LoadPPG(1, std::vector<double>(100, 1.0), std::vector<double>(100, 100.0), 1000.0);
    PlayRawAppendScaledECG(Constant(0.25, 0.0, 1000.0), 2);
    PlayRawAppendScaledECG(Constant(0.1, 0.0, 1000.0), 0);
    PlayRawAppendScalePPG(PPG_CHANNEL_1, Constant(-0.5, 0.0, 1000.0), 2);
    g_reporterEnded = false;
    SetCatchUpStep(YieldToReporter);

    constexpr int kPackets = 1500;  // 10500 samples: ten ECG cycles, five PPG cycles
    std::atomic<bool> producerDone{false};
    double reported = 0.0;
    std::thread reporter([&] {
        for (;;) {
            const bool last = producerDone.load();
            unsigned long long n = g_nOutputCurrent.load();
            while (n < g_nCurrent.load()) {
                CheckApnea(n, g_bOutputIsApnea);
                reported += CalculateECGACVoltage(n, g_nCurrentOffset[kECGOffsetIndex].load(), g_bOutputIsApnea);
                reported += CalculatePPGDCVoltage(0, n - g_nCurrentOffset[0].load());
                g_nOutputCurrent = ++n;
            }
            if (last) {
                break;
            }
            std::this_thread::yield();
        }
        g_reporterEnded = true;
    });
    int full = 0;
    for (int i = 0; i < kPackets; ++i) {
        unsigned char packet[kStreamPacketSize] = {};
        full += ToECGAndPPGPacket(0, static_cast<unsigned short>(i), packet) == 1 ? 1 : 0;
    }
    producerDone = true;
    reporter.join();

    EXPECT_EQ(kPackets, full);
    EXPECT_EQ(g_nCurrent.load(), g_nOutputCurrent.load());
    EXPECT_GT(reported, 0.0);
    // Each ECG cycle of 800 samples at 1250 per second after the first of 1000.
    EXPECT_EQ(0u, (g_nCurrentOffset[kECGOffsetIndex].load() - 1000) % 800);
    EXPECT_DOUBLE_EQ(1250.0, g_fECGSrcSampleRate.load());
    EXPECT_DOUBLE_EQ(500.0, g_fPPGSrcSampleRate[0].load());
}
