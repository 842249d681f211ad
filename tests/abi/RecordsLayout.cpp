// The layout of every host-facing record of the exported header, on each target.
//
// For each record that api/nvs300.h declares: one NVS_ABI_SIZE line, and one
// NVS_ABI_MEMBER line per member with its size and its offset on x86-64, i386, armhf and
// aarch64, worked out from each target's alignment rules (two probes below pin the rules
// themselves); then the size of the enumerations passed by value. Hosts declare these
// records themselves and the library copies them whole, so a record that a later change
// moves breaks every target's build here instead of a host at run time.
#include <cstddef>

#include "AbiLayout.h"
#include "api/nvs300.h"

namespace {

// Probes of the two layout rules the records rely on: a double after a 32-bit field is
// 8-aligned except on i386, and pointers (arrays, callbacks) are 4 bytes on the 32-bit
// targets.
struct DoubleAfterInt {
    int32_t n;
    double f;
};
NVS_ABI_SIZE(DoubleAfterInt, 16, 12, 16, 16);
NVS_ABI_OFFSET(DoubleAfterInt, f, 8, 4, 8, 8);

struct PointerAfterInt {
    int32_t n;
    void (*callback)(double, int, int);
};
NVS_ABI_SIZE(PointerAfterInt, 16, 8, 8, 16);
NVS_ABI_OFFSET(PointerAfterInt, callback, 8, 4, 4, 8);

constexpr std::size_t kPointer = NVS_ABI_PICK(8, 4, 4, 8);

}  // namespace

// Natural alignment: each double after an odd number of 32-bit fields is padded to 8,
// except on i386, where doubles are 4-aligned inside records.
NVS_ABI_SIZE(ECG_WAVEFORM, 168, 160, 168, 168);
NVS_ABI_MEMBER(ECG_WAVEFORM, nWaveformType, 4, 0, 0, 0, 0);
NVS_ABI_MEMBER(ECG_WAVEFORM, fFrequency, 8, 8, 4, 8, 8);
NVS_ABI_MEMBER(ECG_WAVEFORM, fAmplitude, 8, 16, 12, 16, 16);
NVS_ABI_MEMBER(ECG_WAVEFORM, fTAmplitude, 8, 24, 20, 24, 24);
NVS_ABI_MEMBER(ECG_WAVEFORM, fPAmplitude, 8, 32, 28, 32, 32);
NVS_ABI_MEMBER(ECG_WAVEFORM, fSTLevel, 8, 40, 36, 40, 40);
NVS_ABI_MEMBER(ECG_WAVEFORM, bVariableDCOffset, 4, 48, 44, 48, 48);
NVS_ABI_MEMBER(ECG_WAVEFORM, nDCOffset, 4, 52, 48, 52, 52);
NVS_ABI_MEMBER(ECG_WAVEFORM, nRRInterval, 4, 56, 52, 56, 56);
NVS_ABI_MEMBER(ECG_WAVEFORM, nPRInterval, 4, 60, 56, 60, 60);
NVS_ABI_MEMBER(ECG_WAVEFORM, nQRSWidth, 4, 64, 60, 64, 64);
NVS_ABI_MEMBER(ECG_WAVEFORM, nTWidth, 4, 68, 64, 68, 68);
NVS_ABI_MEMBER(ECG_WAVEFORM, nQTInterval, 4, 72, 68, 72, 72);
NVS_ABI_MEMBER(ECG_WAVEFORM, nImpedance, 4, 76, 72, 76, 76);
NVS_ABI_MEMBER(ECG_WAVEFORM, nElectrode, 4, 80, 76, 80, 80);
NVS_ABI_MEMBER(ECG_WAVEFORM, nPulseWidth, 4, 84, 80, 84, 84);
NVS_ABI_MEMBER(ECG_WAVEFORM, fNoiseAmplitude, 8, 88, 84, 88, 88);
NVS_ABI_MEMBER(ECG_WAVEFORM, nNoiseType, 4, 96, 92, 96, 96);
NVS_ABI_MEMBER(ECG_WAVEFORM, bPacingEnable, 4, 100, 96, 100, 100);
NVS_ABI_MEMBER(ECG_WAVEFORM, fPacingAmplitude, 8, 104, 100, 104, 104);
NVS_ABI_MEMBER(ECG_WAVEFORM, fPacingWidth, 8, 112, 108, 112, 112);
NVS_ABI_MEMBER(ECG_WAVEFORM, nPacingRate, 4, 120, 116, 120, 120);
NVS_ABI_MEMBER(ECG_WAVEFORM, nRespirationMode, 4, 124, 120, 124, 124);
NVS_ABI_MEMBER(ECG_WAVEFORM, nRespirationAmplitude, 4, 128, 124, 128, 128);
NVS_ABI_MEMBER(ECG_WAVEFORM, nRespirationRate, 4, 132, 128, 132, 132);
NVS_ABI_MEMBER(ECG_WAVEFORM, nRespirationDepthOrRatio, 4, 136, 132, 136, 136);
NVS_ABI_MEMBER(ECG_WAVEFORM, nRespirationRatioOrBaseline, 4, 140, 136, 140, 140);
NVS_ABI_MEMBER(ECG_WAVEFORM, nApneaDuration, 4, 144, 140, 144, 144);
NVS_ABI_MEMBER(ECG_WAVEFORM, nApneaCycle, 4, 148, 144, 148, 148);
NVS_ABI_MEMBER(ECG_WAVEFORM, fSampleRateKHz, 8, 152, 148, 152, 152);
NVS_ABI_MEMBER(ECG_WAVEFORM, nSampleFraction, 4, 160, 156, 160, 160);

// Natural alignment, except fSampleRateKHz: 4-aligned on every target (ORV_DOUBLE_ALIGN4),
// so it follows nApneaCycle at once and the 64-bit records end in 4 bytes of padding.
NVS_ABI_SIZE(PPG_WAVEFORM, 128, 124, 128, 128);
NVS_ABI_MEMBER(PPG_WAVEFORM, nWaveformType, 4, 0, 0, 0, 0);
NVS_ABI_MEMBER(PPG_WAVEFORM, fFrequency, 8, 8, 4, 8, 8);
NVS_ABI_MEMBER(PPG_WAVEFORM, fDCLevel, 8, 16, 12, 16, 16);
NVS_ABI_MEMBER(PPG_WAVEFORM, fAmplitude1, 8, 24, 20, 24, 24);
NVS_ABI_MEMBER(PPG_WAVEFORM, fAmplitude2, 8, 32, 28, 32, 32);
NVS_ABI_MEMBER(PPG_WAVEFORM, fAmplitude3, 8, 40, 36, 40, 40);
NVS_ABI_MEMBER(PPG_WAVEFORM, fACOffset, 8, 48, 44, 48, 48);
NVS_ABI_MEMBER(PPG_WAVEFORM, nTime1, 4, 56, 52, 56, 56);
NVS_ABI_MEMBER(PPG_WAVEFORM, nTime2, 4, 60, 56, 60, 60);
NVS_ABI_MEMBER(PPG_WAVEFORM, nTime3, 4, 64, 60, 64, 64);
NVS_ABI_MEMBER(PPG_WAVEFORM, nPeriod, 4, 68, 64, 68, 68);
NVS_ABI_MEMBER(PPG_WAVEFORM, nSyncPulse, 4, 72, 68, 72, 72);
NVS_ABI_MEMBER(PPG_WAVEFORM, bInverted, 4, 76, 72, 76, 76);
NVS_ABI_MEMBER(PPG_WAVEFORM, fNoiseAmplitude, 8, 80, 76, 80, 80);
NVS_ABI_MEMBER(PPG_WAVEFORM, nNoiseType, 4, 88, 84, 88, 88);
NVS_ABI_MEMBER(PPG_WAVEFORM, nRespirationMode, 4, 92, 88, 92, 92);
NVS_ABI_MEMBER(PPG_WAVEFORM, nRespirationRate, 4, 96, 92, 96, 96);
NVS_ABI_MEMBER(PPG_WAVEFORM, nRespirationDepth, 4, 100, 96, 100, 100);
NVS_ABI_MEMBER(PPG_WAVEFORM, nRespirationRatio, 4, 104, 100, 104, 104);
NVS_ABI_MEMBER(PPG_WAVEFORM, nApneaDuration, 4, 108, 104, 108, 108);
NVS_ABI_MEMBER(PPG_WAVEFORM, nApneaCycle, 4, 112, 108, 112, 112);
NVS_ABI_MEMBER(PPG_WAVEFORM, fSampleRateKHz, 8, 116, 112, 116, 116);
NVS_ABI_MEMBER(PPG_WAVEFORM, nSampleFraction, 4, 124, 120, 124, 124);

// Pointers are 4 bytes on the 32-bit targets; the leading double keeps the record
// 8-aligned on armhf (28 bytes padded to 32), 4-aligned on i386.
NVS_ABI_SIZE(PLAY_RAW_DATA, 40, 28, 32, 40);
NVS_ABI_MEMBER(PLAY_RAW_DATA, fSampleRate, 8, 0, 0, 0, 0);
NVS_ABI_MEMBER(PLAY_RAW_DATA, nSampleCount, 4, 8, 8, 8, 8);
NVS_ABI_MEMBER(PLAY_RAW_DATA, nSyncPulse, 4, 12, 12, 12, 12);
NVS_ABI_MEMBER(PLAY_RAW_DATA, pACData, kPointer, 16, 16, 16, 16);
NVS_ABI_MEMBER(PLAY_RAW_DATA, pDCData, kPointer, 24, 20, 20, 24);
NVS_ABI_MEMBER(PLAY_RAW_DATA, pCallback, kPointer, 32, 24, 24, 32);

// The sweeps: natural alignment, so the trailing 32-bit field pads the record to 8 except
// on i386, and in FREQUENCY_SCAN2 the double after nSyncPulse is padded to 8 except there.
NVS_ABI_SIZE(FREQUENCY_SCAN, 32, 28, 32, 32);
NVS_ABI_MEMBER(FREQUENCY_SCAN, fAmplitude, 8, 0, 0, 0, 0);
NVS_ABI_MEMBER(FREQUENCY_SCAN, fStartFrequency, 8, 8, 8, 8, 8);
NVS_ABI_MEMBER(FREQUENCY_SCAN, fEndFrequency, 8, 16, 16, 16, 16);
NVS_ABI_MEMBER(FREQUENCY_SCAN, nDuration, 4, 24, 24, 24, 24);

NVS_ABI_SIZE(FREQUENCY_SCAN2, 48, 40, 48, 48);
NVS_ABI_MEMBER(FREQUENCY_SCAN2, fAmplitude, 8, 0, 0, 0, 0);
NVS_ABI_MEMBER(FREQUENCY_SCAN2, fDCLevel, 8, 8, 8, 8, 8);
NVS_ABI_MEMBER(FREQUENCY_SCAN2, nSyncPulse, 4, 16, 16, 16, 16);
NVS_ABI_MEMBER(FREQUENCY_SCAN2, fStartFrequency, 8, 24, 20, 24, 24);
NVS_ABI_MEMBER(FREQUENCY_SCAN2, fEndFrequency, 8, 32, 28, 32, 32);
NVS_ABI_MEMBER(FREQUENCY_SCAN2, nDuration, 4, 40, 36, 40, 40);

// Bytes, then 32-bit fields: the same on every target.
NVS_ABI_SIZE(MODEL_INFORMATION, 24, 24, 24, 24);
NVS_ABI_MEMBER(MODEL_INFORMATION, cProductName, 2, 0, 0, 0, 0);
NVS_ABI_MEMBER(MODEL_INFORMATION, ucGeneration, 1, 2, 2, 2, 2);
NVS_ABI_MEMBER(MODEL_INFORMATION, ucModel, 1, 3, 3, 3, 3);
NVS_ABI_MEMBER(MODEL_INFORMATION, iSerialNumber, 4, 4, 4, 4, 4);
NVS_ABI_MEMBER(MODEL_INFORMATION, nSerialPrefix, 4, 8, 8, 8, 8);
NVS_ABI_MEMBER(MODEL_INFORMATION, nLEDType, 12, 12, 12, 12, 12);

// Seven 32-bit fields.
NVS_ABI_SIZE(HW_INFORMATION, 28, 28, 28, 28);
NVS_ABI_MEMBER(HW_INFORMATION, nFWMajor, 4, 0, 0, 0, 0);
NVS_ABI_MEMBER(HW_INFORMATION, nFWMinor, 4, 4, 4, 4, 4);
NVS_ABI_MEMBER(HW_INFORMATION, nFWRevision, 4, 8, 8, 8, 8);
NVS_ABI_MEMBER(HW_INFORMATION, nHWMinor, 4, 12, 12, 12, 12);
NVS_ABI_MEMBER(HW_INFORMATION, nHWMajor, 4, 16, 16, 16, 16);
NVS_ABI_MEMBER(HW_INFORMATION, nExtModuleVersionHigh, 4, 20, 20, 20, 20);
NVS_ABI_MEMBER(HW_INFORMATION, nExtModuleVersionLow, 4, 24, 24, 24, 24);

// Six 32-bit fields put the doubles on an 8-byte boundary on every target.
NVS_ABI_SIZE(DEVICE_FEATURE, 80, 80, 80, 80);
NVS_ABI_MEMBER(DEVICE_FEATURE, bSeparatePPGModule, 4, 0, 0, 0, 0);
NVS_ABI_MEMBER(DEVICE_FEATURE, nPPGModuleNumber, 4, 4, 4, 4, 4);
NVS_ABI_MEMBER(DEVICE_FEATURE, nFPGAType, 4, 8, 8, 8, 8);
NVS_ABI_MEMBER(DEVICE_FEATURE, nPPGChannelNumber, 4, 12, 12, 12, 12);
NVS_ABI_MEMBER(DEVICE_FEATURE, nFlag1, 4, 16, 16, 16, 16);
NVS_ABI_MEMBER(DEVICE_FEATURE, nFlag2, 4, 20, 20, 20, 20);
NVS_ABI_MEMBER(DEVICE_FEATURE, fACMinimum, 8, 24, 24, 24, 24);
NVS_ABI_MEMBER(DEVICE_FEATURE, fACMaximum, 8, 32, 32, 32, 32);
NVS_ABI_MEMBER(DEVICE_FEATURE, fDCMinimum, 8, 40, 40, 40, 40);
NVS_ABI_MEMBER(DEVICE_FEATURE, fDCMaximum, 8, 48, 48, 48, 48);
NVS_ABI_MEMBER(DEVICE_FEATURE, fParam1, 8, 56, 56, 56, 56);
NVS_ABI_MEMBER(DEVICE_FEATURE, fParam2, 8, 64, 64, 64, 64);
NVS_ABI_MEMBER(DEVICE_FEATURE, nParam1, 4, 72, 72, 72, 72);
NVS_ABI_MEMBER(DEVICE_FEATURE, nParam2, 4, 76, 76, 76, 76);

// Byte and 16-bit fields: the same on every target.
NVS_ABI_SIZE(PPG_LED_PULSE_GROUP_SETTING, 10, 10, 10, 10);
NVS_ABI_MEMBER(PPG_LED_PULSE_GROUP_SETTING, ucSlot, 8, 0, 0, 0, 0);
NVS_ABI_MEMBER(PPG_LED_PULSE_GROUP_SETTING, usPeriod, 2, 8, 8, 8, 8);

NVS_ABI_SIZE(PPG_LED_SETTING, 32, 32, 32, 32);
NVS_ABI_MEMBER(PPG_LED_SETTING, ucData, 32, 0, 0, 0, 0);

NVS_ABI_SIZE(AUTO_TRIGGER_STATUS, 10, 10, 10, 10);
NVS_ABI_MEMBER(AUTO_TRIGGER_STATUS, ucStatus, 2, 0, 0, 0, 0);
NVS_ABI_MEMBER(AUTO_TRIGGER_STATUS, ucFlags, 1, 2, 2, 2, 2);
NVS_ABI_MEMBER(AUTO_TRIGGER_STATUS, ucReserved, 3, 3, 3, 3, 3);
NVS_ABI_MEMBER(AUTO_TRIGGER_STATUS, usLevel1, 2, 6, 6, 6, 6);
NVS_ABI_MEMBER(AUTO_TRIGGER_STATUS, usLevel2, 2, 8, 8, 8, 8);

// Eighteen doubles, no padding on any target.
NVS_ABI_SIZE(FPGA_PD_REPORT, 144, 144, 144, 144);
NVS_ABI_MEMBER(FPGA_PD_REPORT, fSignal, 48, 0, 0, 0, 0);
NVS_ABI_MEMBER(FPGA_PD_REPORT, fLevel1, 24, 48, 48, 48, 48);
NVS_ABI_MEMBER(FPGA_PD_REPORT, fLevel2, 24, 72, 72, 72, 72);
NVS_ABI_MEMBER(FPGA_PD_REPORT, fScaled1, 24, 96, 96, 96, 96);
NVS_ABI_MEMBER(FPGA_PD_REPORT, fScaled2, 24, 120, 120, 120, 120);

// Enumerations passed by value are int-sized on every target.
NVS_ABI_SIZE(PPGChannel, 4, 4, 4, 4);
NVS_ABI_SIZE(SyncPulse, 4, 4, 4, 4);
NVS_ABI_SIZE(PPGAmbientLightMode, 4, 4, 4, 4);
NVS_ABI_SIZE(PPGSampling, 4, 4, 4, 4);
