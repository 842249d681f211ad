// The calibration output threads (see CalibrationThreads.h).
//
// The switch-on needs the sampling pause and g_CriticalSection, but a stop may already
// hold the lock while it joins this thread (the starts do not wait for the switch-on):
// the switch-on therefore goes through output::RunLockedUnlessStopped, which gives up
// when the stop comes first. The stop's mark is then consumed, so the thread goes
// straight to its switch-off instead of waiting for a second mark that never comes.
#include "output/CalibrationThreads.h"

#include <climits>
#include <cmath>

#include "output/LockedExchange.h"
#include "output/Output.h"
#include "output/OutputGate.h"
#include "output/OutputEnable.h"
#include "platform/Device.h"
#include "platform/StaticObjects.h"
#include "protocol/Wire.h"

namespace {

enum class Kind { ECG, PPG };

// Switch on, wait for the stop, switch off. The switch-off runs while the stopper holds
// g_CriticalSection for the join, so it needs no lock of its own.
void RunCalibration(Kind kind, _DEVICE_CONTROL_SETTING block) {
    const output::LockedRun on = output::RunLockedUnlessStopped(&g_hStopOutputEvent, [&block, kind] {
        // A failed write is not reported: the thread still waits for the stop.
        if (kind == Kind::PPG || DeviceIsConnected()) {
            WriteDeviceControlSetting(&block, 1);
        }
    });
    if (on != output::LockedRun::Stopped) {
        g_hStopOutputEvent.Wait();
    }
    if (!output::EnterEndSteps()) {
        return;  // a stop that gave up on this thread no longer holds the lock
    }
    if (kind == Kind::ECG) {
        SetOutputPacing(0);  // fails without effect when no instrument is connected
        if (DeviceIsConnected()) {
            NotifyDeviceStopOutputWaveform();
        }
    } else {
        NotifyDeviceStopOutputWaveform();
    }
    output::LeaveEndSteps();
}

uint16_t Low16(int value) { return static_cast<uint16_t>(static_cast<unsigned>(value) & 0xFFFFu); }

// (int)(1000 x rate), saturated (the method-1 records carry 1.0).
int RateField(double rateKHz) {
    const double v = 1000.0 * rateKHz;
    if (std::isnan(v)) {
        return 0;
    }
    if (v <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return v >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

}  // namespace

_DEVICE_CONTROL_SETTING ECGCalibrationBlock(const ECG_WAVEFORM& ecg) {
    _DEVICE_CONTROL_SETTING block = {};
    ECG_WAVEFORM copy = ecg;
    ToDeviceControlSetting(&copy, block);
    block.ucOutputEnable = output::kECGOutputBit;
    return block;
}

_DEVICE_CONTROL_SETTING PPGCalibrationBlock(const PPG_WAVEFORM& ppg, uint8_t outputEnable) {
    _DEVICE_CONTROL_SETTING block = {};
    wire::PutBE16(block.usSampleRate, Low16(RateField(ppg.fSampleRateKHz)));
    wire::PutBE16(block.usSampleFraction, Low16(ppg.nSampleFraction));
    block.ucOutputEnable = outputEnable;
    return block;
}

void OutputWaveformECGCalibrationThread() { RunCalibration(Kind::ECG, ECGCalibrationBlock(g_ECGWaveform)); }

void OutputWaveformPPGCalibrationThread() {
    const uint8_t enable = output::PPGOutputBit(g_iPPGOutputChannelNo == 1 ? 0 : 1);
    RunCalibration(Kind::PPG, PPGCalibrationBlock(g_PPGChannelWaveform[0], enable));
}

void OutputWaveformPPGExCalibrationThread(void*) {
    RunCalibration(Kind::PPG,
                   PPGCalibrationBlock(g_PPGChannelWaveform[0], output::PPGOutputBit(0) | output::PPGOutputBit(1)));
}

void OutputWaveformPPGExCalibrationBody() { OutputWaveformPPGExCalibrationThread(nullptr); }
