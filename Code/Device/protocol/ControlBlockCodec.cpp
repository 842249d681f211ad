// Pure parts of the control block: the encoders from waveform records, the pulse group
// and the request layouts.
#include <cstring>

#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/Wire.h"
#include "waveform/Calibration.h"
#include "waveform/Numeric.h"

namespace {

// Pacing times are counted by the instrument in steps of 25 us: 2400000 steps a minute.
constexpr uint32_t kStepsPerMinute = 2400000;
constexpr uint32_t kDefaultPacingPeriod = 80000;  // 2 s
// Firmware up to 1.4 does not know the pacing fields (bytes 10..19).
constexpr uint16_t kLastFirmwareWithoutPacingFields = 0x104;

}  // namespace

uint8_t DCOffsetCode(int millivolts) {
    if (millivolts == 300) {
        return 1;
    }
    if (millivolts == -300) {
        return 2;
    }
    return 0;
}

void ToDeviceControlSetting(ECG_WAVEFORM* waveform, _DEVICE_CONTROL_SETTING& block) {
    if (waveform == nullptr) {
        return;
    }
    const ECG_WAVEFORM& w = *waveform;
    block.ucOutputImpedance = static_cast<uint8_t>(w.nImpedance);
    block.ucOutputElectrode = static_cast<uint8_t>(w.nElectrode);
    block.ucDCOffset = w.bVariableDCOffset == 0 ? DCOffsetCode(w.nDCOffset) : 0;
    const bool variableDC = w.bVariableDCOffset != 0 && w.nDCOffset != 0;
    block.ucPacingEnable = (w.bPacingEnable != 0 || variableDC) ? 0xFF : 0x00;
    block.ucRespirationEnable = w.nRespirationMode == 0x80 ? 0xFF : 0x00;
    wire::PutBE16(block.usSampleRate, static_cast<uint32_t>(nvs::SatInt(1000.0 * w.fSampleRateKHz)));
    wire::PutBE16(block.usSampleFraction, static_cast<uint32_t>(w.nSampleFraction));
    if (g_nFWVersion <= kLastFirmwareWithoutPacingFields) {
        return;
    }
    if (block.ucPacingEnable == 0) {
        wire::PutBE16(block.usPacingWidth, 0);
        wire::PutBE32(block.ulPacingPeriod, kDefaultPacingPeriod);
        return;
    }
    const int index = nvs::ClampInt(nvs::SatInt(w.fPacingAmplitude), -1000, 1000) + 1000;
    const uint32_t amplitude =
        w.bPacingEnable != 0
            ? static_cast<uint32_t>(g_ECGDCVariableCalibrationData[index] - g_ECGDCVariableCalibrationData[1000])
            : 0;
    wire::PutBE16(block.usPacingAmplitudeDAC, amplitude);
    wire::PutBE16(block.usPacingWidth, static_cast<uint32_t>(nvs::SatInt((w.fPacingWidth + 5e-7) / 0.025)));
    const int rate = w.nPacingRate;
    wire::PutBE32(block.ulPacingPeriod,
                  rate != 0 ? static_cast<uint32_t>(static_cast<int64_t>(kStepsPerMinute) / rate) : 0);
    wire::PutBE16(block.usPacingPeriodRemainder,
                  rate != 0 ? static_cast<uint32_t>(static_cast<int64_t>(kStepsPerMinute) % rate) : 0);
}

void ToDeviceControlSetting(PPG_WAVEFORM* waveform, _DEVICE_CONTROL_SETTING& block) {
    if (waveform == nullptr) {
        return;
    }
    block.ucOutputImpedance = 0;
    block.ucDCOffset = 0;
    block.ucOutputElectrode = 0;
    block.ucPacingEnable = 0;
    block.ucRespirationEnable = 0;
    wire::PutBE16(block.usSampleRate, static_cast<uint32_t>(nvs::SatInt(1000.0 * waveform->fSampleRateKHz)));
    wire::PutBE16(block.usSampleFraction, static_cast<uint32_t>(waveform->nSampleFraction));
    wire::PutBE16(block.usPacingWidth, 0);
    wire::PutBE32(block.ulPacingPeriod, kDefaultPacingPeriod);
}

void BuildOperatorModeRequest(uint8_t* out, int mode, uint8_t sync1, uint8_t sync2, uint8_t sync3, int rate,
                              const uint8_t acCalMode[3]) {
    memset(out, 0, kOperatorModeLength);
    out[0] = 0x00;
    out[1] = 0xFF;
    out[2] = static_cast<uint8_t>(mode);
    wire::PutBE16(out + 3, static_cast<uint32_t>(rate));
    out[5] = sync1;
    out[6] = sync2;
    out[7] = sync3;
    out[8] = acCalMode[0];
    out[9] = acCalMode[1];
    out[10] = acCalMode[2];
}

void BuildControlBlockWrite(uint8_t* out, const _DEVICE_CONTROL_SETTING& block, int apply) {
    out[0] = 0xEA;
    out[1] = 0xFF;
    out[2] = 0x00;
    out[3] = apply != 0 ? 1 : 0;  // the apply flag rides in the status byte
    memcpy(out + 4, &block, sizeof block);
    // Byte 5 of the block is a switch: only 0xFF turns external respiration on.
    if (block.ucRespirationEnable != 0xFF) {
        out[4 + offsetof(_DEVICE_CONTROL_SETTING, ucRespirationEnable)] = 0;
    }
}

void DecodeLEDPulseGroup(const _DEVICE_CONTROL_SETTING& block, PPG_LED_PULSE_GROUP_SETTING* group) {
    group->usPeriod = block.ucLEDNoPeriod == 0 ? wire::GetBE16(block.usLEDPulsePeriod) : 0;
    for (int i = 0; i < 8; ++i) {
        const uint8_t v = block.ucLEDPulseSlot[i];
        group->ucSlot[i] = (v == 0 || v == 1 || v == 2 || v == 4) ? v : 0;
    }
    if (group->usPeriod != 0) {
        return;
    }
    for (int k = 0; k < 8; ++k) {
        if (group->ucSlot[k] == 4) {
            if (k > 0) {
                memmove(group->ucSlot, group->ucSlot + k, static_cast<size_t>(8 - k));
            }
            return;
        }
    }
}

void EncodeLEDPulseGroup(const PPG_LED_PULSE_GROUP_SETTING& group, _DEVICE_CONTROL_SETTING& block) {
    if (group.usPeriod != 0) {
        block.ucLEDNoPeriod = 0;
        wire::PutBE16(block.usLEDPulsePeriod, group.usPeriod);
    } else {
        block.ucLEDNoPeriod = 1;  // the period bytes keep what the instrument held
    }
    memcpy(block.ucLEDPulseSlot, group.ucSlot, sizeof group.ucSlot);
}
