// Calibration method 1: period builders, uploads and the three exported starts.
//
// Sound behaviour beyond the bare algorithm:
// - Codes that index a convert table stay inside the row: the sine's codes in
//   0..trunc(L) (a negative height would index below it), the DC code in 0..65535, NaN
//   as 0.
// - A period outside 1..65536 points is refused before anything is stopped or sent: the
//   upload's point index is 16 bits, and an empty period has nothing to play.
// - The calibration threads switch on through the output's lock helper, so a stop that
//   takes the lock first never waits for a thread that waits for the lock.
#include "service/CalibrationMethod1.h"

#include <algorithm>
#include <cmath>

#include "api/AutoPauseSampling.h"
#include "output/CalibrationThreads.h"
#include "output/Output.h"
#include "output/OutputGate.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "protocol/Protocol.h"
#include "protocol/WaveformSetting.h"
#include "protocol/Wire.h"
#include "service/ConvertTable.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr int kMaxCode = 65535;

// trunc(v) kept in 0..high; NaN gives 0.
int CodeIn(double v, int high) {
    if (!(v > 0.0)) {
        return 0;  // negative, zero or NaN
    }
    if (v >= static_cast<double>(high)) {
        return high;
    }
    return static_cast<int>(v);
}

// trunc(v) as an int, saturated; NaN gives 0 (the ECG codes are sent as their low 16 bits).
int Trunc(double v) {
    if (std::isnan(v)) {
        return 0;
    }
    if (v <= -2147483648.0) {
        return INT32_MIN;
    }
    return v >= 2147483647.0 ? INT32_MAX : static_cast<int>(v);
}

void PutPoint(std::vector<uint8_t>& out, size_t i, int dc, int ac) {
    wire::PutBE16(&out[4 * i], static_cast<uint32_t>(dc) & 0xFFFFu);
    wire::PutBE16(&out[4 * i + 2], static_cast<uint32_t>(ac) & 0xFFFFu);
}

// The sub-command of the PPG period of channel 1 or 2.
int PPGRawSubCommand(PPGChannel channel) { return channel == PPG_CHANNEL_2 ? 6 : 5; }

// The stop of the PPG forms, which hold g_CriticalSection across it: they cannot wait for
// a thread that a stop left running (OutputGate.h), so they refuse while one runs.
bool StopHoldingTheLock() {
    ORVStopOutputWaveform();
    return !output::LateOutputThreadLeft();
}

// Refused while a thread that a stop left running has not ended (OutputGate.h).
bool StartCalibrationThread(PFN_OUTPUT_BODY body) {
    if (output::LateOutputThreadLeft()) {
        return false;
    }
    THREAD_HANDLE handle = 0;
    if (CreateThread(&handle, OutputThread, reinterpret_cast<void*>(body)) == 0) {
        handle = 0;
    }
    g_hOutputWaveformThread = handle;
    return handle != 0;
}

// The method's copy of a PPG record: 1000 points per second, no fraction.
void TakeMethod1Record(int slot, const PPG_WAVEFORM& ppg) {
    g_PPGChannelWaveform[slot] = ppg;
    g_PPGChannelWaveform[slot].fSampleRateKHz = 1.0;
    g_PPGChannelWaveform[slot].nSampleFraction = 0;
    g_OutputPPGChannelCallback[slot] = nullptr;
}

bool UploadPPG(PPGChannel channel, int slot) {
    return WriteWaveformInfo(channel, g_PPGChannelWaveform[slot]) &&
           CalibrateMethod1WritePPGRawData(channel, g_PPGChannelWaveform[slot]);
}

}  // namespace

bool IsMethod1PeriodLength(int points) { return points >= 1 && points <= kMethod1MaxPoints; }

std::vector<uint8_t> BuildECGMethod1Period(const ECG_WAVEFORM& ecg) {
    if (!IsMethod1PeriodLength(ecg.nRRInterval)) {
        return {};
    }
    const size_t n = static_cast<size_t>(ecg.nRRInterval);
    std::vector<uint8_t> out(RawBufferBytes(ecg.nRRInterval), 0);
    const int dc = ecg.bVariableDCOffset != 0 ? ecg.nDCOffset : 0;
    const int ac = Trunc(ecg.fAmplitude);
    for (size_t i = 0; i < n; ++i) {
        PutPoint(out, i, dc, ac);
    }
    return out;
}

std::vector<uint8_t> BuildPPGMethod1Period(const PPG_WAVEFORM& ppg, double dacLevel, const std::atomic<int32_t>* acRow,
                                           const std::atomic<int32_t>* dcRow) {
    if (!IsMethod1PeriodLength(ppg.nPeriod)) {
        return {};
    }
    const int n = ppg.nPeriod;
    const int top = CodeIn(dacLevel, kMaxCode);
    int dc = CodeIn(ppg.fDCLevel, kMaxCode);
    if (dcRow != nullptr) {
        dc = dcRow[dc].load(std::memory_order_relaxed);
    }
    std::vector<uint8_t> out(RawBufferBytes(n), 0);
    for (int i = 0; i < n; ++i) {
        const double v = 0.5 + (std::sin(kTwoPi * i / n) + 1.0) / 2.0 * ppg.fAmplitude1;
        int ac = CodeIn(v, top);
        if (acRow != nullptr) {
            ac = acRow[ac].load(std::memory_order_relaxed);
        }
        PutPoint(out, static_cast<size_t>(i), dc, ac);
    }
    return out;
}

bool ECGCalibrateMethod1WriteRawData(const ECG_WAVEFORM& ecg) {
    std::vector<uint8_t> period = BuildECGMethod1Period(ecg);
    if (period.empty()) {
        return false;
    }
    return WriteWaveformRawData(period.data(), static_cast<unsigned int>(period.size()), kECGRawSubCommand);
}

bool CalibrateMethod1WritePPGRawData(PPGChannel channel, const PPG_WAVEFORM& ppg) {
    const int row = channel == PPG_CHANNEL_2 ? 1 : 0;
    const PPGChannel tableChannel = row == 1 ? PPG_CHANNEL_2 : PPG_CHANNEL_1;
    // Rebuilt whether or not the codes pass through them.
    UpdateACConvertTable(tableChannel, ppg.nNoiseType);
    UpdateDCConvertTable(tableChannel, ppg.nNoiseType);
    const bool tables = ppg.bInverted != 0;
    std::vector<uint8_t> period = BuildPPGMethod1Period(ppg, g_nPPGDCDacLevel, tables ? g_ACTable[row] : nullptr,
                                                        tables ? g_DCTable[row] : nullptr);
    if (period.empty()) {
        return false;
    }
    return WriteWaveformRawData(period.data(), static_cast<unsigned int>(period.size()), PPGRawSubCommand(channel));
}

bool ORVECGCalibrateMethod1(ECG_WAVEFORM* ecg) {
    if (ecg == nullptr || !IsMethod1PeriodLength(ecg->nRRInterval)) {
        return false;
    }
    if (!StopBeforeStart()) {
        return false;
    }
    CAutoPauseSampling pause;
    CAutoCriticalSection lock(g_CriticalSection);
    StopOutputWaveform();  // an output another host thread started since the stop above
    g_ECGWaveform = *ecg;
    g_OutputECGCallback = nullptr;
    g_ECGWaveform.fSampleRateKHz = 1.0;
    g_ECGWaveform.nSampleFraction = 0;
    if (DeviceIsConnected()) {
        if (!WriteWaveformInfo(g_ECGWaveform, 0, 0, 0) || !ECGCalibrateMethod1WriteRawData(g_ECGWaveform)) {
            return false;
        }
    }
    return StartCalibrationThread(OutputWaveformECGCalibrationThread);
}

bool ORVCalibrateMethod1(PPGChannel channel, PPG_WAVEFORM* ppg) {
    if (ppg == nullptr || !IsMethod1PeriodLength(ppg->nPeriod)) {
        return false;
    }
    if (OnARunsOwnThread()) {
        return false;  // from a sample callback of the run it would replace
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (!DeviceIsConnected()) {
        return false;
    }
    if (!StopHoldingTheLock()) {
        return false;
    }
    const PPGChannel ch = channel == PPG_CHANNEL_2 ? PPG_CHANNEL_2 : PPG_CHANNEL_1;
    TakeMethod1Record(0, *ppg);  // the first slot, whichever channel is meant
    g_iPPGOutputChannelNo = ch;
    if (!UploadPPG(ch, 0)) {
        return false;
    }
    return StartCalibrationThread(OutputWaveformPPGCalibrationThread);
}

bool ORVCalibrateMethod1Ex(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2) {
    if (ppg1 == nullptr || ppg2 == nullptr || !IsMethod1PeriodLength(ppg1->nPeriod) ||
        !IsMethod1PeriodLength(ppg2->nPeriod)) {
        return false;
    }
    if (OnARunsOwnThread()) {
        return false;  // from a sample callback of the run it would replace
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (!DeviceIsConnected()) {
        return false;
    }
    if (!StopHoldingTheLock()) {
        return false;
    }
    TakeMethod1Record(0, *ppg1);
    TakeMethod1Record(1, *ppg2);
    if (!WriteWaveformInfo(PPG_CHANNEL_1, g_PPGChannelWaveform[0]) ||
        !WriteWaveformInfo(PPG_CHANNEL_2, g_PPGChannelWaveform[1]) ||
        !CalibrateMethod1WritePPGRawData(PPG_CHANNEL_1, g_PPGChannelWaveform[0]) ||
        !CalibrateMethod1WritePPGRawData(PPG_CHANNEL_2, g_PPGChannelWaveform[1])) {
        return false;
    }
    return StartCalibrationThread(OutputWaveformPPGExCalibrationBody);
}
