// The common stop: every output family of the library calls it before its own work.
#include "api/AutoPauseSampling.h"
#include "output/LockedExchange.h"
#include "output/OutputGate.h"
#include "output/Output.h"
#include "platform/Platform.h"
#include "platform/SimpleCriticalSection.h"
#include "platform/StaticObjects.h"
#include "protocol/ControlBlock.h"
#include "protocol/PPGModule.h"
#include "protocol/SubsystemHooks.h"

bool OnARunsOwnThread() {
    const THREAD_HANDLE output = g_hOutputWaveformThread.load();
    return (output != 0 && IsCurrentThread(output)) || Hooks().playback.onRunThread();
}

void StopOutputWaveform() {
    // Taken here as well (it is recursive): the thread's end steps talk to the instrument
    // without the lock, which is safe only while the stopper holds it.
    CAutoCriticalSection lock(g_CriticalSection);
    const THREAD_HANDLE thread = g_hOutputWaveformThread.load();
    if (thread == 0) {
        return;
    }
    g_hStopOutputEvent.SetEvent();
    if (IsCurrentThread(thread)) {
        // A callback that stops its own output: the thread ends once the callback returns.
        return;
    }
    // A thread past the bound is muted and left to end alone (OutputGate.h): the stop
    // goes on as if it had ended, without its end steps and end markers.
    output::JoinOutputThreadWithinBound(thread);
    g_hOutputWaveformThread = 0;
    g_LastOutputEnable = 0;
    g_OutputECGCallback = nullptr;
    for (PFN_SAMPLE_CALLBACK& cb : g_OutputPPGChannelCallback) {
        cb = nullptr;
    }
}

void ORVStopOutputWaveform() {
    // Holding nothing: a thread started just before has this time for its switch-on.
    SleepEx(10);
    {
        CAutoPauseSampling pause;
        CAutoCriticalSection lock(g_CriticalSection);
        StopOutputWaveform();
        const SubsystemHooks& hooks = Hooks();
        hooks.playback.stop(1);  // with the respiration mode cleared
        // The defaults go out only when they differ from what was last sent.
        EnableDynamicLEDStrength(0);
        UpdateMCUTransmissionRate(800, 1023, 800, 1023);
        if (g_hSamplingEvent.WaitTimeout(0) == 0) {
            // Sampling runs: re-enable the photodiode inputs in the control block.
            _DEVICE_CONTROL_SETTING* copy = nullptr;
            hooks.sampling.startSamplingPreProcessing(copy);
            delete copy;
        }
    }
    // An exchange the output thread gave up on was waiting for the lock released above:
    // it leaves now, and the stop returns once it has. A caller that still holds the lock
    // would keep it waiting for ever: the helper is then left to a later waiter (the next
    // stop or ORVFree).
    if (!g_CriticalSection.HeldByCurrentThread()) {
        output::WaitForLockedExchanges();
    }
}
