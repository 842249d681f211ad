// The starts, the run state and the stop of a playback run (PlayControl.h).
//
// Every start: refuse bad arguments before anything else (the current run stays),
// stop the current run, then under g_PlayRawCriticalSection load the records, switch
// the instrument's pacing flag on for an ECG with a DC curve, set the operator mode and
// rate, hand over the callbacks and start the threads.
#include <cmath>
#include <cstring>

#include "api/ExternalRespiratory.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "playback/PlayThreads.h"
#include "playback/PlayRaw.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "waveform/Calibration.h"

namespace {

constexpr int kStreamRate = 10000;
constexpr int kECGStreamRate = 40000;
constexpr int kBaselineOhms[kRespirationBaselineEntries] = {0,    100,  200,  500,  1000, 1500,
                                                            2000, 2500, 3000, 3500, 4000, 4500};

// What ValidateRawDataSetting lets through but no run can play: a count below 1, a rate
// that is not a finite positive number, a cycle under one output sample.
bool Playable(const PLAY_RAW_DATA& r, int outputRate = kStreamRate) {
    return ValidateRawDataSetting(r) && r.nSampleCount > 0 && std::isfinite(r.fSampleRate) && r.fSampleRate > 0.0 &&
           IsPlayableCycle(r.nSampleCount, r.fSampleRate, outputRate);
}

bool PPGChannelValid(int channel) { return channel >= 1 && channel <= 3; }

unsigned char SyncByte(const PLAY_RAW_DATA& r) { return static_cast<unsigned char>(r.nSyncPulse & 0xFF); }

// Step 5 of every start with an ECG: the variable DC needs the instrument's pacing flag.
bool SwitchPacingForECG() {
    if (!DeviceIsConnected() || IsAllZeros<double>(g_pECGDCSrcData, static_cast<unsigned long>(g_nECGSrcSampleCount))) {
        return true;
    }
    return SetOutputPacing(255);
}

int Launch() {
    RunPlayThread(SendPacket);
    return g_hPlayThread.load() != 0 ? 1 : 0;
}

int BaselineIndex(int ohms) {
    for (int i = 0; i < kRespirationBaselineEntries; ++i) {
        if (kBaselineOhms[i] == ohms) {
            return i;
        }
    }
    return 0;
}

}  // namespace

// ---- Operator mode and validation ------------------------------------------------------

int UpdateOperatorMode(int mode, unsigned char sync1, unsigned char sync2, unsigned char sync3, int rate) {
    if (rate <= 0) {
        return 0;
    }
    g_nOperatorMode = mode;
    g_nSampleRate = rate;
    g_nPPGChSyncPulse[0] = sync1;
    g_nPPGChSyncPulse[1] = sync2;
    g_nPPGChSyncPulse[2] = sync3;
    if (!DeviceIsConnected()) {
        return 1;
    }
    return SetDeviceOperatorMode(mode, sync1, sync2, sync3, rate) ? 1 : 0;
}

int UpdateOperatorMode(PPGChannel channel, unsigned char sync) {
    const int mode = channel == PPG_CHANNEL_1 ? 2 : channel == PPG_CHANNEL_2 ? 4 : 16;
    unsigned char s[3] = {0, 0, 0};
    if (PPGChannelValid(channel)) {
        s[channel - 1] = sync;
    }
    return UpdateOperatorMode(mode, s[0], s[1], s[2], kStreamRate);
}

int GetOperatorMode() { return g_nOperatorMode; }

int ValidateRawDataSetting(const PLAY_RAW_DATA& data) {
    return data.pACData != nullptr && data.pDCData != nullptr && data.nSampleCount != 0 && data.fSampleRate != 0.0;
}

int CheckOutputChannel(int mask, int bits) { return (mask & bits) == bits ? 1 : 0; }

// ---- Starts ----------------------------------------------------------------------------

int PlayRawECG(const PLAY_RAW_DATA& ecg) {
    if (!Playable(ecg)) {
        return 0;
    }
    PlayRawStop(0);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (!LoadRawECG(ecg) || !SwitchPacingForECG() || !UpdateOperatorMode(1, 0, 0, 0, kStreamRate)) {
        return 0;
    }
    PlayInitCallback(ecg.pCallback, nullptr, nullptr, nullptr, nullptr);
    return Launch();
}

int PlayRawECGEx(const PLAY_RAW_DATA& ecg, const ECG_WAVEFORM& waveform) {
    if (!Playable(ecg, kECGStreamRate)) {
        return 0;
    }
    PlayRawStop(0);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (!LoadRawECG(ecg) || !SwitchPacingForECG()) {
        return 0;
    }
    g_bPacingEnable = waveform.bPacingEnable != 0;
    g_fPacingAmplitude = waveform.fPacingAmplitude;
    g_fPacingRate = waveform.nPacingRate / 60.0;
    g_fPacingDuraton = waveform.fPacingWidth;
    if (ExtRespIsAvailable() && !LoadECGExtRespirationCurve(waveform)) {
        return 0;
    }
    const int mode = (waveform.nRespirationMode & 0xF0) == 0xF0 ? 17 : 1;
    if (mode == 17 && GetECGRespirationType() == 1) {
        const int index = BaselineIndex(waveform.nRespirationRatioOrBaseline);
        g_nECGExtRespirationBaselineDAC = ExtRespGetBaselineDAC(index);
        ORVExternalRespiratorySetBaseline(index, waveform.nElectrode == 0xFF ? 2 : 1);
    }
    if (!UpdateOperatorMode(mode, 0, 0, 0, kECGStreamRate)) {
        return 0;
    }
    PlayInitCallback(ecg.pCallback, nullptr, nullptr, nullptr, nullptr);
    return Launch();
}

int PlayRawECGAndPPG(const PLAY_RAW_DATA& ecg, PPGChannel channel, const PLAY_RAW_DATA& ppg) {
    if (!Playable(ecg) || !Playable(ppg) || (channel != PPG_CHANNEL_1 && channel != PPG_CHANNEL_2)) {
        return 0;
    }
    PlayRawStop(0);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (!LoadRawECG(ecg) || !LoadRawPPG(channel, ppg) || !SwitchPacingForECG()) {
        return 0;
    }
    const unsigned char sync = SyncByte(ppg);
    const bool first = channel == PPG_CHANNEL_1;
    if (!UpdateOperatorMode(first ? 3 : 5, first ? sync : 0, first ? 0 : sync, 0, kStreamRate)) {
        return 0;
    }
    PlayInitCallback(ecg.pCallback, first ? ppg.pCallback : nullptr, first ? nullptr : ppg.pCallback, nullptr, nullptr);
    return Launch();
}

int PlayRawECGAndPPGEx(const PLAY_RAW_DATA& ecg, const PLAY_RAW_DATA& ppg1, const PLAY_RAW_DATA& ppg2) {
    if (!Playable(ecg) || !Playable(ppg1) || !Playable(ppg2)) {
        return 0;
    }
    PlayRawStop(0);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (!LoadRawECG(ecg) || !LoadRawPPG(1, ppg1) || !LoadRawPPG(2, ppg2) || !SwitchPacingForECG() ||
        !UpdateOperatorMode(7, SyncByte(ppg1), SyncByte(ppg2), 0, kStreamRate)) {
        return 0;
    }
    PlayInitCallback(ecg.pCallback, ppg1.pCallback, ppg2.pCallback, nullptr, nullptr);
    return Launch();
}

int PlayRawECGAndPPGEx(PLAY_RAW_DATA* ecg, PLAY_RAW_DATA** ppg) {
    if (ecg == nullptr || ppg == nullptr || !Playable(*ecg)) {
        return 0;
    }
    for (int c = 0; c < 3; ++c) {
        if (ppg[c] != nullptr && !Playable(*ppg[c])) {
            return 0;
        }
    }
    PlayRawStop(0);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (!LoadRawECG(*ecg)) {
        return 0;
    }
    unsigned char sync = 1;
    PFN_SAMPLE_CALLBACK callbacks[3] = {nullptr, nullptr, nullptr};
    for (int c = 0; c < 3; ++c) {
        if (ppg[c] == nullptr) {
            continue;  // the channel keeps the source loaded before
        }
        if (!LoadRawPPG(c + 1, *ppg[c])) {
            return 0;
        }
        sync = SyncByte(*ppg[c]);
        callbacks[c] = ppg[c]->pCallback;
    }
    if (!SwitchPacingForECG() || !UpdateOperatorMode(15, sync, sync, sync, kStreamRate)) {
        return 0;
    }
    PlayInitCallback(ecg->pCallback, callbacks[0], callbacks[1], callbacks[2], nullptr);
    return Launch();
}

int PlayRawPPG(PPGChannel channel, const PLAY_RAW_DATA& ppg) {
    if (!Playable(ppg) || !PPGChannelValid(channel)) {
        return 0;
    }
    PlayRawStop(0);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (!LoadRawPPG(channel, ppg) || !UpdateOperatorMode(channel, SyncByte(ppg))) {
        return 0;
    }
    PFN_SAMPLE_CALLBACK callbacks[3] = {nullptr, nullptr, nullptr};
    callbacks[channel - 1] = ppg.pCallback;
    PlayInitCallback(nullptr, callbacks[0], callbacks[1], callbacks[2], nullptr);
    return Launch();
}

int PlayRawPPGEx(const PLAY_RAW_DATA& ppg1, const PLAY_RAW_DATA& ppg2) {
    if (!Playable(ppg1) || !Playable(ppg2)) {
        return 0;
    }
    PlayRawStop(0);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (!LoadRawPPG(1, ppg1) || !LoadRawPPG(2, ppg2) ||
        !UpdateOperatorMode(6, SyncByte(ppg1), SyncByte(ppg2), 0, kStreamRate)) {
        return 0;
    }
    PlayInitCallback(nullptr, ppg1.pCallback, ppg2.pCallback, nullptr, nullptr);
    return Launch();
}

int PlayRawPPGEx(PLAY_RAW_DATA** ppg) {
    if (ppg == nullptr || (ppg[0] == nullptr && ppg[1] == nullptr && ppg[2] == nullptr)) {
        return 0;
    }
    for (int c = 0; c < 3; ++c) {
        if (ppg[c] != nullptr && !Playable(*ppg[c])) {
            return 0;
        }
    }
    PlayRawStop(0);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    unsigned char sync = 1;
    int present = 0;
    PFN_SAMPLE_CALLBACK callbacks[3] = {nullptr, nullptr, nullptr};
    for (int c = 0; c < 3; ++c) {
        if (ppg[c] == nullptr) {
            FreeRawPPG(c + 1);  // streams 0
            continue;
        }
        if (!LoadRawPPG(c + 1, *ppg[c])) {
            return 0;
        }
        present |= 1 << c;
        sync = SyncByte(*ppg[c]);
        callbacks[c] = ppg[c]->pCallback;
    }
    static const int kModeOf[8] = {0, 2, 4, 6, 16, 10, 12, 14};
    const int mode = IsPPGChannel3Simulated() ? 14 : kModeOf[present];
    if (!UpdateOperatorMode(mode, sync, sync, sync, kStreamRate)) {
        return 0;
    }
    PlayInitCallback(nullptr, callbacks[0], callbacks[1], callbacks[2], nullptr);
    return Launch();
}

int PlayRawFrequencyScanECG(FREQUENCY_SCAN* scan, PFN_SAMPLE_CALLBACK callback) {
    if (scan == nullptr) {
        return 0;
    }
    PlayRawStop(1);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (!LoadECGFrequencyScanWaveform(scan, kECGStreamRate) || !UpdateOperatorMode(1, 0, 0, 0, kECGStreamRate)) {
        return 0;
    }
    PlayInitCallback(nullptr, nullptr, nullptr, nullptr, callback);
    return Launch();
}

int PlayRawFrequencyScanPPG(PPGChannel channel, FREQUENCY_SCAN2* scan, PFN_SAMPLE_CALLBACK callback) {
    if (scan == nullptr || !PPGChannelValid(channel)) {
        return 0;
    }
    PlayRawStop(1);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (!LoadPPGFrequencyScanWaveform(channel, scan, kECGStreamRate) ||
        !UpdateOperatorMode(channel, static_cast<unsigned char>(scan->nSyncPulse & 0xFF))) {
        return 0;
    }
    PFN_SAMPLE_CALLBACK callbacks[3] = {nullptr, nullptr, nullptr};
    callbacks[channel - 1] = callback;
    PlayInitCallback(nullptr, callbacks[0], callbacks[1], callbacks[2], nullptr);
    return Launch();
}

// ---- Run state and stop ----------------------------------------------------------------

int PlayRawIsRunning() {
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    return g_hPlayThread.load() != 0 ? 1 : 0;
}

void PlayRawEnableLoop(bool loop) {
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    g_bPlayLoop = loop ? 1 : 0;
}

void PlayRawReleaseSources() {
    CAutoCriticalSection global(g_CriticalSection);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (g_hPlayThread.load() != 0) {
        return;
    }
    CAutoCriticalSection data(g_DataCriticalSection);
    FreeLoadedSources();
}

void PlayRawStop(int clearRespiration) {
    // g_CriticalSection first (the callers hold it already): the play thread's end
    // sequence talks to the instrument on the strength of this stopper's hold on it.
    CAutoCriticalSection global(g_CriticalSection);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    g_bPacingEnable = false;
    if (clearRespiration != 0) {
        g_nRespirationMode = 0;
    }
    const THREAD_HANDLE play = g_hPlayThread.load();
    if (play == 0) {
        memset(g_ACCalMode, 0, sizeof g_ACCalMode);
        return;
    }
    g_hForceStopPlayEvent.SetEvent();
    g_hStopPlayEvent.SetEvent();
    if (IsCurrentThread(play) || IsCurrentThread(g_hReceiveThread.load()) || IsCurrentThread(g_hOutputThread.load())) {
        return;  // a thread of the run itself: it ends once it returns, and the next stop joins it
    }
    WaitForThread(play);
    CloseThread(play);
    g_hPlayThread.store(0);
    g_PlaySendFunction.store(nullptr);
    if (const THREAD_HANDLE reader = g_hReceiveThread.exchange(0)) {
        WaitForThread(reader);
        CloseThread(reader);
    }
    // The producer reads the AC ranges while it builds: cleared once it has ended.
    memset(g_ACCalMode, 0, sizeof g_ACCalMode);
    PlayRawResetAccumulation();
}
