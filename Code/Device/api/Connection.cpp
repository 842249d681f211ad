// The connection lifecycle and the connection thread.
//
// Why the lifecycle has a mutex of its own: ORVFree joins the connection thread without
// g_CriticalSection (the thread's teardown needs it), so two host threads freeing at
// once would join one thread twice, and an ORVInit racing an ORVFree could clear the
// stop flag that the free waits on. The lifecycle calls therefore run one at a time.
// ORVConnect does not hold the mutex while it waits for the instrument, so an ORVFree on
// another thread is never held up by a long time-out; the waiting connect notices that
// its connection thread has gone and returns false.
//
// On a library thread (the listener runs on the connection thread, the sample callbacks
// on the output thread) these functions never wait: the thread they would wait for may
// be the caller, or be waiting for the caller. ORVConnect there returns false at once.
// ORVFree there asks for the end of the connection handling (stop flag, wake-up) and
// returns; the connection thread then tears the connection down, stops what still runs
// and ends, and the next lifecycle call on a host thread (or the unload) joins it. An
// ORVInit there replaces the listener of the running thread (it must not clear a stop
// that a host's ORVFree is waiting for), or fails when that thread's end was asked for.
//
// The unload runs the free as well, so no thread of the library outlives its code.
//
// ORVFree waits for the connection thread at most 3 s where the platform bounds joins
// (Windows): the thread's memory reads give up between packets once the stop is asked
// for, and every exchange is bounded by the port's time-outs, so only a listener that does
// not return keeps it longer. Such a thread is left running, never terminated: from then
// on it is muted (it writes nothing to the port and calls no listener), the port is
// closed for it, the platform keeps the library's code loaded for it, and the next
// lifecycle call on a host thread (or the unload) waits for its end before it goes on.
#include "api/Connection.h"

#include <cstring>
#include <mutex>

#include "api/PostConnection.h"
#include "output/LockedExchange.h"
#include "output/OutputGate.h"
#include "output/Output.h"
#include "platform/Device.h"
#include "platform/Monitor.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"
#include "playback/PlayControl.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/MemoryCommand.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "protocol/SubsystemHooks.h"
#include "waveform/Calibration.h"

std::atomic<THREAD_HANDLE> g_hConnectDeviceThread{0};
std::atomic<int> g_bStopConnectDeviceThread{0};
std::atomic<PFN_CONNECT_LISTENER> g_Callback{nullptr};

namespace {
constexpr int kEveryPort = -1;
}  // namespace

std::atomic<int> g_nPortNumber{kEveryPort};

namespace {

constexpr unsigned kScanPauseMs = 1000;         // after a scan that found nothing
constexpr int kScanPortCapacity = 256;          // ports one scan tries at the most
constexpr unsigned kConnectPollMs = 20;         // ORVConnect re-checks its connection thread this often
constexpr unsigned kWindowsDeviceChange = 537;  // WM_DEVICECHANGE
constexpr unsigned kFreeBoundMs = 3000;         // ORVFree's wait for the connection thread

std::mutex s_lifecycle;  // constant-initialised: no load-time constructor runs
// Innermost, never held while waiting: keeps a free asked for on a library thread and an
// ORVInit from clearing each other's stop flag.
std::mutex s_request;
// A free was asked for on a library thread and the connection thread is not joined yet.
std::atomic<bool> s_bFreeRequested{false};
std::atomic<bool> s_bConnected{false};
std::atomic<int> s_nConnectedPort{kEveryPort};
std::atomic<unsigned> s_nThreadGeneration{0};  // connection threads started so far
std::atomic<unsigned> s_nLoaded{0};            // connections whose loading has ended
// A connection thread that ORVFree stopped waiting for (0: none), and the flag that
// mutes it; both cleared once it has been joined. Written under s_lifecycle.
std::atomic<THREAD_HANDLE> s_hLeftRunning{0};
std::atomic<int> s_bMuted{0};

// One attempt to find the instrument: every port the link lists now for -1 (in the
// link's scan order), else the one port. g_CriticalSection is held for each candidate,
// so that no host request falls between the handshake's requests and replies or sees
// its records half-filled.
bool ScanOnce(int port, int* found) {
    int candidates[kScanPortCapacity];
    int count = 1;
    if (port == -1) {
        count = DeviceListPorts(candidates, kScanPortCapacity);
    } else if (port >= 0) {
        candidates[0] = port;
    } else {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        CAutoCriticalSection lock(g_CriticalSection);
        if (DoFindDevice(candidates[i])) {
            *found = candidates[i];
            return true;
        }
    }
    return false;
}

// Connected: waits on the reconnect event until the port has gone (the presence monitor
// closed it) or the host ends the connection handling.
void WaitWhilePresent() {
    for (;;) {
        if (g_bStopConnectDeviceThread.load() != 0) {
            return;  // the teardown finds the port still open
        }
        g_hReconnectEvent.Wait();
        // Woken by ORVFree: the teardown follows either way, so the device folder is
        // not read for nothing.
        if (g_bStopConnectDeviceThread.load() != 0) {
            return;
        }
        if (!DeviceIsAlive()) {
            DeviceClose();
            return;
        }
    }
}

void ClearIdentityRecords() {
    memset(&g_ECGModelInfo, 0, sizeof g_ECGModelInfo);
    memset(&g_PPGModelInfo, 0, sizeof g_PPGModelInfo);
    memset(&g_ECGModuleHWInfo, 0, sizeof g_ECGModuleHWInfo);
    memset(&g_PPGModuleHWInfo, 0, sizeof g_PPGModuleHWInfo);
    memset(&g_DeviceFeature, 0, sizeof g_DeviceFeature);
    g_nFWVersion = 0;
    ForgetFactorySettingMCU();
    ForgetInstrumentCalibration();
}

void Teardown() {
    s_bConnected.store(false);
    if (g_bStopConnectDeviceThread.load() != 0 && s_bMuted.load() == 0) {
        // A free: its own stop of the sampling races this teardown, which closes the port.
        // Joined here first (it returns once whichever caller joins has joined), so that
        // the stream's stop request goes out while the port is open: the instrument
        // would otherwise go on streaming after the free.
        Hooks().sampling.disableSampling();
    }
    if (s_bMuted.load() == 0) {
        // A muted thread's free stopped the output already; the host may have started
        // another since, which is not this thread's to end.
        ORVStopOutputWaveform();
    }
    {
        CAutoCriticalSection lock(g_CriticalSection);
        SetDeviceOperatorMode(0, 1, 1, 1, 1000);  // fails at once when the port has gone
        DeviceClose();
        // Cleared under the lock: a host thread copying a record never sees half of it.
        ClearIdentityRecords();
        // With the PPG record cleared this sends nothing and only forgets what was last
        // sent, so the next connection sends the rates again.
        UpdateMCUTransmissionRate(800, 1023, 800, 1023);
    }
    g_AutoMonitor.PauseMonitor();
    RegisterNotifyEvent(kWindowsDeviceChange, nullptr);
    NotifyListener(false);
}

// Ends the connection thread. The caller holds s_lifecycle and is not a library thread.
// The bound covers the whole free: the steps before the join count against it.
void FreeLocked() {
    const uint64_t deadline = GetMonotonicMs() + kFreeBoundMs;
    {
        // Asked first, without the global lock: the connection thread may hold that lock
        // for its whole loading, which gives up between tables once it sees the stop.
        std::lock_guard<std::mutex> guard(s_request);
        if (g_hConnectDeviceThread.load() != 0) {
            g_bStopConnectDeviceThread.store(1);
        }
    }
    THREAD_HANDLE thread;
    {
        CAutoCriticalSection lock(g_CriticalSection);
        thread = g_hConnectDeviceThread.load();
        if (thread == 0) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(s_request);
            g_bStopConnectDeviceThread.store(1);
        }
        ReconnectDevice();
    }
    Hooks().sampling.disableSampling();
    bool running;
    {
        CAutoCriticalSection lock(g_CriticalSection);
        running = g_hOutputWaveformThread.load() != 0 || Hooks().playback.isRunning() != 0;
    }
    if (running) {
        // Only what runs is stopped here; the defaults the stop sends go out in the
        // thread's teardown, within the bound.
        ORVStopOutputWaveform();
    }
    const uint64_t now = GetMonotonicMs();
    if (!WaitForThreadBounded(thread, now < deadline ? static_cast<unsigned>(deadline - now) : 0)) {
        // Left running: muted first, then the port it may still use goes, so that the
        // host's later calls find no instrument instead of the thread's connection.
        s_bMuted.store(1);
        s_hLeftRunning.store(thread);
        DeviceClose();
    }
    {
        std::lock_guard<std::mutex> guard(s_request);
        g_hConnectDeviceThread.store(0);
        s_bFreeRequested.store(false);
    }
    CAutoCriticalSection lock(g_CriticalSection);
    g_Callback.store(nullptr);
}

// Waits for a connection thread that a free left running. The caller holds s_lifecycle,
// not g_CriticalSection (the thread may still need it), and is not a library thread.
void JoinLeftRunningLocked() {
    const THREAD_HANDLE late = s_hLeftRunning.load();
    if (late == 0) {
        return;
    }
    WaitForThread(late);
    s_hLeftRunning.store(0);
    s_bMuted.store(0);
}

// A connection thread whose end a library thread asked for is joined before a host
// thread's lifecycle call goes on. The caller holds s_lifecycle.
void JoinRequestedFreeLocked() {
    if (s_bFreeRequested.load()) {
        FreeLocked();
    }
    JoinLeftRunningLocked();
}

// ORVFree on a library thread: asks the connection thread to end and returns. Takes no
// lock that a waiting stopper may hold.
void RequestFree() {
    {
        std::lock_guard<std::mutex> guard(s_request);
        if (g_hConnectDeviceThread.load() == 0) {
            return;  // idle: nothing to end
        }
        g_bStopConnectDeviceThread.store(1);
        s_bFreeRequested.store(true);
    }
    ReconnectDevice();
}

// Run by the unload before any load-time object goes: what ORVFree does, and then the
// end of an output or playback that runs without a connection.
void Unload() {
    if (IsLibraryThread()) {
        RequestFree();  // the program exits from a callback: nothing may wait here
        return;
    }
    {
        std::lock_guard<std::mutex> lifecycle(s_lifecycle);
        FreeLocked();
        JoinLeftRunningLocked();
    }
    Hooks().sampling.disableSampling();
    bool running;
    {
        CAutoCriticalSection lock(g_CriticalSection);
        running = g_hOutputWaveformThread.load() != 0 || Hooks().playback.isRunning() != 0;
    }
    if (running) {
        ORVStopOutputWaveform();
    }
    output::ReleaseLateOutputThread();
    output::WaitForLockedExchanges();
    PlayRawReleaseSources();  // the last run's sources would otherwise outlive the library
}

// Set while the library is loaded (the hook's slot is constant-initialised, so the order
// of load-time initialisation does not matter).
const bool s_bUnloadHookSet = (SetUnloadHook(Unload), true);

bool ConnectedOn(int port) { return s_bConnected.load() && (port == -1 || s_nConnectedPort.load() == port); }

}  // namespace

bool ConnectionIsUp() { return s_bConnected.load(); }

unsigned ConnectionLoadCount() { return s_nLoaded.load(); }

bool DoInit(PFN_CONNECT_LISTENER listener, int serial) {
    CAutoCriticalSection lock(g_CriticalSection);
    const bool running = g_hConnectDeviceThread.load() != 0;
    {
        std::lock_guard<std::mutex> guard(s_request);
        if (running && s_bFreeRequested.load()) {
            return false;  // the running thread is ending: a library thread asked for its end
        }
        if (!running || !IsLibraryThread()) {
            g_bStopConnectDeviceThread.store(0);
        }
    }
    {
        // A playback run may be streaming (a second ORVInit keeps everything running):
        // its producer reads the table under the interrupt lock while it builds a batch.
        CAutoCriticalSection interrupt(g_InterruptCriticalSection);
        SetDefaultECGDCVariableCalibrationData();
    }
    g_iTargetDeviceSerialNumber = serial;
    g_hReconnectEvent.ResetEvent();
    g_Callback.store(listener);
    // The serial link knows no protocol: the scan runs the handshake this layer gives it.
    DeviceSetTargetCheck(IsTargetDevice);
    if (g_hConnectDeviceThread.load() != 0) {
        return true;  // the running thread carries on with the new listener and filter
    }
    THREAD_HANDLE thread = 0;
    if (!CreateThread(&thread, ConnectDeviceThread, nullptr)) {
        return false;
    }
    s_nThreadGeneration.fetch_add(1);
    g_hConnectDeviceThread.store(thread);
    return true;
}

bool ConnectEx(unsigned int port, unsigned int timeout, int serial) {
    if (IsLibraryThread()) {
        return false;  // it would wait for a connection that this thread may hold up
    }
    const int wanted = static_cast<int>(port);  // 0xFFFFFFFF: every port
    unsigned generation;
    {
        std::lock_guard<std::mutex> lifecycle(s_lifecycle);
        JoinRequestedFreeLocked();
        g_nPortNumber.store(wanted);
        g_hConnectedEvent.ResetEvent();
        if (!DoInit(ConnectedHandler, serial)) {
            return false;
        }
        generation = s_nThreadGeneration.load();
    }
    // In microseconds: a deadline in whole milliseconds could end the wait up to 1 ms
    // before the time-out the host gave.
    const uint64_t deadlineUs = GetMonotonicUs() + static_cast<uint64_t>(timeout) * 1000u;
    for (;;) {
        if (ConnectedOn(wanted)) {
            return true;
        }
        if (g_hConnectDeviceThread.load() == 0 || s_nThreadGeneration.load() != generation) {
            return false;  // another host thread ended (or restarted) the connection handling
        }
        if (s_bFreeRequested.load()) {
            break;  // a callback freed the library: its connection thread is joined below
        }
        const uint64_t nowUs = GetMonotonicUs();
        if (nowUs >= deadlineUs) {
            break;
        }
        const uint64_t left = (deadlineUs - nowUs + 999u) / 1000u;  // whole ms, rounded up
        if (g_hConnectedEvent.WaitTimeout(static_cast<unsigned>(left < kConnectPollMs ? left : kConnectPollMs)) == 0) {
            return true;
        }
    }
    std::lock_guard<std::mutex> lifecycle(s_lifecycle);
    if (s_nThreadGeneration.load() == generation) {
        FreeLocked();
    }
    return false;
}

void ConnectedHandler(bool connected) {
    if (connected) {
        g_hConnectedEvent.SetEvent();
    }
}

void NotifyListener(bool connected) {
    if (s_bMuted.load() != 0) {
        return;  // the host's free has returned: it hears nothing more of this thread
    }
    if (PFN_CONNECT_LISTENER listener = g_Callback.load()) {
        listener(connected);
    }
}

void WinEventCb(unsigned int message, uintptr_t, uintptr_t) {
    if (message == kWindowsDeviceChange) {
        g_hReconnectEvent.SetEvent();
    }
}

void* ConnectDeviceThread(void*) {
    // The loading's memory reads give up once the host ends the connection handling.
    SetMemoryReadStop(&g_bStopConnectDeviceThread);
    TransportMuteThreadWhile(&s_bMuted);
    AllocatePPGPDSamplingTables();
    while (g_bStopConnectDeviceThread.load() == 0) {
        int port = -1;
        if (!ScanOnce(g_nPortNumber.load(), &port)) {
            // ORVFree cuts the pause short: it sets the reconnect event.
            g_hReconnectEvent.WaitTimeout(kScanPauseMs);
            continue;
        }
        // The results of these three steps do not decide the connection: the handshake did.
        {
            CAutoCriticalSection lock(g_CriticalSection);
            SetDeviceOperatorMode(8, 1, 1, 1, 1000);
            SwitchDeviceWorkingMode();
        }
        ResetDeviceToDefaultStatus();
        s_nConnectedPort.store(port);
        s_bConnected.store(true);
        NotifyListener(true);
        RegisterNotifyEvent(kWindowsDeviceChange, WinEventCb);  // read on Windows only
        g_AutoMonitor.StartMonitor();
        InititalizeAfterConnected();
        s_nLoaded.fetch_add(1);
        WaitWhilePresent();
        Teardown();
    }
    if (s_bFreeRequested.load()) {
        // Freed on a library thread, which could not wait for the sampling and output
        // threads: they are ended here (the output's callback has returned by now, or
        // returns before its thread is joined).
        Hooks().sampling.disableSampling();
        ORVStopOutputWaveform();
    }
    ReleasePPGPDSamplingTables();
    SetMemoryReadStop(nullptr);
    TransportMuteThreadWhile(nullptr);
    return nullptr;
}

// ---- Exported --------------------------------------------------------------------------

bool ORVInit(PFN_CONNECT_LISTENER listener) {
    if (IsLibraryThread()) {
        // Without the lifecycle mutex: a host's ORVFree holds it while it waits for this
        // thread. The port stays when the running thread is ending.
        if (s_bFreeRequested.load()) {
            return false;
        }
        g_nPortNumber.store(-1);
        return DoInit(listener, 0);
    }
    std::lock_guard<std::mutex> lifecycle(s_lifecycle);
    JoinRequestedFreeLocked();
    g_nPortNumber.store(-1);
    return DoInit(listener, 0);
}

bool ORVInitEx(int serialNumber, PFN_CONNECT_LISTENER listener) {
    if (IsLibraryThread()) {
        return DoInit(listener, serialNumber);
    }
    std::lock_guard<std::mutex> lifecycle(s_lifecycle);
    JoinRequestedFreeLocked();
    return DoInit(listener, serialNumber);
}

bool ORVConnect(unsigned int port, unsigned int timeout) { return ConnectEx(port, timeout, 0); }

void ORVFree(void) {
    if (IsLibraryThread()) {
        RequestFree();  // it would wait for its own thread, or for one that waits for it
        return;
    }
    {
        std::lock_guard<std::mutex> lifecycle(s_lifecycle);
        FreeLocked();
    }
    // Also when idle: no helper of a stopped output outlives the host's use of the library.
    // Unbounded: ORVFree never runs under g_CriticalSection, which those helpers wait for.
    output::WaitForLockedExchanges();
}

int RunLifecycleStep(int (*step)(void*), void* argument, int refused) {
    if (IsLibraryThread() || step == nullptr) {
        return refused;
    }
    std::lock_guard<std::mutex> lifecycle(s_lifecycle);
    FreeLocked();
    JoinLeftRunningLocked();
    // Without g_CriticalSection: the helpers of a stopped output wait for it.
    output::WaitForLockedExchanges();
    CAutoCriticalSection lock(g_CriticalSection);
    return step(argument);
}

void ResetConnectionState() {
    g_bStopConnectDeviceThread.store(0);
    s_bFreeRequested.store(false);
    g_Callback.store(nullptr);
    g_nPortNumber.store(kEveryPort);
    s_bConnected.store(false);
    s_nConnectedPort.store(kEveryPort);
}
