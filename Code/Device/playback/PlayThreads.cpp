// The run's threads: start, play thread, notification reader, simulation thread, switch
// back to operator mode 8 (see PlayThreads.h). The reporter is in PlayReporter.cpp.
//
// Every wait here also ends on a stop: the start signal, the reader's reads, the end
// sequence's wait for g_CriticalSection. A PlayRawStop holds g_CriticalSection while it
// joins the play thread, so the end sequence (which needs that lock for its exchanges)
// runs under a helper that takes the lock, and runs directly once the stop has come: the
// stopper then holds the lock for it.
#include "playback/PlayThreads.h"

#include <algorithm>
#include <initializer_list>
#include <cstring>

#include "output/LockedExchange.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"
#include "playback/PlayRaw.h"
#include "protocol/ControlBlock.h"
#include "protocol/WaveformSetting.h"
#include "waveform/Conversion.h"

std::atomic<THREAD_HANDLE> g_hPlayThread{0};
std::atomic<THREAD_HANDLE> g_hReceiveThread{0};
std::atomic<THREAD_HANDLE> g_hOutputThread{0};
std::atomic<CEvent*> g_PlaySyncEvent{nullptr};
std::atomic<PFN_SEND_PACKET> g_PlaySendFunction{nullptr};

PFN_SAMPLE_CALLBACK g_ECGCallback = nullptr;
PFN_SAMPLE_CALLBACK g_PPGCallback[3] = {nullptr, nullptr, nullptr};
PFN_SAMPLE_CALLBACK g_FrequencyScanCallback = nullptr;

namespace {

constexpr int kBatchPackets = 50;
constexpr unsigned kBackOffMs = 10;  // a read that could not wait (no port, short packet)
constexpr int kStaleNotifications = 64;
constexpr unsigned kStopPollMs = 5;
constexpr unsigned kYieldReadLockMs = 1;  // after an empty pass of the notification reader

// The standalone switch: operator mode 8, rate 00 01, sync 01 01 00, AC modes 0.
const unsigned char kStandaloneSwitch[kOperatorModeLength] = {0x00, 0xFF, 0x08, 0x00, 0x01, 0x01, 0x01,
                                                              0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

std::atomic<bool> s_producerServes{false};
std::atomic<bool> s_reporterRuns{false};
// Batches asked for and not yet sent. The send event holds one mark only: two requests
// read before the play thread wakes (the instrument wrote them together after falling
// behind) would be one batch, and the instrument's buffer would never again hold more
// than the batch it is playing.
std::atomic<int> s_batchesOwed{0};

// Batches served (written, or a write that failed) since the run began. The reader reads
// request r (1, 2, ...) once r + 1 batches are served: the two sent ahead and the answer
// to each request before it. Were it to read ahead, its read pass (which holds the
// transport's read lock until a packet comes) would wait for the next request while the
// producer serves this one, and a command in the window, which needs the read lock before
// it writes, would wait a whole batch with the batch the instrument asked for behind it.
std::atomic<int> s_batchesServed{0};

void OweBatch() {
    s_batchesOwed.fetch_add(1);
    g_hSendEvent.SetEvent();
}

bool StopSet() { return g_hStopPlayEvent.WaitTimeout(0) == 0; }
bool ForceStopSet() { return g_hForceStopPlayEvent.WaitTimeout(0) == 0; }

// Sleeps ms unless a stop comes first. False on the stop.
bool PauseUnlessStopped(unsigned ms) {
    CEvent* events[2] = {&g_hForceStopPlayEvent, &g_hStopPlayEvent};
    return WaitForMultipleObjects(2, events, 0, ms) == NVS_WAIT_TIMEOUT;
}

// How long one read of the reader waits for a request: two batches' play time, at least
// the read time-out. The instrument asks once per batch played, so in a flowing stream a
// read never runs empty; an empty read would cost the transport's pause after it, and a
// request arriving in that pause would be answered late.
unsigned ReaderPassMs() {
    const unsigned timeoutMs = g_nDeviceReadTimeout.load();
    const StreamLayout layout = GetStreamLayout(g_nOperatorMode.load());
    const uint64_t batchMs = static_cast<uint64_t>(kBatchPackets) * static_cast<uint64_t>(layout.samplesPerPacket) *
                             1000u / static_cast<uint64_t>(PlayOutputRate());
    return static_cast<unsigned>(std::max<uint64_t>(timeoutMs, std::min<uint64_t>(2 * batchMs, 1000)));
}

// Parked or waiting notifications of an earlier run (a late 01 55 that a switch left):
// dropped, so that no batch goes out unrequested.
void DropStaleNotifications() {
    unsigned char packet[NVS_PACKET_SIZE];
    for (int i = 0; i < kStaleNotifications; ++i) {
        if (ReadDataBefore(packet, NVS_PACKET_SIZE, NVS_KIND_NOTIFY, 0) == 0) {
            return;
        }
    }
}

// The divisor of the ECG AC words: the instrument's respiration on means its own
// baseline ratio.
double RespirationRatio() {
    _DEVICE_CONTROL_SETTING block = {};
    if (!ReadDeviceControlSetting(&block) || block.ucRespirationEnable == 0) {
        return 1.0;
    }
    ECG_WAVEFORM ecg = {};
    int transit = 0;
    if (!ReadWaveformInfo(&ecg, &transit)) {
        return 1.0;
    }
    return GetScaledRatioByRespiration(ecg.nRespirationRatioOrBaseline);
}

// The standalone switch of an earlier run that outlived its bound (0: none).
constexpr unsigned kSwitchBoundMs = 1000;
std::atomic<THREAD_HANDLE> s_lateSwitch{0};
std::atomic<int> s_switchMuted{0};

void JoinLateSwitch() {
    if (const THREAD_HANDLE late = s_lateSwitch.exchange(0)) {
        WaitForThread(late);
        s_switchMuted.store(0);
    }
}

// The end of an instrument-paced run: the default time-outs, the switch back to
// operator mode 8, the pacing flag cleared. Needs g_CriticalSection held for it.
void EndSequence() {
    SetDeviceTimeoutSetting(100, 200);
    JoinLateSwitch();
    THREAD_HANDLE thread = 0;
    if (CreateThread(&thread, SwitchStandaloneModeThread, nullptr)) {
        if (!WaitForThreadBounded(thread, kSwitchBoundMs)) {
            // Bounded by its own reads, so this does not happen on a working port; the
            // switch is left to end alone, muted, and joined at the next end of a run.
            s_switchMuted.store(1);
            s_lateSwitch.store(thread);
        }
    } else {
        SwitchStandaloneModeThread(nullptr);
    }
    SetOutputPacing(0);
}

void RunEndSequence() {
    if (!ForceStopSet()) {
        bool ran = false;
        const output::LockedRun r = output::RunLockedUnlessStopped(&g_hForceStopPlayEvent, [&ran] {
            EndSequence();
            ran = true;
        });
        if (ran || r == output::LockedRun::Done) {
            return;
        }
    }
    // A PlayRawStop holds g_CriticalSection and waits for this thread.
    EndSequence();
}

// The producer's wait for the reporter at a cycle end: wakes the reporter and yields;
// gives way once the reporter has ended or a stop has come.
bool CatchUpStep() {
    if (!PlayReporterFollows() || StopSet()) {
        return false;
    }
    SetOutputDataEvent();
    SleepEx(0);
    return true;
}

void JoinReporter() {
    const THREAD_HANDLE reporter = g_hOutputThread.exchange(0);
    if (reporter != 0) {
        WaitForThread(reporter);
        CloseThread(reporter);
    }
}

}  // namespace

int PlayOutputRate() {
    const int rate = g_nSampleRate.load();
    return rate > 0 ? rate : 1;
}

bool PlayProducerServes() { return s_producerServes.load(); }

bool PlayReporterFollows() { return s_reporterRuns.load() && !ForceStopSet(); }

void PlayReporterEnded() { s_reporterRuns.store(false); }

void PlayInitCallback(PFN_SAMPLE_CALLBACK ecg, PFN_SAMPLE_CALLBACK ppg1, PFN_SAMPLE_CALLBACK ppg2,
                      PFN_SAMPLE_CALLBACK ppg3, PFN_SAMPLE_CALLBACK scan) {
    g_ECGCallback = ecg;
    g_PPGCallback[0] = ppg1;
    g_PPGCallback[1] = ppg2;
    g_PPGCallback[2] = ppg3;
    g_FrequencyScanCallback = scan;
}

void SetReadEvent() {
    s_batchesServed.fetch_add(1);
    g_hReadEvent.SetEvent();
}

void SetOutputDataEvent() { g_hSigTimer2Event.SetEvent(); }

void RunPlayThread(PFN_SEND_PACKET send) {
    g_nCurrent.store(0);
    g_nOutputCurrent.store(0);
    for (std::atomic<uint64_t>& offset : g_nCurrentOffset) {
        offset.store(0);
    }
    g_bPlayIsApnea = 0;
    g_bOutputIsApnea = 0;
    SetCatchUpStep(CatchUpStep);
    g_hStopPlayEvent.ResetEvent();
    g_hForceStopPlayEvent.ResetEvent();
    g_hReadEvent.ResetEvent();
    g_hSendEvent.ResetEvent();
    s_batchesOwed.store(0);
    s_batchesServed.store(0);
    g_hProcessRequestEvent.ResetEvent();
    g_hPlayLaunchedEvent.ResetEvent();
    g_fACRatio = 1.0;

    const bool connected = DeviceIsConnected() != 0;
    if (connected) {
        g_fACRatio = RespirationRatio();
        DropStaleNotifications();
        // From here on the instrument's notifications are this run's: a command reply
        // reader that meets one parks it for the notification reader.
        TransportSetStreamReader(NVS_KIND_NOTIFY, true);
    }
    void* const argument = reinterpret_cast<void*>(send);
    s_producerServes.store(true);
    s_reporterRuns.store(true);
    THREAD_HANDLE play = 0;
    bool started;
    if (connected) {
        THREAD_HANDLE reader = 0;
        started = CreateThread(&reader, ReadNotifyThread, nullptr) != 0;
        if (started) {
            g_hReceiveThread.store(reader);
            started = CreateThread(&play, PlayRawDataThread, argument) != 0;
            if (!started) {
                // No play thread: the reader ends at once and is joined here.
                g_hStopPlayEvent.SetEvent();
                WaitForThread(reader);
                CloseThread(reader);
                g_hReceiveThread.store(0);
            }
        }
    } else {
        started = CreateThread(&play, PlayRawDataSimulationThread, argument) != 0;
    }
    if (!started) {
        if (connected) {
            TransportSetStreamReader(NVS_KIND_NOTIFY, false);
        }
        s_producerServes.store(false);
        s_reporterRuns.store(false);
        g_hPlayLaunchedEvent.SetEvent();
        return;
    }
    g_hPlayThread.store(play);
    g_PlaySendFunction.store(send);
    THREAD_HANDLE reporter = 0;
    if (CreateThread(&reporter, OutputDataThread, nullptr)) {
        g_hOutputThread.store(reporter);
    } else {
        s_reporterRuns.store(false);  // the run plays without callbacks
    }
    // The producer joins the reporter at its end: it waits until the handle is known.
    g_hPlayLaunchedEvent.SetEvent();
    if (connected) {
        OweBatch();  // the second batch goes out at once
    }
}

bool PlayRawOnRunThread() {
    for (const std::atomic<THREAD_HANDLE>* handle : {&g_hPlayThread, &g_hReceiveThread, &g_hOutputThread}) {
        const THREAD_HANDLE thread = handle->load();
        if (thread != 0 && IsCurrentThread(thread)) {
            return true;
        }
    }
    return false;
}

PFN_SEND_PACKET PlayRawSendFunction() {
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    return g_hPlayThread.load() != 0 ? g_PlaySendFunction.load() : nullptr;
}

int SendPacket(int& seq, int count, int& more) {
    static unsigned char buffer[kBatchPackets * NVS_PACKET_SIZE];
    memset(buffer, 0, sizeof buffer);
    if (count > kBatchPackets) {
        count = kBatchPackets;
    }
    int built = 0;
    while (built < count) {
        const int r = BuildStreamPacket(static_cast<unsigned short>(seq), buffer + built * NVS_PACKET_SIZE);
        if (r >= 0) {
            ++built;
            seq = NextStreamSequence(static_cast<unsigned short>(seq));
        }
        if (r != 1) {
            // The data have ended (no builder for the mode, or the stream ended here).
            more = 0;
            g_hStopPlayEvent.SetEvent();
            break;
        }
    }
    if (built == 0) {
        return 0;
    }
    const int length = built * NVS_PACKET_SIZE;
    if (WriteData(buffer, length, 0) != length) {
        return 0;
    }
    SetReadEvent();
    return 1;
}

void* PlayRawDataThread(void* argument) {
    // The producers and the reader run above every ordinary thread where the system
    // grants it: a batch that misses the instrument's request underruns its output.
    SetCurrentThreadPriority(OsThreadPriority::TimeCritical);
    PFN_SEND_PACKET send = reinterpret_cast<PFN_SEND_PACKET>(argument);
    g_hPlayLaunchedEvent.Wait();
    const int rate = PlayOutputRate();
    const unsigned readMs = 700000u / static_cast<unsigned>(rate);
    SetDeviceTimeoutSetting(readMs > 0 ? readMs : 1, 10000);
    g_fDelayAccumulated = 0.0;
    int seq = 0;
    int more = 1;
    if (WaitExternalSynchronizationSignal()) {
        if (send(seq, kBatchPackets, more) == 0 && more) {
            SetReadEvent();  // a failed write: the next request is still read
        }
        bool going = true;
        while (going) {
            // The request wakes this wait at once (a wait on several events polls); the
            // stop is looked at every few milliseconds, and first when both are set.
            if (s_batchesOwed.load() == 0) {
                g_hSendEvent.WaitTimeout(kStopPollMs);
            }
            if (StopSet()) {
                break;
            }
            if (s_batchesOwed.load() == 0) {
                continue;
            }
            s_batchesOwed.fetch_sub(1);
            g_hProcessRequestEvent.SetEvent();
            SleepEx(0);
            CAutoCriticalSection lock(g_InterruptCriticalSection);
            if (more) {
                if (send(seq, kBatchPackets, more) == 0 && more) {
                    SetReadEvent();
                }
            } else {
                going = false;
            }
            g_hProcessRequestEvent.ResetEvent();
        }
    }
    s_producerServes.store(false);
    JoinReporter();
    RunEndSequence();
    // The switch has read the run's closing notification: later ones are dropped.
    TransportSetStreamReader(NVS_KIND_NOTIFY, false);
    return nullptr;
}

int WaitExternalSynchronizationSignal() {
    CEvent* signal = g_PlaySyncEvent.load();
    if (signal == nullptr) {
        return 1;
    }
    CEvent* events[3] = {&g_hForceStopPlayEvent, &g_hStopPlayEvent, signal};
    for (;;) {
        const unsigned int w = WaitForMultipleObjects(3, events, 0, NVS_INFINITE);
        if (w == 2) {
            return 1;
        }
        if (w == 0 || w == 1) {
            return 0;
        }
    }
}

void* ReadNotifyThread(void*) {
    SetCurrentThreadPriority(OsThreadPriority::TimeCritical);
    unsigned char packet[NVS_PACKET_SIZE];
    int requestsRead = 0;
    for (;;) {
        // As the play thread's wait: the batch's write wakes this one at once (a wait on
        // several events polls, and a late start of the read would leave the request
        // waiting in the port); the stop is looked at every few milliseconds. The event
        // only wakes: the count of batches served decides.
        g_hReadEvent.WaitTimeout(kStopPollMs);
        if (StopSet()) {
            break;
        }
        if (s_batchesServed.load() < requestsRead + 2) {
            continue;
        }
        // Reads until one data request has come: an empty read, a short packet or another
        // notification never leaves the instrument's next request unread.
        for (;;) {
            if (StopSet()) {
                return nullptr;
            }
            const uint64_t began = GetMonotonicMs();
            const unsigned passMs = ReaderPassMs();
            const int n = ReadDataBefore(packet, NVS_PACKET_SIZE, NVS_KIND_NOTIFY, GetMonotonicUs() + passMs * 1000ull);
            if (n == NVS_PACKET_SIZE) {
                if (packet[0] == NVS_KIND_NOTIFY && packet[1] == 0x55) {
                    ++requestsRead;
                    OweBatch();
                    break;
                }
                continue;  // another notification: dropped, the request still comes
            }
            // Nothing within the pass: read again after a moment, which leaves the read
            // lock to a command waiting for it (a silent instrument would otherwise have
            // this thread, often the higher-priority one, take it back at once, pass after
            // pass). A request that comes meanwhile waits in the port for that moment.
            // A read that returned early (a short packet, no port) waits longer first.
            const bool waited = n == 0 && GetMonotonicMs() - began >= passMs;
            if (!PauseUnlessStopped(waited ? kYieldReadLockMs : kBackOffMs)) {
                return nullptr;
            }
        }
    }
    return nullptr;
}

namespace {

void SwitchStandaloneMode() {
    unsigned char command[kOperatorModeLength];
    memcpy(command, kStandaloneSwitch, sizeof command);
    if (WriteData(command, kOperatorModeLength, 1) != kOperatorModeLength) {
        return;
    }
    // Replies until the echo, within one read time-out in all; the caller holds
    // g_CriticalSection, so no other exchange's reply can be among them.
    const uint64_t deadline = GetMonotonicUs() + static_cast<uint64_t>(g_nDeviceReadTimeout.load()) * 1000;
    unsigned char reply[NVS_PACKET_SIZE];
    for (;;) {
        if (ReadDataBefore(reply, NVS_PACKET_SIZE, NVS_KIND_REPLY, deadline) < NVS_PACKET_SIZE) {
            return;
        }
        if (memcmp(reply, kStandaloneSwitch, kOperatorModeLength) == 0) {
            break;
        }
    }
    // The instrument's closing notification.
    ReadData(reply, NVS_PACKET_SIZE, NVS_KIND_NOTIFY);
}

}  // namespace

void* SwitchStandaloneModeThread(void*) {
    TransportMuteThreadWhile(&s_switchMuted);
    SwitchStandaloneMode();
    TransportMuteThreadWhile(nullptr);
    return nullptr;
}

void* PlayRawDataSimulationThread(void*) {
    SetCurrentThreadPriority(OsThreadPriority::TimeCritical);
    g_hPlayLaunchedEvent.Wait();
    // A timer and event of this thread's own, as the output threads have: no other paced
    // thread can take its ticks.
    CAutoResetEvent tick;
    TIMER_HANDLE timer = CreateTimerForEvent(20, &tick);
    const int perTick = g_nSampleRate.load() / 50;
    bool running = true;
    CEvent* events[2] = {&g_hStopPlayEvent, &tick};
    for (;;) {
        const unsigned int w = WaitForMultipleObjects(2, events, 0, NVS_INFINITE);
        if (w == 0) {
            break;
        }
        if (w != 1) {
            continue;
        }
        g_hProcessRequestEvent.SetEvent();
        bool last;
        {
            CAutoCriticalSection lock(g_InterruptCriticalSection);
            last = !running;
            if (running) {
                for (int i = 0; i < perTick; ++i) {
                    ++g_nCurrent;
                    if (!DoReloadIfNeeded() || (!g_bPlayLoop && IsEndOfCycle())) {
                        running = false;
                    }
                }
            }
            g_hProcessRequestEvent.ResetEvent();
        }
        if (last) {
            break;
        }
    }
    s_producerServes.store(false);
    // The reporter gets its last tick's worth, then drains and ends.
    PauseUnlessStopped(20);
    g_hStopPlayEvent.SetEvent();
    JoinReporter();
    DeleteTimerForEvent(timer);
    return nullptr;
}
