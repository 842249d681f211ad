// Photodiode sampling control and thread.
//
// Sound behaviour beyond the bare sequence:
// - Stops join the thread instead of giving it 200 ms (see SamplingState.h), so a
//   restart never overlaps the old thread's exit, no callback is called once
//   ORVDisableSampling has returned, and ORVFree never empties the tables under a
//   running decoder.
// - A failed start (calibration setting, ADC mask, thread creation) writes the control
//   block back as it was before the start, releases the copy and, once the mask went
//   out, sends the stop request, so no stream runs without a reader.
// - The exit's drain of the stream after the stop request is bounded (1 s or 200
//   packets): an instrument that never answers the stop does not keep the thread, and
//   g_CriticalSection, for ever.
// - The thread looks at the run event before each read attempt, so a stop does not
//   wait for a read it no longer needs.
// - A start that replaces a running thread keeps the callbacks set for it: the old
//   thread's exit, which clears them, is over before the start goes on.
// - The callbacks, the skip count, the error callback and the mapping inputs are taken
//   under the lock that the thread holds for each read; the callbacks run outside it.
#include <algorithm>
#include <memory>

#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/PPGModule.h"
#include "sampling/Sampling.h"
#include "sampling/SamplingState.h"

PFN_SAMPLING_CALLBACK g_SamplingDataCallback[4] = {};
PFN_SAMPLING_ERROR_CALLBACK g_SamplingErrorCallback = nullptr;
int g_nSamplingSkipPacketCount = 0;
std::atomic<THREAD_HANDLE> g_hSamplingThread{0};
std::atomic<PFN_DUT_DETECTION_CALLBACK> g_DUTSignalDetectionCallback{nullptr};
std::atomic<PFN_FPGA_SAMPLING_CALLBACK> g_FPGASamplingCallback{nullptr};

namespace sampling {
namespace {

std::mutex s_control;          // constant-initialised
THREAD_HANDLE s_joinable = 0;  // under s_control
thread_local bool t_sampling = false;

}  // namespace

std::unique_lock<std::mutex> LockControl() { return std::unique_lock<std::mutex>(s_control); }

void EndThreadLocked() {
    if (s_joinable == 0) {
        return;
    }
    g_hSamplingEvent.ResetEvent();
    g_hSamplingPauseEvent.ResetEvent();
    WaitForThread(s_joinable);
    s_joinable = 0;
}

bool OnSamplingThread() { return t_sampling; }

void MarkSamplingThread() { t_sampling = true; }

bool LaunchThread(void* (*body)(void*), void* argument) {
    g_hSamplingEvent.SetEvent();
    g_hSamplingPauseEvent.ResetEvent();
    THREAD_HANDLE thread = 0;
    if (!CreateThread(&thread, body, argument)) {
        g_hSamplingEvent.ResetEvent();
        return false;
    }
    s_joinable = thread;
    g_hSamplingThread.store(thread);
    return true;
}

void ClearRunningThreadLocked(SamplingThreadKind kind) {
    g_hSamplingThread.store(0);
    if (kind == SamplingThreadKind::Photodiode) {
        for (PFN_SAMPLING_CALLBACK& cb : g_SamplingDataCallback) {
            cb = nullptr;
        }
    } else {
        // The photodiode kinds enabled before the poller ran stay enabled.
        g_DUTSignalDetectionCallback.store(nullptr);
        g_FPGASamplingCallback.store(nullptr);
    }
    g_hSamplingEvent.ResetEvent();
}

}  // namespace sampling

namespace {

constexpr int kReadAttempts = 3;
constexpr unsigned kRetryPauseMs = 100;
constexpr uint64_t kDrainLimitMs = 1000;
constexpr int kDrainLimitPackets = 200;

bool Running() { return g_hSamplingEvent.WaitTimeout(0) == 0; }

// The stop request (ADC mask 0), then the stream's remaining packets up to its end
// packet (mode 0), a failed read, or the bound. Hold g_CriticalSection.
void StopStream() {
    unsigned char stop[6] = {0xAD, 0xFF, 0x00, 0x00, 0x00, 0x00};
    WriteData(stop, sizeof stop, 0);
    unsigned char packet[NVS_PACKET_SIZE];
    const uint64_t deadline = GetMonotonicMs() + kDrainLimitMs;
    for (int n = 0; n < kDrainLimitPackets && GetMonotonicMs() < deadline; ++n) {
        if (ReadData(packet, NVS_PACKET_SIZE, NVS_KIND_SAMPLING) != NVS_PACKET_SIZE || packet[4] == 0) {
            break;
        }
    }
    // Nothing reads the stream any more: its late packets are dropped, not parked.
    TransportSetStreamReader(NVS_KIND_SAMPLING, false);
}

// The control block as it was before the start, and the copy released. Hold the lock.
void RestoreControlBlock(_DEVICE_CONTROL_SETTING* copy) {
    if (copy != nullptr) {
        WriteDeviceControlSetting(copy, 1);
        delete copy;
    }
}

}  // namespace

bool CSampling::SetSamplingCallback(PPGSampling kind, PFN_SAMPLING_CALLBACK callback) {
    const int index = static_cast<int>(kind);
    if (index < 0 || index > 3) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    g_SamplingDataCallback[index] = callback;
    return true;
}

bool CSampling::IsRunning() {
    CAutoCriticalSection lock(g_CriticalSection);
    return g_hSamplingThread.load() != 0;
}

bool CSampling::StartSamplingPreProcessing(_DEVICE_CONTROL_SETTING*& copy) {
    copy = nullptr;
    HW_INFORMATION info = {};
    GetHWInfo(0, &info);
    if (info.nHWMajor >= 5) {
        return true;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    const bool pd1 = g_SamplingDataCallback[PPG_SAMPLING_PD1] != nullptr;
    const bool pd2 = g_SamplingDataCallback[PPG_SAMPLING_PD2] != nullptr;
    const unsigned char bits = static_cast<unsigned char>((pd1 ? 0x02 : 0) | (pd2 ? 0x04 : 0));
    std::unique_ptr<_DEVICE_CONTROL_SETTING> block(new _DEVICE_CONTROL_SETTING());
    if (!ReadDeviceControlSetting(block.get())) {
        return false;
    }
    const unsigned char before = block->ucOutputEnable;
    block->ucOutputEnable = static_cast<unsigned char>(before | bits);
    if (!WriteDeviceControlSetting(block.get(), 1)) {
        return false;
    }
    block->ucOutputEnable = before;
    copy = block.release();
    return true;
}

bool CSampling::StartSampling(int skip, PFN_SAMPLING_ERROR_CALLBACK error) {
    if (sampling::OnSamplingThread() || g_CriticalSection.HeldByCurrentThread()) {
        return false;  // it would have to wait for the thread that it runs on, or that waits for it
    }
    std::unique_lock<std::mutex> control = sampling::LockControl();
    // The callbacks set for this start survive the exit of the thread it replaces.
    PFN_SAMPLING_CALLBACK wanted[4];
    {
        CAutoCriticalSection lock(g_CriticalSection);
        std::copy(g_SamplingDataCallback, g_SamplingDataCallback + 4, wanted);
    }
    sampling::EndThreadLocked();
    CAutoCriticalSection lock(g_CriticalSection);
    std::copy(wanted, wanted + 4, g_SamplingDataCallback);
    g_SamplingErrorCallback = error;
    g_nSamplingSkipPacketCount = skip;
    _DEVICE_CONTROL_SETTING* copy = nullptr;
    if (!StartSamplingPreProcessing(copy)) {
        return false;
    }
    const PFN_SAMPLING_CALLBACK* cb = g_SamplingDataCallback;
    const bool pd1 = cb[PPG_SAMPLING_PD1] != nullptr, pd2 = cb[PPG_SAMPLING_PD2] != nullptr;
    const bool sw1 = cb[PPG_SAMPLING_SW1] != nullptr, sw2 = cb[PPG_SAMPLING_SW2] != nullptr;
    const unsigned char input = static_cast<unsigned char>((pd1 || sw1 ? 0x10 : 0) | (pd2 || sw2 ? 0x20 : 0));
    if (!WriteCalibrationSetting(PPG_CAL_PD_INPUT, input)) {
        RestoreControlBlock(copy);
        return false;
    }
    unsigned char mask = static_cast<unsigned char>((pd1 ? 1 : 0) | (pd2 ? 2 : 0) | (sw1 ? 4 : 0) | (sw2 ? 8 : 0));
    if ((pd1 && sw2) || (pd2 && sw1)) {
        mask = 15;
    }
    // The stream is read from its first packet on: the answer to the mask is one.
    TransportSetStreamReader(NVS_KIND_SAMPLING, true);
    const bool streaming = EnableADCControl(mask);
    if (!streaming || !sampling::LaunchThread(PDSamplingThread, copy)) {
        if (mask != 0) {
            StopStream();
        } else {
            TransportSetStreamReader(NVS_KIND_SAMPLING, false);
        }
        RestoreControlBlock(copy);
        return false;
    }
    return g_hSamplingThread.load() != 0;
}

void* CSampling::PDSamplingThread(void* argument) {
    sampling::MarkSamplingThread();
    // Below the paced threads: a late sample costs less than a late stream batch.
    SetCurrentThreadPriority(OsThreadPriority::BelowNormal);
    _DEVICE_CONTROL_SETTING* copy = static_cast<_DEVICE_CONTROL_SETTING*>(argument);
    std::unique_ptr<SamplingMap> map(new SamplingMap);
    SamplingSequence sequence;
    unsigned char packet[NVS_PACKET_SIZE];
    while (Running()) {
        while (g_hSamplingPauseEvent.WaitTimeout(0) == 0) {
            SleepEx(1);
        }
        SamplingTargets targets;
        bool read = false;
        {
            CAutoCriticalSection lock(g_CriticalSection);
            for (int attempt = 0; attempt < kReadAttempts && Running(); ++attempt) {
                if (attempt > 0) {
                    SleepEx(kRetryPauseMs);
                }
                if (ReadData(packet, NVS_PACKET_SIZE, NVS_KIND_SAMPLING) == NVS_PACKET_SIZE) {
                    read = true;
                    break;
                }
            }
            if (read) {
                for (int i = 0; i < 4; ++i) {
                    targets.data[i] = g_SamplingDataCallback[i];
                }
                targets.error = g_SamplingErrorCallback;
                targets.skip = g_nSamplingSkipPacketCount;
                TakeSamplingMap(map.get());
            }
        }
        if (!read) {
            break;
        }
        const SamplingStep step = ProcessPacket(packet, targets, &sequence, *map);
        if (step == SamplingStep::BadHeader) {
            break;
        }
        if (step == SamplingStep::EndMode) {
            g_hSamplingEvent.ResetEvent();
        }
    }
    {
        CAutoCriticalSection lock(g_CriticalSection);
        StopStream();
    }
    SleepEx(1);
    CAutoCriticalSection lock(g_CriticalSection);
    RestoreControlBlock(copy);
    sampling::ClearRunningThreadLocked(sampling::SamplingThreadKind::Photodiode);
    return nullptr;
}
