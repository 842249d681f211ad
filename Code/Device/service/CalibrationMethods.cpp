// Calibration output methods 2 to 5: the exported entry points and the starts that fill
// the calibration state, choose the operator mode and hand a send function to the play
// thread (CalibrationStream.h).
//
// Update or new run. While the run that exists streams with this method's own send
// function (and, for methods 2 and 3, in a mode that plays the channels asked for), a
// start changes what that stream builds from: slots, words, and for methods 3Ex and 4 the
// operator mode through the command window. Any other run (an ordinary stream, another
// method, or the same method on a channel its mode does not play) is stopped first and a
// new run started, so a start never reports success with no calibration output and never
// changes another stream's mode.
#include <cmath>
#include <cstring>

#include "api/nvs300.h"
#include "output/Output.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "playback/PlayThreads.h"
#include "protocol/Protocol.h"
#include "protocol/WaveformSetting.h"
#include "service/CalibrationStream.h"
#include "service/ConvertTable.h"
#include "waveform/Waveform.h"

using namespace calibration;

namespace {

constexpr int kChannel1 = 1;
constexpr int kChannel2 = 2;
constexpr double kGeneratedRate = 1000.0;  // method 3's cycle is generated at 1 kHz

unsigned char Sync(int32_t pulse) { return static_cast<unsigned char>(pulse & 0xFF); }

void AtOneKHz(PPG_WAVEFORM* record) {
    record->fSampleRateKHz = 1.0;
    record->nSampleFraction = 0;
}

// PPG channels a calibration mode plays: bit 0 channel 1, bit 1 channel 2.
int ChannelsOf(int mode) {
    switch (mode) {
        case 2:
            return 1;
        case 4:
            return 2;
        case 6:
        case 14:
            return 3;
        default:
            return 0;
    }
}

// True when the run that exists streams with send in a mode that plays every channel of
// wanted (0: any mode).
bool RunServes(PFN_SEND_PACKET send, int wanted) {
    return PlayRawSendFunction() == send && (ChannelsOf(GetOperatorMode()) & wanted) == wanted;
}

void SetSlot(int slot, const PPG_WAVEFORM& record) {
    CAutoCriticalSection lock(g_CalibrationStreamLock);
    g_PPGCalibrationWaveform[slot] = record;
}

void SetSlots(const PPG_WAVEFORM& record1, const PPG_WAVEFORM& record2) {
    CAutoCriticalSection lock(g_CalibrationStreamLock);
    g_PPGCalibrationWaveform[0] = record1;
    g_PPGCalibrationWaveform[1] = record2;
}

void ResetSweeps() {
    CAutoCriticalSection lock(g_CalibrationStreamLock);
    for (int s = 0; s < kSlots; ++s) {
        g_iCalibrationDCValue[s] = 0;
        g_iCalibrationDCAscending[s] = true;
    }
}

void ResetReadPositions() {
    CAutoCriticalSection lock(g_CalibrationStreamLock);
    memset(g_nPlayCounter, 0, sizeof g_nPlayCounter);
}

bool HasWords(int channel) {
    CAutoCriticalSection lock(g_CalibrationStreamLock);
    return g_nPPGSrcSampleCount[channel - 1] > 0;
}

// Callbacks cleared (a calibration stream reports nothing to the host), then the threads.
int Launch(PFN_SEND_PACKET send) {
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    PlayInitCallback(nullptr, nullptr, nullptr, nullptr, nullptr);
    RunPlayThread(send);
    return PlayRawIsRunning();
}

int ModeOf(int enable1, int enable2, bool threeWhenBoth) {
    if (enable1 && enable2) {
        return threeWhenBoth ? 14 : 6;
    }
    return enable1 ? 2 : 4;
}

// Method 3's cycle: one period of the record at 1 kHz, in millivolts.
struct GeneratedCycle {
    PLAY_RAW_DATA data = {};
    ~GeneratedCycle() {
        delete[] data.pACData;
        delete[] data.pDCData;
    }
    bool Generate(PPG_WAVEFORM* record) {
        AtOneKHz(record);
        data.fSampleRate = kGeneratedRate;
        data.nSyncPulse = record->nSyncPulse;
        int count = 0;
        GenPPGWaveform(record, &count, &data.pACData, &data.pDCData, 0.0);
        data.nSampleCount = count;
        return count > 0 && data.pACData != nullptr && data.pDCData != nullptr;
    }
};

// Method 5's phase lengths must be numbers for the slots its mode plays.
bool Method5Lengths(const PPG_WAVEFORM* record1, const PPG_WAVEFORM* record2, int enable1, int enable2) {
    const int played = ChannelsOf(ModeOf(enable1, enable2, false));
    const PPG_WAVEFORM* records[2] = {record1, record2};
    for (int s = 0; s < kSlots; ++s) {
        if ((played >> s & 1) && (std::isnan(records[s]->fAmplitude1) || std::isnan(records[s]->fAmplitude2))) {
            return false;
        }
    }
    return true;
}

}  // namespace

// ---- Starts ----------------------------------------------------------------------------

int CalibrationMethod2(PPGChannel channel, PPG_WAVEFORM* record) {
    if (record == nullptr || (channel != kChannel1 && channel != kChannel2)) {
        return 0;
    }
    const int slot = channel - 1;
    if (RunServes(CalibrationMethod2SendPacket, 1 << slot)) {
        SetSlot(slot, *record);  // the running sweep builds its next packets from it
        return 1;
    }
    PlayRawStop(1);
    SetSlot(slot, *record);
    const unsigned char sync = Sync(record->nSyncPulse);
    if (!UpdateOperatorMode(slot == 0 ? 2 : 4, slot == 0 ? sync : 0, slot == 0 ? 0 : sync, 0, kMethod2Rate)) {
        return 0;
    }
    ResetSweeps();
    UpdateDCConvertTable(channel, record->nNoiseType);
    return Launch(CalibrationMethod2SendPacket);
}

int CalibrationMethod2Ex(PPG_WAVEFORM* record1, PPG_WAVEFORM* record2) {
    if (record1 == nullptr || record2 == nullptr) {
        return 0;
    }
    if (RunServes(CalibrationMethod2SendPacket, 3)) {
        SetSlots(*record1, *record2);
        return 1;
    }
    PlayRawStop(0);
    SetSlots(*record1, *record2);
    if (!UpdateOperatorMode(6, Sync(record1->nSyncPulse), Sync(record2->nSyncPulse), 0, kMethod2Rate)) {
        return 0;
    }
    ResetSweeps();
    UpdateDCConvertTable(PPG_CHANNEL_1, record1->nNoiseType);
    UpdateDCConvertTable(PPG_CHANNEL_2, record2->nNoiseType);
    return Launch(CalibrationMethod2SendPacket);
}

int CalibrationMethod3(PPGChannel channel, const PLAY_RAW_DATA& data, int useFile) {
    if (channel != kChannel1 && channel != kChannel2) {
        return 0;  // the slots, modes and tables cover channels 1 and 2
    }
    if (RunServes(CalibrationMethod3SendPacket, 1 << (channel - 1))) {
        return LoadRawPPG(channel, data, kStreamRate);  // tables and mode stay
    }
    PlayRawStop(0);
    UpdateACConvertTable(channel, useFile);
    UpdateDCConvertTable(channel, useFile);
    if (!LoadRawPPG(channel, data, kStreamRate)) {
        return 0;
    }
    ResetReadPositions();
    const unsigned char sync = Sync(data.nSyncPulse);
    const bool first = channel == kChannel1;
    if (!UpdateOperatorMode(first ? 2 : 4, first ? sync : 0, first ? 0 : sync, 0, kStreamRate)) {
        return 0;
    }
    return Launch(CalibrationMethod3SendPacket);
}

int CalibrationMethod3Ex(const PLAY_RAW_DATA& data1, const PLAY_RAW_DATA& data2, int useFile1, int useFile2,
                         int enable1, int enable2) {
    const int mode = ModeOf(enable1, enable2, IsPPGChannel3Supported());
    const int played = ChannelsOf(mode);
    // A channel the mode plays must hold words, converted now or by an earlier run.
    if (((played & 1) && !enable1 && !HasWords(kChannel1)) || ((played & 2) && !enable2 && !HasWords(kChannel2))) {
        return 0;
    }
    UpdateACConvertTable(PPG_CHANNEL_1, useFile1);
    UpdateDCConvertTable(PPG_CHANNEL_1, useFile1);
    UpdateACConvertTable(PPG_CHANNEL_2, useFile2);
    UpdateDCConvertTable(PPG_CHANNEL_2, useFile2);
    if ((enable1 && !LoadRawPPG(kChannel1, data1, kStreamRate)) ||
        (enable2 && !LoadRawPPG(kChannel2, data2, kStreamRate))) {
        return 0;
    }
    const unsigned char sync1 = enable1 ? Sync(data1.nSyncPulse) : 0;
    const unsigned char sync2 = enable2 ? Sync(data2.nSyncPulse) : 0;
    if (RunServes(CalibrationMethod3SendPacket, 0)) {
        return PlayRawSetOperatorMode(mode, sync1, sync2);
    }
    PlayRawStop(0);
    ResetReadPositions();
    if (!UpdateOperatorMode(mode, sync1, sync2, 0, kStreamRate)) {
        return 0;
    }
    return Launch(CalibrationMethod3SendPacket);
}

int CalibrationMethod4(PPG_WAVEFORM* record1, PPG_WAVEFORM* record2, int enable1, int enable2) {
    if (record1 == nullptr || record2 == nullptr) {
        return 0;
    }
    SetSlots(*record1, *record2);
    UpdateACConvertTable(PPG_CHANNEL_1, record1->nNoiseType);
    UpdateDCConvertTable(PPG_CHANNEL_1, record1->nNoiseType);
    UpdateACConvertTable(PPG_CHANNEL_2, record2->nNoiseType);
    UpdateDCConvertTable(PPG_CHANNEL_2, record2->nNoiseType);
    // A third PPG channel: all three pairs, whatever the flags.
    const int mode = IsPPGChannel3Supported() ? 14 : ModeOf(enable1, enable2, false);
    const unsigned char sync1 = enable1 ? Sync(record1->nSyncPulse) : 0;
    const unsigned char sync2 = enable2 ? Sync(record2->nSyncPulse) : 0;
    if (RunServes(CalibrationMethod4SendPacket, 0)) {
        return PlayRawSetOperatorMode(mode, sync1, sync2);
    }
    PlayRawStop(0);
    if (!UpdateOperatorMode(mode, sync1, sync2, 0, kStreamRate)) {
        return 0;
    }
    return Launch(CalibrationMethod4SendPacket);
}

int CalibrateMethod5(PPG_WAVEFORM* record1, PPG_WAVEFORM* record2, int enable1, int enable2) {
    if (record1 == nullptr || record2 == nullptr || !Method5Lengths(record1, record2, enable1, enable2)) {
        return 0;
    }
    // Always a new run: the engine keeps one play thread.
    PlayRawStop(0);
    ResetReadPositions();
    SetSlots(*record1, *record2);
    const int mode = ModeOf(enable1, enable2, false);
    const unsigned char sync1 = enable1 ? Sync(record1->nSyncPulse) : 0;
    const unsigned char sync2 = enable2 ? Sync(record2->nSyncPulse) : 0;
    if (!UpdateOperatorMode(mode, sync1, sync2, 0, kStreamRate)) {
        return 0;
    }
    return Launch(CalibrationMethod5SendPacket);
}

// ---- Exported functions ----------------------------------------------------------------

bool ORVCalibrateMethod2(PPGChannel channel, PPG_WAVEFORM* record) {
    if (record == nullptr) {
        return false;
    }
    if (OnARunsOwnThread()) {
        return false;  // from a sample callback of the run it would replace
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (!DeviceIsConnected()) {
        return false;
    }
    if (channel < PPG_CHANNEL_1 || channel > PPG_CHANNEL_3) {
        channel = PPG_CHANNEL_1;
    }
    if (channel == PPG_CHANNEL_3) {
        return false;  // no third slot, mode or table row
    }
    AtOneKHz(record);
    if (!RunServes(CalibrationMethod2SendPacket, 1 << (channel - 1))) {
        // Another stream first ends, so that the setting never lands inside its batch.
        PlayRawStop(0);
        if (!WriteWaveformInfo(channel, *record)) {
            return false;
        }
        ORVStopOutputWaveform();
    }
    return CalibrationMethod2(channel, record) != 0;
}

bool ORVCalibrateMethod2Ex(PPG_WAVEFORM* record1, PPG_WAVEFORM* record2) {
    if (record1 == nullptr || record2 == nullptr) {
        return false;
    }
    if (OnARunsOwnThread()) {
        return false;  // from a sample callback of the run it would replace
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (!DeviceIsConnected()) {
        return false;
    }
    AtOneKHz(record1);
    AtOneKHz(record2);
    if (!RunServes(CalibrationMethod2SendPacket, 3)) {
        PlayRawStop(0);
        if (!WriteWaveformInfo(PPG_CHANNEL_1, *record1) || !WriteWaveformInfo(PPG_CHANNEL_2, *record2)) {
            return false;
        }
        ORVStopOutputWaveform();
    }
    return CalibrationMethod2Ex(record1, record2) != 0;
}

bool ORVCalibrateMethod3(PPGChannel channel, PPG_WAVEFORM* record) {
    if (record == nullptr) {
        return false;
    }
    if (OnARunsOwnThread()) {
        return false;  // from a sample callback of the run it would replace
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (!DeviceIsConnected()) {
        return false;
    }
    if (channel < PPG_CHANNEL_1 || channel > PPG_CHANNEL_3) {
        channel = PPG_CHANNEL_1;
    }
    if (channel == PPG_CHANNEL_3) {
        return false;
    }
    GeneratedCycle cycle;
    if (!cycle.Generate(record)) {
        return false;  // a record that generates no samples
    }
    PlayRawEnableLoop(true);
    return CalibrationMethod3(channel, cycle.data, record->nNoiseType) != 0;
}

bool ORVCalibrateMethod3Ex(bool enable1, PPG_WAVEFORM* record1, bool enable2, PPG_WAVEFORM* record2) {
    if (record1 == nullptr || record2 == nullptr) {
        return false;
    }
    if (OnARunsOwnThread()) {
        return false;  // from a sample callback of the run it would replace
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (!DeviceIsConnected()) {
        return false;
    }
    GeneratedCycle cycle1;
    GeneratedCycle cycle2;
    const bool made1 = cycle1.Generate(record1);
    const bool made2 = cycle2.Generate(record2);
    if ((enable1 && !made1) || (enable2 && !made2)) {
        return false;
    }
    PlayRawEnableLoop(true);
    return CalibrationMethod3Ex(cycle1.data, cycle2.data, record1->nNoiseType, record2->nNoiseType, enable1, enable2) !=
           0;
}

bool ORVCalibrateMethod4(bool enable1, PPG_WAVEFORM* record1, bool enable2, PPG_WAVEFORM* record2) {
    if (record1 == nullptr || record2 == nullptr) {
        return false;
    }
    if (OnARunsOwnThread()) {
        return false;  // from a sample callback of the run it would replace
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (!DeviceIsConnected()) {
        return false;
    }
    AtOneKHz(record1);
    AtOneKHz(record2);
    return CalibrationMethod4(record1, record2, enable1, enable2) != 0;
}

bool ORVCalibrateMethod5(bool enable1, PPG_WAVEFORM* record1, bool enable2, PPG_WAVEFORM* record2) {
    if (record1 == nullptr || record2 == nullptr || !Method5Lengths(record1, record2, enable1, enable2)) {
        return false;
    }
    if (OnARunsOwnThread()) {
        return false;  // from a sample callback of the run it would replace
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (!DeviceIsConnected()) {
        return false;
    }
    PlayRawEnableLoop(true);
    return CalibrateMethod5(record1, record2, enable1, enable2) != 0;
}
