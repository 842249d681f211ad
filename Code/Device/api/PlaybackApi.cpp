// The exported playback functions: the waveform player, the play functions (host
// synthesis of one period, played in a loop), the sweeps, the start signal, the auto test
// and the host-side generation functions.
//
// Every entry checks the host's records first and refuses with nothing stopped; the
// players and play functions then run the common stop and take g_CriticalSection for the
// engine call.
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>

#include "api/DeviceInfo.h"
#include "api/PlaybackApi.h"
#include "api/nvs300.h"
#include "output/Output.h"
#include "platform/Device.h"
#include "platform/Event.h"
#include "platform/StaticObjects.h"
#include "playback/AutoTest.h"
#include "playback/PlayControl.h"
#include "playback/PlayRaw.h"
#include "playback/PlayThreads.h"
#include "playback/Sources.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/Protocol.h"
#include "waveform/Alignment.h"
#include "waveform/Normalise.h"
#include "waveform/Waveform.h"

namespace {

constexpr int kECGAloneRate = 40000;  // ECG-only streams and the sweeps' sources
constexpr int kPlayRate = 10000;
constexpr double kECGAloneKHz = 40.0;
constexpr double kPlayKHz = 10.0;
constexpr uint8_t kLEDOfChannel[3] = {2, 4, 1};  // pulse-group slot values of PPG 1, 2, 3

// ---- Registries ------------------------------------------------------------------------

std::mutex s_registryLock;
// Only host calls reach it (no library thread does), so it may end with the library: an
// unload frees it instead of leaking it once per load.
std::unordered_set<void*>& GeneratedArrays() {
    static std::unordered_set<void*> arrays;
    return arrays;
}
// Made by the first start signal and kept for as long as the process runs, so that the
// signals stay reachable: they are the host's, and no call frees one. Until then there
// is none, and nothing is allocated.
std::unordered_set<void*>* s_signalEvents = nullptr;

int* Track(int* array) {
    if (array == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(s_registryLock);
    try {
        GeneratedArrays().insert(array);
    } catch (...) {
        // Untracked, the array still belongs to the host; ORVMemFree will not free it.
    }
    return array;
}

bool IsSignalEvent(void* handle) {
    std::lock_guard<std::mutex> guard(s_registryLock);
    return handle != nullptr && s_signalEvents != nullptr && s_signalEvents->count(handle) != 0;
}

// ---- Records ---------------------------------------------------------------------------

// A PLAY_RAW_DATA whose generated arrays are freed when it goes out of scope.
struct Generated {
    PLAY_RAW_DATA r = {};
    Generated() = default;
    Generated(const Generated&) = delete;
    Generated& operator=(const Generated&) = delete;
    ~Generated() {
        delete[] r.pACData;
        delete[] r.pDCData;
    }
};

bool VerifyPlayRawData(const PLAY_RAW_DATA* r) {
    return r != nullptr && r->nSampleCount > 0 && r->pACData != nullptr && r->pDCData != nullptr;
}

bool ReadPulseGroup(PPG_LED_PULSE_GROUP_SETTING& group) {
    std::memset(&group, 0, sizeof group);
    if (ORVReadLEDPulseGroupSetting(&group)) {
        return true;
    }
    std::memset(&group, 0, sizeof group);
    // Without an instrument nothing is lit; with one, an unanswered read says nothing
    // about which channels are lit, so the caller must not go on.
    return DeviceIsConnected() == 0;
}

bool Lit(const PPG_LED_PULSE_GROUP_SETTING& group, int k) {
    for (uint8_t slot : group.ucSlot) {
        if (slot == kLEDOfChannel[k]) {
            return true;
        }
    }
    return false;
}

// Lit channels must carry a valid record; unlit ones are dropped from the list.
bool ValidatePPGRawDataByPulseSetting(PLAY_RAW_DATA** list) {
    PPG_LED_PULSE_GROUP_SETTING group;
    if (!ReadPulseGroup(group)) {
        return false;
    }
    for (int k = 0; k < 3; ++k) {
        if (Lit(group, k)) {
            if (!VerifyPlayRawData(list[k])) {
                return false;
            }
        } else {
            list[k] = nullptr;
        }
    }
    return true;
}

void GenerateECG(ECG_WAVEFORM* w, double kHz, int rate, PFN_SAMPLE_CALLBACK callback, PLAY_RAW_DATA& r) {
    w->fSampleRateKHz = kHz;
    w->nSampleFraction = 0;
    GenECGWaveform(w, &r.nSampleCount, &r.pACData, &r.pDCData, false);
    r.fSampleRate = rate;
    r.pCallback = callback;
}

void GeneratePPG(PPG_WAVEFORM* w, bool clearFraction, PFN_SAMPLE_CALLBACK callback, PLAY_RAW_DATA& r) {
    w->fSampleRateKHz = kPlayKHz;
    if (clearFraction) {
        w->nSampleFraction = 0;
    }
    GenPPGWaveform(w, &r.nSampleCount, &r.pACData, &r.pDCData, 0.0);
    r.fSampleRate = kPlayRate;
    r.nSyncPulse = w->nSyncPulse;
    r.pCallback = callback;
}

void Rotate(PLAY_RAW_DATA& r, int start) {
    if (start != 0 && r.nSampleCount > 0) {
        ShiftPPGWaveformData(r.pACData, r.nSampleCount, start);
        ShiftPPGWaveformData(r.pDCData, r.nSampleCount, start);
    }
}

bool ControlBlockIfConnected(ECG_WAVEFORM* ecg) {
    return DeviceIsConnected() == 0 || UpdateDeviceControlSetting(ecg) != 0;
}

// The three PPG records of the 3-channel play functions, freed on every path.
struct GeneratedList {
    PLAY_RAW_DATA list[3] = {};
    GeneratedList() = default;
    GeneratedList(const GeneratedList&) = delete;
    GeneratedList& operator=(const GeneratedList&) = delete;
    ~GeneratedList() {
        for (PLAY_RAW_DATA& r : list) {
            delete[] r.pACData;
            delete[] r.pDCData;
        }
    }
};

bool IsWholeKHz(double rateKHz) { return std::isfinite(rateKHz) && rateKHz >= -2147483648.0 && rateKHz < 2147483648.0; }

}  // namespace

bool ReleaseGeneratedArray(void* memory) {
    if (memory == nullptr) {
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(s_registryLock);
        if (GeneratedArrays().erase(memory) == 0) {
            return false;
        }
    }
    delete[] static_cast<int*>(memory);
    return true;
}

namespace {

// A playback start's first step: refused (false, nothing stopped or sent) from a sample
// callback of the output or the playback it would replace; otherwise the common stop.
bool StopForPlayback() {
    if (OnARunsOwnThread()) {
        return false;
    }
    ORVStopOutputWaveform();
    return true;
}

}  // namespace

// ---- Waveform player -------------------------------------------------------------------

bool ORVWaveformPlayerOutputECG(PLAY_RAW_DATA* ecg) {
    if (!VerifyPlayRawData(ecg)) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return PlayRawECG(*ecg) != 0;
}

bool ORVWaveformPlayerOutputECGAndPPG(PLAY_RAW_DATA* ecg, int channel, PLAY_RAW_DATA* ppg) {
    if (!VerifyPlayRawData(ecg) || !VerifyPlayRawData(ppg)) {
        return false;
    }
    const PPGChannel ch = CheckPPGChannel(static_cast<PPGChannel>(channel));
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return PlayRawECGAndPPG(*ecg, ch, *ppg) != 0;
}

bool ORVWaveformPlayerOutputECGAndPPGEx(PLAY_RAW_DATA* ecg, PLAY_RAW_DATA* ppg1, PLAY_RAW_DATA* ppg2) {
    if (!VerifyPlayRawData(ecg) || !VerifyPlayRawData(ppg1) || !VerifyPlayRawData(ppg2)) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return PlayRawECGAndPPGEx(*ecg, *ppg1, *ppg2) != 0;
}

bool ORVWaveformPlayerOutputECGAndPPG3(PLAY_RAW_DATA* ecg, PLAY_RAW_DATA* ppg1, PLAY_RAW_DATA* ppg2,
                                       PLAY_RAW_DATA* ppg3) {
    if (!IsPPGChannel3Supported() || !VerifyPlayRawData(ecg)) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    PLAY_RAW_DATA* list[3] = {ppg1, ppg2, ppg3};
    CAutoCriticalSection lock(g_CriticalSection);
    if (!ValidatePPGRawDataByPulseSetting(list)) {
        return false;
    }
    return PlayRawECGAndPPGEx(ecg, list) != 0;
}

bool ORVWaveformPlayerOutputPPG(int channel, PLAY_RAW_DATA* ppg) {
    if (!VerifyPlayRawData(ppg)) {
        return false;
    }
    const PPGChannel ch = CheckPPGChannel(static_cast<PPGChannel>(channel));
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return PlayRawPPG(ch, *ppg) != 0;
}

bool ORVWaveformPlayerOutputPPGEx(PLAY_RAW_DATA* ppg1, PLAY_RAW_DATA* ppg2) {
    if (!VerifyPlayRawData(ppg1) || !VerifyPlayRawData(ppg2)) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return PlayRawPPGEx(*ppg1, *ppg2) != 0;
}

bool ORVWaveformPlayerOutputPPG3(PLAY_RAW_DATA* ppg1, PLAY_RAW_DATA* ppg2, PLAY_RAW_DATA* ppg3) {
    if (!IsPPGChannel3Supported()) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    PLAY_RAW_DATA* list[3] = {ppg1, ppg2, ppg3};
    CAutoCriticalSection lock(g_CriticalSection);
    if (IsPPGChannel3Simulated() && !ValidatePPGRawDataByPulseSetting(list)) {
        return false;
    }
    return PlayRawPPGEx(list) != 0;
}

void ORVWaveformPlayerLoop(bool loop) {
    CAutoCriticalSection lock(g_CriticalSection);
    PlayRawEnableLoop(loop);
}

// ---- Play functions --------------------------------------------------------------------

bool ORVPlayECG(ECG_WAVEFORM* ecg, PFN_SAMPLE_CALLBACK callback) {
    if (ecg == nullptr) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    Generated e;
    GenerateECG(ecg, kECGAloneKHz, kECGAloneRate, callback, e.r);
    PlayRawEnableLoop(true);
    if (!ControlBlockIfConnected(ecg)) {
        return false;
    }
    PlayRawResetAccumulation();
    PlayRawAddECGExtra(ecg);
    return PlayRawECGEx(e.r, *ecg) != 0;
}

bool ORVPlayECGAndPPG(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg, PFN_SAMPLE_CALLBACK ecgCallback,
                      PFN_SAMPLE_CALLBACK ppgCallback) {
    if (ecg == nullptr || ppg == nullptr) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    Generated e, p;
    GenerateECG(ecg, kPlayKHz, kPlayRate, ecgCallback, e.r);
    GeneratePPG(ppg, true, ppgCallback, p.r);
    Rotate(p.r, CalcPPGStartPoint(ecg, ppg, pttMs));
    PlayRawEnableLoop(true);
    if (!ControlBlockIfConnected(ecg)) {
        return false;
    }
    PlayRawResetAccumulation();
    PlayRawAddECGExtra(ecg);
    PlayRawAddPPGExtra(PPG_CHANNEL_1, ppg);
    return PlayRawECGAndPPG(e.r, PPG_CHANNEL_1, p.r) != 0;
}

bool ORVPlayECGAndPPGEx(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2,
                        PFN_SAMPLE_CALLBACK ecgCallback, PFN_SAMPLE_CALLBACK ppg1Callback,
                        PFN_SAMPLE_CALLBACK ppg2Callback) {
    if (ecg == nullptr || ppg1 == nullptr || ppg2 == nullptr) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    Generated e, p1, p2;
    GenerateECG(ecg, kPlayKHz, kPlayRate, ecgCallback, e.r);
    const int sync1 = ppg1->nSyncPulse, sync2 = ppg2->nSyncPulse;  // the host's, before the normalisation
    AdjustPPGWaveform(PPG_CHANNEL_1, ppg1, 0);
    AdjustPPGWaveform(PPG_CHANNEL_2, ppg2, 0);
    GeneratePPG(ppg1, true, ppg1Callback, p1.r);
    GeneratePPG(ppg2, true, ppg2Callback, p2.r);
    p1.r.nSyncPulse = sync1;
    p2.r.nSyncPulse = sync2;
    const int start = CalcPPGStartPoint(ecg, ppg1, pttMs);
    Rotate(p1.r, start);
    Rotate(p2.r, start);
    PlayRawEnableLoop(true);
    if (!ControlBlockIfConnected(ecg)) {
        return false;
    }
    PlayRawResetAccumulation();
    PlayRawAddECGExtra(ecg);
    PlayRawAddPPGExtra(PPG_CHANNEL_1, ppg1);
    PlayRawAddPPGExtra(PPG_CHANNEL_2, ppg2);
    return PlayRawECGAndPPGEx(e.r, p1.r, p2.r) != 0;
}

bool ORVPlayECGAndPPG3(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3,
                       PFN_SAMPLE_CALLBACK ecgCallback, PFN_SAMPLE_CALLBACK ppg1Callback,
                       PFN_SAMPLE_CALLBACK ppg2Callback, PFN_SAMPLE_CALLBACK ppg3Callback) {
    if (ecg == nullptr) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    Generated e;
    GeneratedList built;
    GenerateECG(ecg, kPlayKHz, kPlayRate, ecgCallback, e.r);
    const int start = ppg1 != nullptr ? CalcPPGStartPoint(ecg, ppg1, pttMs) : 0;
    PPG_WAVEFORM* records[3] = {ppg1, ppg2, ppg3};
    PFN_SAMPLE_CALLBACK callbacks[3] = {ppg1Callback, ppg2Callback, ppg3Callback};
    PPGWaveformToRawData(3, records, callbacks, built.list, static_cast<int>(kPlayKHz), start);
    PlayRawEnableLoop(true);
    // The control block is required here, also without an instrument (then false).
    if (UpdateDeviceControlSetting(ecg) == 0) {
        return false;
    }
    PlayRawResetAccumulation();
    PlayRawAddECGExtra(ecg);
    for (int k = 0; k < 3; ++k) {
        if (records[k] != nullptr) {
            PlayRawAddPPGExtra(static_cast<PPGChannel>(k + 1), records[k]);
        }
    }
    PLAY_RAW_DATA* list[3] = {&built.list[0], &built.list[1], &built.list[2]};
    if (!ValidatePPGRawDataByPulseSetting(list)) {
        return false;
    }
    for (int k = 0; k < 3; ++k) {
        if (records[k] == nullptr) {
            list[k] = nullptr;
        }
    }
    return PlayRawECGAndPPGEx(&e.r, list) != 0;
}

bool ORVPlayPPG(int channel, PPG_WAVEFORM* ppg, PFN_SAMPLE_CALLBACK callback) {
    if (ppg == nullptr) {
        return false;
    }
    const PPGChannel ch = channel == 2 ? PPG_CHANNEL_2 : PPG_CHANNEL_1;  // channel 3 plays on 1
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    Generated p;
    GeneratePPG(ppg, false, callback, p.r);
    PlayRawEnableLoop(true);
    PlayRawResetAccumulation();
    PlayRawAddPPGExtra(ch, ppg);
    return PlayRawPPG(ch, p.r) != 0;
}

bool ORVPlayPPGEx(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PFN_SAMPLE_CALLBACK ppg1Callback,
                  PFN_SAMPLE_CALLBACK ppg2Callback) {
    if (ppg1 == nullptr || ppg2 == nullptr) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    Generated p1, p2;
    const int sync1 = ppg1->nSyncPulse, sync2 = ppg2->nSyncPulse;  // the host's, before the normalisation
    AdjustPPGWaveform(PPG_CHANNEL_1, ppg1, 1);
    AdjustPPGWaveform(PPG_CHANNEL_2, ppg2, 1);
    GeneratePPG(ppg1, false, ppg1Callback, p1.r);
    GeneratePPG(ppg2, false, ppg2Callback, p2.r);
    p1.r.nSyncPulse = sync1;
    p2.r.nSyncPulse = sync2;
    PlayRawEnableLoop(true);
    PlayRawResetAccumulation();
    PlayRawAddPPGExtra(PPG_CHANNEL_1, ppg1);
    PlayRawAddPPGExtra(PPG_CHANNEL_2, ppg2);
    return PlayRawPPGEx(p1.r, p2.r) != 0;
}

bool ORVPlayPPG3(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3, PFN_SAMPLE_CALLBACK ppg1Callback,
                 PFN_SAMPLE_CALLBACK ppg2Callback, PFN_SAMPLE_CALLBACK ppg3Callback) {
    if (!IsPPGChannel3Supported()) {
        return false;
    }
    if (!StopForPlayback()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    GeneratedList built;
    PPG_WAVEFORM* records[3] = {ppg1, ppg2, ppg3};
    PFN_SAMPLE_CALLBACK callbacks[3] = {ppg1Callback, ppg2Callback, ppg3Callback};
    PPGWaveformToRawData(3, records, callbacks, built.list, static_cast<int>(kPlayKHz), 0);
    PlayRawEnableLoop(true);
    PlayRawResetAccumulation();
    for (int k = 0; k < 3; ++k) {
        if (records[k] != nullptr) {
            PlayRawAddPPGExtra(static_cast<PPGChannel>(k + 1), records[k]);
        }
    }
    PLAY_RAW_DATA* list[3];
    for (int k = 0; k < 3; ++k) {
        list[k] = records[k] != nullptr ? &built.list[k] : nullptr;
    }
    if (IsPPGChannel3Simulated()) {
        PPG_LED_PULSE_GROUP_SETTING group;
        if (!ReadPulseGroup(group)) {
            return false;
        }
        for (int k = 0; k < 3; ++k) {
            if (Lit(group, k) && !VerifyPlayRawData(list[k])) {
                return false;
            }
        }
    }
    return PlayRawPPGEx(list) != 0;
}

// ---- Sweeps and stop -------------------------------------------------------------------

bool ORVOutputFrequencyScan(FREQUENCY_SCAN* scan, PFN_SAMPLE_CALLBACK callback) {
    if (!IsGeneratableScan(scan, kECGAloneRate) || PlayRawOnRunThread()) {
        return false;  // refused before anything stops or changes
    }
    CAutoCriticalSection lock(g_CriticalSection);
    PlayRawEnableLoop(false);
    return PlayRawFrequencyScanECG(scan, callback) != 0;
}

bool ORVOutputFrequencyScanPPG(int channel, FREQUENCY_SCAN2* scan, PFN_SAMPLE_CALLBACK callback) {
    const PPGChannel ch = CheckPPGChannel(static_cast<PPGChannel>(channel));
    if (!IsGeneratableScan(scan, kECGAloneRate) || PlayRawOnRunThread()) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    PlayRawEnableLoop(false);
    return PlayRawFrequencyScanPPG(ch, scan, callback) != 0;
}

void ORVStopPlayRawData() {
    CAutoCriticalSection lock(g_CriticalSection);
    PlayRawStop(1);
}

// ---- Start signal ----------------------------------------------------------------------

void* ORVCreateSynchronizationSignal() {
    CAutoCriticalSection lock(g_CriticalSection);
    CManualResetEvent* event = new (std::nothrow) CManualResetEvent(false);
    if (event == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(s_registryLock);
    try {
        if (s_signalEvents == nullptr) {
            s_signalEvents = new std::unordered_set<void*>;
        }
        s_signalEvents->insert(event);
    } catch (...) {
        // Out of memory: the host still owns the event, it just cannot be registered.
    }
    return event;
}

void ORVSetSynchronizationSignal(void* handle) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (handle == nullptr) {
        g_PlaySyncEvent = nullptr;
    } else if (IsSignalEvent(handle)) {
        g_PlaySyncEvent = static_cast<CEvent*>(static_cast<CManualResetEvent*>(handle));
    }
}

void ORVSynchronizationSignalSetEvent(void* handle) {
    (void)handle;  // the registered signal is set, whatever is passed
    CAutoCriticalSection lock(g_CriticalSection);
    CEvent* event = g_PlaySyncEvent.load();
    if (event != nullptr) {
        event->SetEvent();
    }
}

void ORVSynchronizationSignalResetEvent(void* handle) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (IsSignalEvent(handle)) {
        static_cast<CManualResetEvent*>(handle)->ResetEvent();
    }
}

// ---- Auto test -------------------------------------------------------------------------

void ORVAutoTestSetSetting(AUTO_TEST_SETTING* setting) {
    CAutoCriticalSection lock(g_CriticalSection);
    PlayRawSetSetting(setting);
}

void ORVAutoTestClear() {
    CAutoCriticalSection lock(g_CriticalSection);
    PlayRawAutoTestClearAll();
}

int ORVAutoTestAddItemECGAndPPGEx(int durationS, int delayMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2,
                                  PPG_WAVEFORM* ppg3) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (durationS < 0) {
        return static_cast<int>(PlayRawAutoTestItemCount());
    }
    PPG_WAVEFORM* ppg[3] = {ppg1, ppg2, ppg3};
    for (int k = 0; k < 3; ++k) {
        if (ppg[k] != nullptr) {
            AdjustPPGWaveform(static_cast<PPGChannel>(k + 1), ppg[k], 0);
        }
    }
    return static_cast<int>(PlayRawAutoTestAddItemECGAndPPGEx(durationS, delayMs, ecg, ppg1, ppg2, ppg3));
}

int ORVAutoTestAddItem(int durationS, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    return ORVAutoTestAddItemECGAndPPGEx(durationS, 0, ecg, ppg1, ppg2, ppg3);
}

int ORVAutoTestAddItemPlayRaw(int durationS, char const* path) {
    CAutoCriticalSection lock(g_CriticalSection);
    return static_cast<int>(PlayRawAutoTestAddItemPlayRaw(durationS, path));
}

bool ORVAutoTestStartOutput(PFN_SAMPLE_CALLBACK ecg, PFN_SAMPLE_CALLBACK ppg1, PFN_SAMPLE_CALLBACK ppg2,
                            PFN_SAMPLE_CALLBACK ppg3) {
    if (PlayRawOnRunThread()) {
        return false;  // from a callback of the run it would replace
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return PlayRawAutoTestStartOutput(ecg, ppg1, ppg2, ppg3) != 0;
}

// ---- Host generation -------------------------------------------------------------------

namespace {

int* HandOver(int* ac, int* dc) {
    delete[] dc;
    return Track(ac);
}

int* GenerateECGArray(ECG_WAVEFORM* ecg, int* count) {
    int* ac = nullptr;
    int* dc = nullptr;
    GenECGWaveform(ecg, count, &ac, &dc, false);
    return HandOver(ac, dc);
}

int* GeneratePPGArray(const PPG_WAVEFORM* ppg, int* count) {
    int* ac = nullptr;
    int* dc = nullptr;
    GenPPGWaveform(ppg, count, &ac, &dc, 0);
    return HandOver(ac, dc);
}

}  // namespace

int* ORVGenECGWaveform(ECG_WAVEFORM* ecg, int* count, double* rateKHz) {
    if (ecg == nullptr || count == nullptr) {
        return nullptr;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    AdjustECGWaveform(ecg);
    int* ac = GenerateECGArray(ecg, count);
    if (rateKHz != nullptr) {
        *rateKHz = ecg->fSampleRateKHz;
    }
    return ac;
}

int* ORVGenECGWaveformEx(ECG_WAVEFORM* ecg, int* count, double rateKHz) {
    if (ecg == nullptr || count == nullptr || !IsWholeKHz(rateKHz)) {
        return nullptr;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    ecg->fSampleRateKHz = rateKHz;
    return GenerateECGArray(ecg, count);
}

int* ORVGenPPGWaveform(PPG_WAVEFORM const* ppg, int* count) {
    if (ppg == nullptr || count == nullptr) {
        return nullptr;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    const_cast<PPG_WAVEFORM*>(ppg)->fSampleRateKHz = 1.0;  // written although declared const
    return GeneratePPGArray(ppg, count);
}

int* ORVGenPPGWaveformEx(PPG_WAVEFORM const* ppg, int* count, double rateKHz) {
    if (ppg == nullptr || count == nullptr || !IsWholeKHz(rateKHz)) {
        return nullptr;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    const_cast<PPG_WAVEFORM*>(ppg)->fSampleRateKHz = static_cast<int>(rateKHz);
    return GeneratePPGArray(ppg, count);
}

double ORVCalculateACByRMS(PPG_WAVEFORM ppg) {
    ppg.fSampleRateKHz = 10.0;
    int n = 0;
    double* ac = nullptr;
    double* dc = nullptr;
    GenPPGWaveform(&ppg, &n, &ac, &dc, 0.0);
    double sum = 0.0;
    for (int i = 0; i < n && ac != nullptr; ++i) {
        sum += ac[i] * ac[i];
    }
    delete[] ac;
    delete[] dc;
    return n > 0 ? std::sqrt(sum / n) : 0.0;
}
