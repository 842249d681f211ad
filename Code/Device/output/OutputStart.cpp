// The start functions of the simulated output. Each stops whatever output runs, then,
// under the sampling pause and the global lock, copies and normalises the host's
// records into the output state, uploads the waveform settings and one period of each
// channel (when an instrument is connected) and starts the output thread.
//
// Every start sets all four callback slots: the ones it does not use become null, so no
// end marker ever reaches a callback of an earlier output. A start that fails leaves no
// callback stored.
#include <cstring>

#include "api/AutoPauseSampling.h"
#include "api/DeviceInfo.h"
#include "output/Output.h"
#include "output/OutputGate.h"
#include "output/OutputEnable.h"
#include "output/OutputSimulation.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/SimpleCriticalSection.h"
#include "platform/StaticObjects.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "protocol/WaveformSetting.h"
#include "waveform/Alignment.h"
#include "waveform/Normalise.h"

namespace {

constexpr int kNotInUse = -1;  // nWaveformType of a PPG slot that is not in use

PPGChannel Channel(int slot) { return static_cast<PPGChannel>(slot + 1); }
bool InUse(int slot) { return g_PPGChannelWaveform[slot].nWaveformType != kNotInUse; }

void ClearCallbacks() {
    g_OutputECGCallback = nullptr;
    for (PFN_SAMPLE_CALLBACK& cb : g_OutputPPGChannelCallback) {
        cb = nullptr;
    }
}

// A start that fails after its stop runs no thread and keeps no callback.
bool Fail() {
    ClearCallbacks();
    return false;
}

// A start stops the running output before it takes the lock, so another host thread's
// start can slip in between: its thread would then run on beside this one's, untracked,
// reading the state this start is about to overwrite, and a later stop could join the
// wrong one for ever. Under the lock, each start therefore ends whatever output runs
// now (nothing, unless it raced) before it touches the output state.
void EndRacingOutput() { StopOutputWaveform(); }

// Step 8 of every start, with the lock still held: the thread's switch-on waits for it.
// Refused while a thread left running by a stop that raced this start has not ended.
bool StartThread(PFN_OUTPUT_BODY body) {
    if (output::LateOutputThreadLeft()) {
        return Fail();
    }
    g_hStopOutputEvent.ResetEvent();
    THREAD_HANDLE handle = 0;
    if (CreateThread(&handle, OutputThread, reinterpret_cast<void*>(body)) == 0) {
        handle = 0;
    }
    g_hOutputWaveformThread = handle;
    SleepEx(10);
    if (g_hOutputWaveformThread.load() == 0) {
        return Fail();
    }
    return true;
}

// The PPG channels whose LED the pulse group lights (a failed read lights none).
void LitChannels(bool lit[3]) {
    PPG_LED_PULSE_GROUP_SETTING group = {};
    if (!ORVReadLEDPulseGroupSetting(&group)) {
        group = PPG_LED_PULSE_GROUP_SETTING{};
    }
    for (int k = 0; k < 3; ++k) {
        lit[k] = output::PulseGroupLightsChannel(group, k + 1);
    }
}

// Puts a PPG record into its slot (nWaveformType -1 for a null record) and normalises it.
void TakePPG(int slot, const PPG_WAVEFORM* record) {
    if (record == nullptr) {
        g_PPGChannelWaveform[slot].nWaveformType = kNotInUse;
        return;
    }
    g_PPGChannelWaveform[slot] = *record;
    AdjustPPGWaveform(Channel(slot), &g_PPGChannelWaveform[slot], 0);
}

bool WritePPGSetting(int slot) { return !InUse(slot) || WriteWaveformInfo(Channel(slot), g_PPGChannelWaveform[slot]); }
bool WritePPGRaw(int slot) { return !InUse(slot) || WritePPGRawData(Channel(slot), g_PPGChannelWaveform[slot]); }

// The ECG setting of an ECG+PPG output: its words carry pttMs, the offset and the PPG
// start point, both taken from slot 0 (0 when slot 0 is not in use).
bool WriteECGAndPPGSetting(int pttMs) {
    int offset = 0;
    int start = 0;
    if (InUse(0)) {
        start = CalcPPGStartPoint(&g_ECGWaveform, &g_PPGChannelWaveform[0], pttMs);
        offset = output::ECGPeriodOffset(g_ECGWaveform, g_PPGChannelWaveform[0], pttMs);
    }
    return WriteWaveformInfo(g_ECGWaveform, pttMs, offset, start);
}

// The common part of the ECG+PPG starts, under the pause and the lock.
void TakeECGAndPPG(int pttMs, const ECG_WAVEFORM* ecg, PFN_SAMPLE_CALLBACK ecgCallback) {
    ClearCallbacks();
    g_iTimeDiffPPTPeak = pttMs;
    g_ECGWaveform = *ecg;
    g_OutputECGCallback = ecgCallback;
    AdjustECGWaveform(&g_ECGWaveform);
}

// The dynamic LED strength the common stop turned off comes back on models that keep it.
void RestoreDynamicLED(bool wasEnabled) {
    const uint16_t model = GetPPGFullModelNumber();
    if ((model == 0x2012 || model == 0x2112) && wasEnabled) {
        EnableDynamicLEDStrength(1);
    }
}

}  // namespace

bool StopBeforeStart() {
    if (OnARunsOwnThread()) {
        return false;  // nothing stopped, nothing sent
    }
    ORVStopOutputWaveform();
    return output::JoinLateOutputThread();
}

bool ORVOutputECG(ECG_WAVEFORM* ecg, PFN_SAMPLE_CALLBACK ecgCallback) {
    if (ecg == nullptr) {
        return false;
    }
    if (!StopBeforeStart()) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    EndRacingOutput();
    ClearCallbacks();
    g_ECGWaveform = *ecg;
    g_OutputECGCallback = ecgCallback;
    AdjustECGWaveform(&g_ECGWaveform);
    if (DeviceIsConnected()) {
        if (!WriteWaveformInfo(g_ECGWaveform, 0, 0, 0) || !WriteECGRawData(g_ECGWaveform)) {
            return Fail();
        }
    }
    return StartThread(OutputWaveformECGThread);
}

bool ORVOutputECGAndPPG(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg, PFN_SAMPLE_CALLBACK ecgCallback,
                        PFN_SAMPLE_CALLBACK ppgCallback) {
    if (ecg == nullptr || ppg == nullptr) {
        return false;
    }
    if (!StopBeforeStart()) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    EndRacingOutput();
    TakeECGAndPPG(pttMs, ecg, ecgCallback);
    g_OutputPPGChannelCallback[0] = ppgCallback;
    TakePPG(0, ppg);  // slots 1 and 2 stay as they are: this output uses slot 0 only
    if (DeviceIsConnected()) {
        if (!WriteECGAndPPGSetting(pttMs) || !WritePPGSetting(0) || !WriteECGRawData(g_ECGWaveform) ||
            !WritePPGRaw(0)) {
            return Fail();
        }
    }
    return StartThread(OutputWaveformECGAndPPGThread);
}

bool ORVOutputECGAndPPGEx(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2,
                          PFN_SAMPLE_CALLBACK ecgCallback, PFN_SAMPLE_CALLBACK ppg1Callback,
                          PFN_SAMPLE_CALLBACK ppg2Callback) {
    if (ecg == nullptr) {
        return false;
    }
    if (!StopBeforeStart()) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    EndRacingOutput();
    TakeECGAndPPG(pttMs, ecg, ecgCallback);
    g_OutputPPGChannelCallback[0] = ppg1Callback;
    g_OutputPPGChannelCallback[1] = ppg2Callback;
    // A missing PPG record leaves its channel out (not uploaded, not simulated).
    TakePPG(0, ppg1);
    TakePPG(1, ppg2);
    if (InUse(0) && InUse(1)) {
        AdjustPPGWaveform2112(&g_PPGChannelWaveform[0], &g_PPGChannelWaveform[1]);
    }
    if (DeviceIsConnected()) {
        if (!WriteECGAndPPGSetting(pttMs) || !WritePPGSetting(0) || !WritePPGSetting(1) ||
            !WriteECGRawData(g_ECGWaveform) || !WritePPGRaw(0) || !WritePPGRaw(1)) {
            return Fail();
        }
    }
    return StartThread(OutputWaveformECGAndPPGExThread);
}

bool ORVOutputECGAndPPG3(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3,
                         PFN_SAMPLE_CALLBACK ecgCallback, PFN_SAMPLE_CALLBACK ppg1Callback,
                         PFN_SAMPLE_CALLBACK ppg2Callback, PFN_SAMPLE_CALLBACK ppg3Callback) {
    if (ecg == nullptr) {
        return false;
    }
    if (!StopBeforeStart()) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    EndRacingOutput();
    // A channel whose LED the pulse group does not light is output but not simulated.
    PFN_SAMPLE_CALLBACK callbacks[3] = {ppg1Callback, ppg2Callback, ppg3Callback};
    bool lit[3];
    LitChannels(lit);
    TakeECGAndPPG(pttMs, ecg, ecgCallback);
    PPG_WAVEFORM* records[3] = {ppg1, ppg2, ppg3};
    for (int i = 0; i < 3; ++i) {
        g_OutputPPGChannelCallback[i] = lit[i] ? callbacks[i] : nullptr;
        TakePPG(i, records[i]);
    }
    if (DeviceIsConnected()) {
        if (!WriteECGAndPPGSetting(pttMs) || !WriteECGRawData(g_ECGWaveform)) {
            return Fail();
        }
        for (int i = 0; i < 3; ++i) {
            if (!WritePPGSetting(i) || !WritePPGRaw(i)) {
                return Fail();
            }
        }
    }
    return StartThread(OutputWaveformECGAndPPG3Thread);
}

bool ORVOutputPPG(int channel, PPG_WAVEFORM* ppg, PFN_SAMPLE_CALLBACK ppgCallback) {
    if (ppg == nullptr) {
        return false;
    }
    const int slot = CheckPPGChannel(static_cast<PPGChannel>(channel)) - 1;
    const bool dynamicLED = g_PPGDynamicLEDEnabled != 0;
    if (!StopBeforeStart()) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    EndRacingOutput();
    ClearCallbacks();
    // Every slot reads as not in use (nWaveformType -1) but the channel's own.
    memset(g_PPGChannelWaveform, 0xFF, sizeof g_PPGChannelWaveform);
    g_PPGChannelWaveform[slot] = *ppg;
    g_OutputPPGChannelCallback[slot] = ppgCallback;
    g_iPPGOutputChannelNo = slot + 1;
    AdjustPPGWaveform(Channel(slot), &g_PPGChannelWaveform[slot], 0);
    RestoreDynamicLED(dynamicLED);
    if (DeviceIsConnected()) {
        if (!WritePPGSetting(slot) || !WritePPGRaw(slot)) {
            return Fail();
        }
    }
    return StartThread(OutputWaveformPPGThread);
}

bool DoOutputPPGWaveform(int count, PPG_WAVEFORM** records, PFN_SAMPLE_CALLBACK* callbacks, PFN_OUTPUT_BODY body) {
    count = count < 0 ? 0 : (count > 3 ? 3 : count);
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    EndRacingOutput();
    if (GetPPGFullModelNumber() == 0x2112 && count == 2) {
        // Both channels into one AC range, on the caller's records (they come back scaled).
        AdjustPPGWaveform2112(records[0], records[1]);
    }
    ClearCallbacks();
    for (int i = 0; i < count; ++i) {
        if (records[i] != nullptr) {
            g_OutputPPGChannelCallback[i] = callbacks[i];  // a slot without a record keeps none
        }
        TakePPG(i, records[i]);
        if (DeviceIsConnected() && (!WritePPGSetting(i) || !WritePPGRaw(i))) {
            return Fail();
        }
    }
    return StartThread(body);
}

bool ORVOutputPPGEx(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PFN_SAMPLE_CALLBACK ppg1Callback,
                    PFN_SAMPLE_CALLBACK ppg2Callback) {
    const bool dynamicLED = g_PPGDynamicLEDEnabled != 0;
    if (!StopBeforeStart()) {
        return false;
    }
    {
        CAutoPauseSampling pause;
        CAutoCriticalSection lock(g_CriticalSection);
        RestoreDynamicLED(dynamicLED);
    }
    PPG_WAVEFORM* records[2] = {ppg1, ppg2};
    PFN_SAMPLE_CALLBACK callbacks[2] = {ppg1Callback, ppg2Callback};
    return DoOutputPPGWaveform(2, records, callbacks, OutputWaveformPPGExThread);
}

bool ORVOutputPPG3(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3, PFN_SAMPLE_CALLBACK ppg1Callback,
                   PFN_SAMPLE_CALLBACK ppg2Callback, PFN_SAMPLE_CALLBACK ppg3Callback) {
    if (!StopBeforeStart()) {
        return false;
    }
    PPG_WAVEFORM* records[3] = {ppg1, ppg2, ppg3};
    PFN_SAMPLE_CALLBACK callbacks[3] = {ppg1Callback, ppg2Callback, ppg3Callback};
    if (IsPPGChannel3Simulated()) {
        bool lit[3];
        LitChannels(lit);
        for (int i = 0; i < 3; ++i) {
            if (!lit[i]) {
                callbacks[i] = nullptr;  // output by the instrument, not simulated
            } else if (records[i] == nullptr) {
                return false;  // a lit channel needs its record; the output stays stopped
            }
        }
    }
    return DoOutputPPGWaveform(3, records, callbacks, OutputWaveformPPG3Thread);
}
