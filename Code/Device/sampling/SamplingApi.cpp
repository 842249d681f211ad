// The exported sampling functions, and the entries that the code below this subsystem
// calls (ORVFree, the loading after a connection, the common stop), installed when the
// library is loaded.
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "protocol/SubsystemHooks.h"
#include "sampling/Fpga.h"
#include "sampling/Sampling.h"
#include "sampling/SamplingApi.h"
#include "sampling/SamplingState.h"

namespace {

bool PreProcessingEntry(_DEVICE_CONTROL_SETTING*& copy) { return CSampling::StartSamplingPreProcessing(copy); }

constexpr SamplingHooks kEntries = {ORVDisableSampling, PreProcessingEntry, FPGASyncFromEEPROM};

// The slot of the table is constant-initialised, so the order of load-time
// initialisation does not matter.
const bool s_bInstalled = (InstallSamplingEntries(), true);

}  // namespace

void InstallSamplingEntries() { InstallSamplingHooks(&kEntries); }

bool ORVEnableSampling(PPGSampling kind, PFN_SAMPLING_CALLBACK callback) {
    return CSampling::SetSamplingCallback(kind, callback);
}

bool ORVStartSampling(PFN_SAMPLING_ERROR_CALLBACK error) { return CSampling::StartSampling(0, error); }

bool ORVStartSamplingEx(int skip, PFN_SAMPLING_ERROR_CALLBACK error) { return CSampling::StartSampling(skip, error); }

void ORVDisableSampling(void) {
    if (sampling::OnSamplingThread() || g_CriticalSection.HeldByCurrentThread()) {
        // A callback, or a caller the thread's exit would wait for: the thread ends by
        // itself once it sees the events; the next start or stop joins it.
        if (g_hSamplingThread.load() != 0) {
            g_hSamplingEvent.ResetEvent();
            g_hSamplingPauseEvent.ResetEvent();
        }
        return;
    }
    std::unique_lock<std::mutex> control = sampling::LockControl();
    sampling::EndThreadLocked();
}

bool ORVEnableDUTSignalDetection(bool enable, PFN_DUT_DETECTION_CALLBACK callback) {
    return FGPAEnableDUTSignalDetection(enable ? 1 : 0, callback) != 0;
}

bool ORVEnableFPGASampling(bool enable, int mode, PFN_FPGA_SAMPLING_CALLBACK callback) {
    return FPGAEnableFPGASampling(enable ? 1 : 0, mode, callback) != 0;
}
