// FPGA report sampling.
//
// Sound behaviour beyond the bare sequence:
// - A reply that does not arrive ends the poller through the normal exit (thread handle
//   0, callbacks null, run event reset) instead of leaving it all set, so IsRunning does
//   not report a thread that has gone.
// - A query that could not be written is tried again after 100 ms, not at once: an
//   unplugged instrument does not make the poller spin on the global lock.
// - The ratios are read under the lock that each poll holds; the callbacks are atomics.
// - ORVEnableFPGASampling with enable false does what the detection does with false:
//   sampling stopped, false, nothing sent.
// - FPGASyncToEEPROM refuses a channel outside 1..3 rather than indexing outside the
//   table.
#include "sampling/Fpga.h"

#include <cmath>
#include <cstring>

#include "api/PostConnection.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"
#include "protocol/MemoryCommand.h"
#include "protocol/PPGModule.h"
#include "sampling/SamplingState.h"

namespace {

constexpr unsigned char kRatioTarget = 19;
constexpr unsigned int kRatioAddress = 0x1480;
constexpr int kRatioRowBytes = 32;
constexpr unsigned kPollPauseMs = 100;

bool Running() { return g_hSamplingEvent.WaitTimeout(0) == 0; }

// Both starts: any sampling stopped first, then the thread under the control mutex.
// prepare runs under g_CriticalSection before the thread starts; false stops there.
template <class Prepare>
bool StartPoller(PFN_FPGA_REPORT_HANDLER handler, Prepare prepare) {
    std::unique_lock<std::mutex> control = sampling::LockControl();
    sampling::EndThreadLocked();
    CAutoCriticalSection lock(g_CriticalSection);
    if (!prepare()) {
        return false;
    }
    return sampling::LaunchThread(FPGASamplingThread, reinterpret_cast<void*>(handler));
}

bool CanStart() { return !sampling::OnSamplingThread() && !g_CriticalSection.HeldByCurrentThread(); }

}  // namespace

int FGPAEnableDUTSignalDetection(int enable, PFN_DUT_DETECTION_CALLBACK callback) {
    ORVDisableSampling();
    if (enable == 0 || callback == nullptr || !CanStart()) {
        return 0;
    }
    return StartPoller(FPGADutSignalDetection, [&] {
        g_DUTSignalDetectionCallback.store(callback);
        return true;
    });
}

int FPGAEnableFPGASampling(int enable, int mode, PFN_FPGA_SAMPLING_CALLBACK callback) {
    ORVDisableSampling();
    if (enable == 0 || callback == nullptr || !CanStart()) {
        return 0;
    }
    return StartPoller(FPGABypassSampling, [&] {
        if (!EnableSignalStrengthDetection(mode)) {
            return false;
        }
        g_FPGASamplingCallback.store(callback);
        return true;
    });
}

void* FPGASamplingThread(void* argument) {
    sampling::MarkSamplingThread();
    const PFN_FPGA_REPORT_HANDLER handler = reinterpret_cast<PFN_FPGA_REPORT_HANDLER>(argument);
    FPGA_PD_REPORT reports[kFPGAReportsPerMean];
    int collected = 0;
    float ratio0[3] = {}, ratio1[3] = {};
    unsigned char reply[NVS_PACKET_SIZE];
    while (Running()) {
        while (g_hSamplingPauseEvent.WaitTimeout(0) == 0) {
            SleepEx(1);
        }
        bool written = false, answered = false;
        {
            CAutoCriticalSection lock(g_CriticalSection);
            unsigned char query[5] = {0xB0, 0x00, 0x02, 0x00, 0x00};
            written = WriteData(query, sizeof query, 1) == static_cast<int>(sizeof query);
            if (written) {
                answered = ReadData(reply, NVS_PACKET_SIZE, 0xB0) == NVS_PACKET_SIZE;
                for (int g = 0; g < 3; ++g) {
                    ratio0[g] = g_FPGA_PDRatio[0][g];
                    ratio1[g] = g_FPGA_PDRatio[1][g];
                }
            }
        }
        if (!written) {
            SleepEx(kPollPauseMs);
            continue;
        }
        if (!answered) {
            break;
        }
        DecodeFPGAReport(reply, &reports[collected++]);
        SleepEx(kPollPauseMs);
        if (collected < kFPGAReportsPerMean) {
            continue;
        }
        FPGA_PD_REPORT mean;
        MeanFPGAReport(reports, collected, ratio0, ratio1, &mean);
        collected = 0;
        handler(&mean);
    }
    SleepEx(1);
    CAutoCriticalSection lock(g_CriticalSection);
    sampling::ClearRunningThreadLocked(sampling::SamplingThreadKind::FpgaPoller);
    return nullptr;
}

void FPGABypassSampling(FPGA_PD_REPORT* report) {
    if (PFN_FPGA_SAMPLING_CALLBACK cb = g_FPGASamplingCallback.load()) {
        cb(report);
    }
}

void FPGADutSignalDetection(FPGA_PD_REPORT* report) {
    if (PFN_DUT_DETECTION_CALLBACK cb = g_DUTSignalDetectionCallback.load()) {
        cb(static_cast<int>(CalculateDUTLocation(report)));
    }
}

bool FPGASyncFromEEPROM() {
    CAutoCriticalSection lock(g_CriticalSection);
    for (int row = 0; row < 3; ++row) {
        unsigned char bytes[kRatioRowBytes];
        if (!FlashRead(kRatioAddress + kRatioRowBytes * row, kRatioTarget, bytes, kRatioRowBytes)) {
            return false;
        }
        for (int col = 0; col < 8; ++col) {
            const unsigned char* p = bytes + 4 * col;
            const uint32_t bits = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                  (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
            float ratio;
            memcpy(&ratio, &bits, sizeof ratio);
            g_FPGA_PDRatio[row][col] = ratio == 0.0f ? 1.0f : ratio;
        }
    }
    return true;
}

bool FPGASyncToEEPROM(PPGChannel channel) {
    const int row = static_cast<int>(channel) - 1;
    if (row < 0 || row > 2) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    unsigned char bytes[kRatioRowBytes];
    for (int col = 0; col < 8; ++col) {
        uint32_t bits;
        memcpy(&bits, &g_FPGA_PDRatio[row][col], sizeof bits);
        for (int k = 0; k < 4; ++k) {
            bytes[4 * col + k] = static_cast<unsigned char>(bits >> (8 * k));
        }
    }
    return FlashWrite(kRatioAddress + kRatioRowBytes * row, kRatioTarget, bytes, kRatioRowBytes);
}
