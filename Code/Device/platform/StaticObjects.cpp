// Every load-time object of the library, in creation order. Objects in one translation
// unit are constructed in the order of their definitions and destroyed in reverse, so
// the unload guard (last here) goes first: it runs the unload hook, which ends the
// library's other threads while everything they use still exists. The presence monitor
// goes next and joins its own thread.
#include "StaticObjects.h"

#include <atomic>

#include "Instance.h"
#include "Monitor.h"
#include "Platform.h"
#include "Transport.h"
#include "sampling/Sampling.h"
#include "service/FPGA.h"

// First: the FPGA image flash's geometry.
CFPGAConfig10M25 FPGAConfig;

// The notify map (filled only by the Windows build's device-change window).
std::map<unsigned int, PFN_NOTIFY_EVENT> g_mapNotifyEvent;
std::mutex g_notifyMapMutex;

// The two timer events.
CAutoResetEvent g_hSigTimer1Event;
CAutoResetEvent g_hSigTimer2Event;

// The playback engine's events and locks (playback/PlayThreads.h says who sets what).
CManualResetEvent g_hStopPlayEvent;
CManualResetEvent g_hForceStopPlayEvent;
CAutoResetEvent g_hSendEvent;
CAutoResetEvent g_hReadEvent;
CManualResetEvent g_hProcessRequestEvent;
CManualResetEvent g_hPlayLaunchedEvent;
CSimpleCriticalSection g_PlayRawCriticalSection;
CSimpleCriticalSection g_InterruptCriticalSection;
CSimpleCriticalSection g_DataCriticalSection;

// The reply queue (2048 slots of 64 bytes, not cleared) and its read lock.
CAutoPtrData g_pQueueData(2048 * 64);
CSimpleCriticalSection g_ReadCriticalSection;

// The sampling object (its operations are static; it holds nothing).
CSampling g_Sampling;

// The connection's events and the global lock.
CAutoResetEvent g_hStopOutputEvent;
CAutoResetEvent g_hReconnectEvent;
CManualResetEvent g_hSamplingEvent;
CManualResetEvent g_hSamplingPauseEvent;
CAutoResetEvent g_hConnectedEvent;
CSimpleCriticalSection g_CriticalSection;

// Last: the working-directory holder and the presence monitor, whose thread starts paused.
CInstance g_Instance;
CAutoMonitor g_AutoMonitor;

namespace {

std::atomic<PFN_UNLOAD_HOOK> s_unloadHook{nullptr};  // constant-initialised

class CUnloadGuard {
public:
    CUnloadGuard() = default;
    CUnloadGuard(const CUnloadGuard&) = delete;
    CUnloadGuard& operator=(const CUnloadGuard&) = delete;
    ~CUnloadGuard() {
        if (PFN_UNLOAD_HOOK hook = s_unloadHook.exchange(nullptr)) {
            hook();
        }
    }
};

// Very last: destroyed first.
CUnloadGuard s_unloadGuard;

}  // namespace

void SetUnloadHook(PFN_UNLOAD_HOOK hook) { s_unloadHook.store(hook); }
