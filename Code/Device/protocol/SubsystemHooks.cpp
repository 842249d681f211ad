// The subsystem entry table and its null forms (see SubsystemHooks.h).
#include "protocol/SubsystemHooks.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "protocol/ControlBlock.h"
#include "protocol/PPGModule.h"
#include "protocol/StoredRecords.h"

namespace {

// ---- Null forms: a library without playback and without sampling ----------------------

int NoPlaybackRuns() { return 0; }
void NoPlaybackToStop(int) {}
bool WriteCalibrationDirectly(unsigned char id, unsigned char* data, int length) {
    return WriteCalibrationSetting(static_cast<PPGCalibrationSetting>(id), data, length);
}
bool NoPPGSourceLoaded(int, double*, double*) { return false; }
bool NoRunThread() { return false; }

void NoSamplingToDisable() {}
bool NothingToPrepare(_DEVICE_CONTROL_SETTING*& copy) {
    copy = nullptr;
    return true;
}
bool FPGARatiosUnchanged() { return false; }

// A published table. Never freed: a caller may still be running an entry of an older
// one. `older` chains every table allocated so far, newest first.
struct Published {
    SubsystemHooks hooks;
    const Published* older;
};

// Every entry is copied one by one on install: a new entry needs its line there.
static_assert(sizeof(PlaybackHooks) == 18 * sizeof(void (*)()), "install copies 18 playback entries");
static_assert(sizeof(SamplingHooks) == 3 * sizeof(void (*)()), "install copies 3 sampling entries");

constexpr Published kNull = {
    {
        {
            NoPlaybackRuns,
            NoPlaybackToStop,
            WriteCalibrationDirectly,
            SetOutputImpedance,
            SetOutputElectrode,
            SetOutputDCOffset,
            SetOutputPacing,
            GetLEDOutputFeedbackVoltageADCData,
            SetLEDPulseGroupSetting,
            GetAmbientLightMode,
            SetAmbientLightMode,
            ReadLEDMatrixEnableStatus,
            WriteLEDMatrixEnableStatus,
            SetPPGSyncPulse,
            ReadPPGLEDSetting,
            WritePPGLEDSetting,
            NoPPGSourceLoaded,
            NoRunThread,
        },
        {
            NoSamplingToDisable,
            NothingToPrepare,
            FPGARatiosUnchanged,
        },
    },
    nullptr,
};

std::mutex s_install;  // constant-initialised: no load-time constructor runs
std::atomic<const Published*> s_current{&kNull};
const Published* s_allocated = nullptr;  // under s_install
// The first tables live in the library's own storage, not on the heap: an install made
// at load (a subsystem's set-up) then leaves no block behind once the library is
// unloaded. Zero-initialised, so no load-time constructor runs.
constexpr int kStaticTables = 8;
Published s_staticTables[kStaticTables];
int s_nStaticTables = 0;  // under s_install

template <typename F>
void Take(F& out, const F given, const F null) {
    out = given != nullptr ? given : null;
}

bool SameAs(const SubsystemHooks& a, const SubsystemHooks& b) { return memcmp(&a, &b, sizeof a) == 0; }

// Publishes `next` unless the current table already is it. The caller holds s_install.
void Publish(const SubsystemHooks& next) {
    const Published* current = s_current.load();
    if (SameAs(next, current->hooks)) {
        return;
    }
    if (SameAs(next, kNull.hooks)) {
        s_current.store(&kNull);  // back to load state without a new table
        return;
    }
    // A table published before with these entries is published again.
    for (const Published* p = s_allocated; p != nullptr; p = p->older) {
        if (SameAs(next, p->hooks)) {
            s_current.store(p);
            return;
        }
    }
    Published* table = s_nStaticTables < kStaticTables ? &s_staticTables[s_nStaticTables++] : new Published;
    *table = Published{next, s_allocated};
    s_allocated = table;
    s_current.store(s_allocated);
}

}  // namespace

const SubsystemHooks& Hooks() { return s_current.load(std::memory_order_acquire)->hooks; }

const PlaybackHooks* OpenCommandWindow() {
    const PlaybackHooks& playback = Hooks().playback;
    return playback.isRunning() != 0 ? &playback : nullptr;
}

void InstallPlaybackHooks(const PlaybackHooks* entries) {
    const PlaybackHooks none = {};
    const PlaybackHooks& in = entries != nullptr ? *entries : none;
    const PlaybackHooks& null = kNull.hooks.playback;
    std::lock_guard<std::mutex> guard(s_install);
    SubsystemHooks next = s_current.load()->hooks;
    PlaybackHooks& out = next.playback;
    Take(out.isRunning, in.isRunning, null.isRunning);
    Take(out.stop, in.stop, null.stop);
    Take(out.write0xCC, in.write0xCC, null.write0xCC);
    Take(out.setOutputImpedance, in.setOutputImpedance, null.setOutputImpedance);
    Take(out.setOutputLead, in.setOutputLead, null.setOutputLead);
    Take(out.setDCOffset, in.setDCOffset, null.setDCOffset);
    Take(out.setOutputPacing, in.setOutputPacing, null.setOutputPacing);
    Take(out.getLEDOutputFeedbackVoltageADCData, in.getLEDOutputFeedbackVoltageADCData,
         null.getLEDOutputFeedbackVoltageADCData);
    Take(out.setLEDPulseGroupSetting, in.setLEDPulseGroupSetting, null.setLEDPulseGroupSetting);
    Take(out.getAmbientLightMode, in.getAmbientLightMode, null.getAmbientLightMode);
    Take(out.setAmbientLightMode, in.setAmbientLightMode, null.setAmbientLightMode);
    Take(out.readLEDMatrixEnableStatus, in.readLEDMatrixEnableStatus, null.readLEDMatrixEnableStatus);
    Take(out.writeLEDMatrixEnableStatus, in.writeLEDMatrixEnableStatus, null.writeLEDMatrixEnableStatus);
    Take(out.updatePPGSyncPulse, in.updatePPGSyncPulse, null.updatePPGSyncPulse);
    Take(out.readPPGLEDSetting, in.readPPGLEDSetting, null.readPPGLEDSetting);
    Take(out.writePPGLEDSetting, in.writePPGLEDSetting, null.writePPGLEDSetting);
    Take(out.loadedPPGRange, in.loadedPPGRange, null.loadedPPGRange);
    Take(out.onRunThread, in.onRunThread, null.onRunThread);
    Publish(next);
}

void InstallSamplingHooks(const SamplingHooks* entries) {
    const SamplingHooks none = {};
    const SamplingHooks& in = entries != nullptr ? *entries : none;
    const SamplingHooks& null = kNull.hooks.sampling;
    std::lock_guard<std::mutex> guard(s_install);
    SubsystemHooks next = s_current.load()->hooks;
    SamplingHooks& out = next.sampling;
    Take(out.disableSampling, in.disableSampling, null.disableSampling);
    Take(out.startSamplingPreProcessing, in.startSamplingPreProcessing, null.startSamplingPreProcessing);
    Take(out.fpgaSyncFromEEPROM, in.fpgaSyncFromEEPROM, null.fpgaSyncFromEEPROM);
    Publish(next);
}
