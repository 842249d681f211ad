// The calibration output threads: while a factory station measures, the instrument plays
// one uploaded period from its own waveform memory at 1000 points per second (ECG, one
// PPG channel, or PPG channels 1 and 2). The starts (service/CalibrationMethod1.h) upload
// the setting and the period and run one of these bodies through OutputThread, in the
// output thread's slot; the body switches the output on through the device control
// block, waits for the common stop and switches the output off again. No host callback,
// no end marker, no timer.
//
// Owns: the three bodies and the control blocks they write (built purely below). The
// bodies read the output state of Output.h as the starts left it.
#pragma once

#include <cstdint>

#include "api/nvs300.h"
#include "protocol/ControlBlock.h"

// Thread bodies (PFN_OUTPUT_BODY; the Ex form as the threads of the platform take one).
void OutputWaveformECGCalibrationThread();
void OutputWaveformPPGCalibrationThread();
void OutputWaveformPPGExCalibrationThread(void* arg);  // arg is not used
// The Ex body in the form OutputThread runs.
void OutputWaveformPPGExCalibrationBody();

// ---- Pure blocks (no port) ---------------------------------------------------------------

// All zero, then filled from the ECG record (impedance, DC offset, electrode, pacing,
// respiration, rate and fraction, pacing fields); output enable 0x01.
_DEVICE_CONTROL_SETTING ECGCalibrationBlock(const ECG_WAVEFORM& ecg);
// All zero but the rate fields, big-endian: the low 16 bits of (int)(1000 x
// fSampleRateKHz) and of nSampleFraction of the record; the given output enable.
_DEVICE_CONTROL_SETTING PPGCalibrationBlock(const PPG_WAVEFORM& ppg, uint8_t outputEnable);
