// Pure parts of the waveform settings: the two block layouts with their scaling, the
// readers, and the packing of one period into raw packets.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/Protocol.h"
#include "protocol/WaveformSetting.h"
#include "protocol/Wire.h"
#include "waveform/Conversion.h"
#include "waveform/Numeric.h"
#include "waveform/Waveform.h"

namespace {

constexpr double kPPGDCFullScaleMv = 3000.0;
constexpr double kDefaultACRangeMv = 30.0;
constexpr double kACRangesMv2112[3] = {300.0, 15.0, 1.5};  // AC ranges 0, 1, 2 of model 0x2112
constexpr uint16_t kModel2112 = 0x2112;
constexpr uint16_t kFirstFirmwareWithPacingFields = 0x105;

int ChannelIndex(PPGChannel channel) {
    // The sub-command tables treat an unknown channel as channel 1; so do the tables here.
    return (channel == PPG_CHANNEL_2) ? 1 : (channel == PPG_CHANNEL_3 ? 2 : 0);
}

// AC scaling of a channel in an AC range: the range's full scale in mV and the AC DAC
// code that stands for it.
struct ACScale {
    double rangeMv;
    double acLevel;
};

ACScale ACScaleFor(PPGChannel channel, int acRange) {
    if (GetPPGFullModelNumber() != kModel2112) {
        return {kDefaultACRangeMv, g_nPPGACDacLevel};
    }
    const int range = std::min(std::max(acRange, 0), 2);
    const uint16_t fullScale = g_FactorySettingMCU.usACFullScaleDAC[3 * ChannelIndex(channel) + range];
    return {kACRangesMv2112[range], fullScale != 0 ? fullScale : g_nPPGACDacLevel};
}

// A PPG level as a DAC code: value / scale x level, rounded, never above the level.
uint32_t PPGCode(double value, double scale, double level) {
    const double x = value / scale * level;
    return static_cast<uint32_t>(level > x + 0.5 ? nvs::SatInt(x + 0.5) : nvs::SatInt(level));
}

// Respiration bytes A and B. B says what the pair means: 0x80 + ratio for the
// instrument's own respiration modes (A: depth in percent, signed), 0..3 for a baseline
// impedance of external respiration (A: breath ratio - 1), 1 otherwise.
void EncodeRespiration(int depthOrRatio, int ratioOrBaseline, uint8_t* a, uint8_t* b) {
    if (ratioOrBaseline >= 1 && ratioOrBaseline <= 5) {
        *b = static_cast<uint8_t>(0x80 + ratioOrBaseline);
        *a = static_cast<uint8_t>(depthOrRatio);
        return;
    }
    switch (ratioOrBaseline) {
        case 500:
            *b = 0;
            break;
        case 1000:
            *b = 1;
            break;
        case 1500:
            *b = 2;
            break;
        case 2000:
            *b = 3;
            break;
        default:
            *b = 1;
            break;
    }
    *a = static_cast<uint8_t>((depthOrRatio >= 1 && depthOrRatio <= 5) ? depthOrRatio - 1 : 0);
}

double SafeDiv(double a, double b) { return b > 0.0 ? a / b : 0.0; }

}  // namespace

int RoundHalfAway(double value) { return value >= 0.0 ? nvs::SatInt(value + 0.5) : nvs::SatInt(value - 0.5); }

double RoundTo(double value, int digits) {
    const double scale = std::pow(10.0, digits);
    return nvs::SatInt(value * scale + 0.5) / scale;
}

int GetWaveformInfoSubCommandByPPGChannel(int channel) { return channel == 2 ? 0x03 : (channel == 3 ? 0x08 : 0x02); }

int GetWriteWaveformRawDataSubCommandByPPGChannel(PPGChannel channel) {
    return channel == PPG_CHANNEL_2 ? 0x06 : (channel == PPG_CHANNEL_3 ? 0x09 : 0x05);
}

void ToECGWaveformSetting(ECG_WAVEFORM const& w, _READ_WRITE_ECG_WAVEFORM_SETTING& block) {
    uint8_t* b = block.ucData;
    b[0] = 0xEA;
    b[4] = 0;
    wire::PutBE24(b + 5, static_cast<uint32_t>(GetPointNumber(w)));
    wire::PutBE16(b + 8, static_cast<uint32_t>(nvs::SatInt(60.0 * w.fFrequency)));  // beats per minute
    b[10] = static_cast<uint8_t>(w.nWaveformType);
    b[11] = static_cast<uint8_t>(w.nPulseWidth);
    b[12] = static_cast<uint8_t>(w.nRespirationRate);
    b[13] = static_cast<uint8_t>(w.nRespirationAmplitude / 100);
    EncodeRespiration(w.nRespirationDepthOrRatio, w.nRespirationRatioOrBaseline, &b[14], &b[15]);
    // Amplitudes in units of 10 uV.
    wire::PutBE16(b + 16, static_cast<uint32_t>(RoundHalfAway(100.0 * w.fAmplitude)));
    wire::PutBE16(b + 18, static_cast<uint32_t>(RoundHalfAway(100.0 * w.fTAmplitude)));
    wire::PutBE16(b + 20, static_cast<uint32_t>(RoundHalfAway(100.0 * w.fPAmplitude)));
    wire::PutBE16(b + 22, static_cast<uint32_t>(RoundHalfAway(100.0 * w.fSTLevel)));
    wire::PutBE16(b + 24, static_cast<uint32_t>(w.nQRSWidth));
    wire::PutBE16(b + 26, static_cast<uint32_t>(w.nTWidth));
    wire::PutBE16(b + 28, static_cast<uint32_t>(w.nPRInterval));
    wire::PutBE16(b + 30, static_cast<uint32_t>(w.nQTInterval));
    wire::PutBE16(b + 32, static_cast<uint32_t>(w.nDCOffset));
    b[34] = static_cast<uint8_t>(w.bVariableDCOffset);
    b[35] = static_cast<uint8_t>(w.nApneaDuration);
    wire::PutBE16(b + 36, static_cast<uint32_t>(w.nNoiseType));
    wire::PutBE16(b + 38, static_cast<uint32_t>(RoundHalfAway(1000.0 * w.fNoiseAmplitude)));  // uV
    wire::PutBE16(b + 40, static_cast<uint32_t>(RoundHalfAway(10.0 * w.fPacingAmplitude)));   // 0.1 mV
    wire::PutBE16(b + 42, static_cast<uint32_t>(nvs::SatInt(100.0 * w.fPacingWidth)));        // 10 us, truncated
    memset(b + 44, 0, 14);
    // The apnea cycle is the one field the firmware reads low byte first.
    wire::PutLE16(b + 56, static_cast<uint32_t>(w.nApneaCycle));
}

void DecodeECGWaveformSetting(const uint8_t* b, ECG_WAVEFORM* w, int* transitTime) {
    const int rate = wire::GetBE16Signed(b + 8);  // beats per minute
    w->nRRInterval = rate != 0 ? 60000 / rate : 0;
    w->fFrequency = rate / 60.0;
    w->nWaveformType = b[10];
    w->nPulseWidth = b[11];
    w->nRespirationRate = b[12];
    w->nRespirationAmplitude = nvs::ClampInt(100 * b[13], 1000, 5000);
    const uint8_t a = b[14];
    const uint8_t kind = b[15];
    if (kind >= 0x81 && kind <= 0x85) {
        w->nRespirationDepthOrRatio = nvs::ClampInt(static_cast<int8_t>(a), -16, 16);
        w->nRespirationRatioOrBaseline = kind & 0x0F;
    } else if (kind <= 3) {
        const int ratio = a + 1;
        w->nRespirationDepthOrRatio = (ratio >= 1 && ratio <= 5) ? ratio : 1;
        w->nRespirationRatioOrBaseline = 500 * (kind + 1);
    } else {
        w->nRespirationDepthOrRatio = 1;
        w->nRespirationRatioOrBaseline = 1000;
    }
    w->fAmplitude = wire::GetBE16Signed(b + 16) / 100.0;
    w->fTAmplitude = wire::GetBE16Signed(b + 18) / 100.0;
    w->fPAmplitude = wire::GetBE16Signed(b + 20) / 100.0;
    w->fSTLevel = wire::GetBE16Signed(b + 22) / 100.0;
    w->nQRSWidth = wire::GetBE16Signed(b + 24);
    w->nTWidth = wire::GetBE16Signed(b + 26);
    w->nPRInterval = wire::GetBE16Signed(b + 28);
    w->nQTInterval = wire::GetBE16Signed(b + 30);
    w->nDCOffset = wire::GetBE16Signed(b + 32);
    w->bVariableDCOffset = b[34];
    w->nApneaDuration = b[35];
    w->nApneaCycle = wire::GetLE16(b + 56);
    w->nNoiseType = wire::GetBE16Signed(b + 36);
    w->fNoiseAmplitude = wire::GetBE16Signed(b + 38) / 1000.0;
    w->fPacingAmplitude = wire::GetBE16Signed(b + 40) / 10.0;
    w->fPacingWidth = wire::GetBE16Signed(b + 42) / 100.0;
    if (transitTime != nullptr) {
        *transitTime = wire::GetBE16Signed(b + 48);
    }
}

void ToPPGWaveformSetting(PPGChannel channel, PPG_WAVEFORM const& w, _READ_WRITE_PPG_WAVEFORM_SETTING& block) {
    uint8_t* b = block.ucData;
    const bool model2112 = GetPPGFullModelNumber() == kModel2112;
    const int acRange = model2112 ? GetACCalMode(&w) : 0;
    const ACScale scale = ACScaleFor(channel, acRange);
    const double dcLevel = g_nPPGDCDacLevel;
    b[0] = 0xEA;
    b[4] = 1;  // marks this layout: the earlier one numbered the PPG pulse type 2
    wire::PutBE24(b + 5, static_cast<uint32_t>(GetPointNumber(w)));
    wire::PutBE16(b + 8, static_cast<uint32_t>(nvs::SatInt(60.0 * w.fFrequency)));
    b[10] = static_cast<uint8_t>(w.nWaveformType);
    b[11] = static_cast<uint8_t>(w.nSyncPulse);
    b[12] = b[13] = 0;
    wire::PutBE16(b + 14, PPGCode(w.fDCLevel, kPPGDCFullScaleMv, dcLevel));
    // The amplitude codes use the DC DAC level; only the noise uses the AC level.
    wire::PutBE16(b + 16, PPGCode(w.fAmplitude1, scale.rangeMv, dcLevel));
    wire::PutBE16(b + 18, PPGCode(w.fAmplitude2, scale.rangeMv, dcLevel));
    wire::PutBE16(b + 20, PPGCode(w.fAmplitude3, scale.rangeMv, dcLevel));
    wire::PutBE16(b + 22, static_cast<uint32_t>(w.nTime1));
    wire::PutBE16(b + 24, static_cast<uint32_t>(w.nTime2));
    wire::PutBE16(b + 26, static_cast<uint32_t>(w.nTime3));
    wire::PutBE16(b + 28, static_cast<uint32_t>(w.nNoiseType));
    wire::PutBE16(b + 30, static_cast<uint32_t>(nvs::SatInt(0.5 + w.fNoiseAmplitude / scale.rangeMv * scale.acLevel)));
    wire::PutBE16(b + 32, static_cast<uint32_t>(nvs::SatInt(static_cast<int64_t>(100) * w.nRespirationDepth)));
    wire::PutBE16(b + 34, static_cast<uint32_t>(nvs::SatInt(static_cast<int64_t>(100) * w.nRespirationRate)));
    b[36] = static_cast<uint8_t>(w.bInverted);
    b[37] = 0;
    wire::PutBE16(b + 38, static_cast<uint32_t>(nvs::SatInt(100.0 * w.fACOffset)));
    b[40] = static_cast<uint8_t>(w.nRespirationRatio);
    b[41] = 0;
    b[42] = static_cast<uint8_t>(acRange);
    memset(b + 43, 0, 64 - 43);
}

void DecodePPGWaveformSetting(PPGChannel channel, const uint8_t* b, PPG_WAVEFORM* w) {
    const int acRange = GetPPGFullModelNumber() == kModel2112 ? std::min<int>(b[42], 2) : 0;
    const ACScale scale = ACScaleFor(channel, acRange);
    const double dcLevel = g_nPPGDCDacLevel;
    const int rate = wire::GetBE16Signed(b + 8);
    w->nPeriod = rate != 0 ? 60000 / rate : 0;
    w->fFrequency = rate / 60.0;
    w->nWaveformType = b[10];
    w->nSyncPulse = b[11];
    w->fDCLevel = RoundTo(SafeDiv(kPPGDCFullScaleMv * wire::GetBE16(b + 14), dcLevel), 0);
    w->fAmplitude1 = RoundTo(SafeDiv(wire::GetBE16(b + 16), dcLevel) * scale.rangeMv, 2);
    w->fAmplitude2 = RoundTo(SafeDiv(wire::GetBE16(b + 18), dcLevel) * scale.rangeMv, 2);
    w->fAmplitude3 = RoundTo(SafeDiv(wire::GetBE16(b + 20), dcLevel) * scale.rangeMv, 2);
    w->nTime1 = wire::GetBE16(b + 22);
    w->nTime2 = wire::GetBE16(b + 24);
    w->nTime3 = wire::GetBE16(b + 26);
    // The noise was written against the AC level: read it back against the same level.
    w->fNoiseAmplitude = RoundTo(SafeDiv(wire::GetBE16Signed(b + 30), scale.acLevel) * scale.rangeMv, 2);
    w->nNoiseType = wire::GetBE16Signed(b + 28);
    w->nRespirationDepth = static_cast<int>(wire::GetBE16Signed(b + 32) / 100.0);
    w->nRespirationRate = static_cast<int>(wire::GetBE16Signed(b + 34) / 100.0);
    w->bInverted = b[36];
    w->fACOffset = wire::GetBE16Signed(b + 38) / 100.0;
    w->nRespirationRatio = b[40];
    if (b[4] == 0 && w->nWaveformType == 2) {
        w->nWaveformType = 3;  // a block of the earlier layout: its type 2 was the PPG pulse
    }
}

size_t RawBufferBytes(int points) {
    if (points <= 0) {
        return 0;
    }
    const size_t packets = (static_cast<size_t>(points) + kRawPointsPerPacket - 1) / kRawPointsPerPacket;
    return packets * kRawDataBytesPerPacket;
}

void PackECGRawData(ECG_WAVEFORM const& w, const int* ac, int n, uint8_t* buffer) {
    // 2.5 uV per AC DAC step; the external respiration module in circuit attenuates.
    double divisor = 2.5;
    if (w.nRespirationMode != 0) {
        divisor = 2.5 * GetScaledRatioByRespiration(w.nRespirationRatioOrBaseline);
    }
    if (!(divisor > 0.0)) {
        divisor = 2.5;
    }
    // Firmware before 1.5 has no pacing fields in the control block: the pacing pulse
    // travels in the DC words of the period's first samples.
    const bool pacingInDC =
        w.bVariableDCOffset == 0 && g_nFWVersion < kFirstFirmwareWithPacingFields && IsPacingSupported(&w) != 0;
    const int pacingSamples = pacingInDC ? nvs::SatInt(w.fPacingWidth * w.fSampleRateKHz) : 0;
    for (int i = 0; i < n; ++i) {
        double dcMv = 0.0;
        if (w.bVariableDCOffset != 0) {
            dcMv = w.nDCOffset;
        } else if (pacingInDC && i < pacingSamples) {
            dcMv = w.fPacingAmplitude;
        }
        uint8_t* point = buffer + 4 * static_cast<size_t>(i);
        wire::PutSwapped16(point, ECG_DC_VoltageToDAC(dcMv));
        wire::PutBE16(point + 2, static_cast<uint32_t>(nvs::SatInt(ac[i] / divisor)));
    }
}

void PackPPGRawData(PPGChannel channel, PPG_WAVEFORM const& w, const int* ac, const int* dc, int n, uint8_t* buffer) {
    double maxMv = g_DeviceFeature.fACMaximum;
    double acLevel = g_nPPGACDacLevel;
    if (GetPPGFullModelNumber() == kModel2112) {
        const ACScale scale = ACScaleFor(channel, GetACCalMode(&w));
        maxMv = scale.rangeMv;
        acLevel = scale.acLevel;
    }
    // Main units serve PPG with no AC maximum in their capability record (0), and a
    // disconnection zeroes it. Without a full scale there is no AC code to give: the AC
    // words go out as 0, as the waveform model's AC conversion answers, never a
    // division by zero.
    const bool noFullScale = !(maxMv > 0.0) || !std::isfinite(maxMv);
    const double dcLevel = g_nPPGDCDacLevel;
    const int type = w.nWaveformType;
    for (int i = 0; i < n; ++i) {
        uint8_t* point = buffer + 4 * static_cast<size_t>(i);
        wire::PutBE16(point, static_cast<uint32_t>(nvs::SatInt(dcLevel * dc[i] / 1000.0 / kPPGDCFullScaleMv)));
        double a = ac[i] / 10.0;  // units of 10 uV (of 1/200 mV for the shapes in 1/2000 mV)
        if (noFullScale) {
            a = 0.0;
        } else if (type == 0 || type == 1 || type == 2 || type == 255) {
            // Sine, triangle, square and the constant level are generated in 1/2000 mV.
            a = a / (2.0 * 100.0 * maxMv) * acLevel;
        } else if (type == 3 || type == 16) {
            a = a / (100.0 * maxMv) * acLevel;
        }
        wire::PutBE16(point + 2, static_cast<uint32_t>(nvs::SatInt(a)));
    }
}

void BuildRawPacket(uint8_t* out, uint8_t subCommand, int index, const uint8_t* data, size_t available) {
    memset(out, 0, 64);
    out[0] = 0xEA;
    out[1] = 0xFF;
    out[2] = subCommand;
    wire::PutBE16(out + 6, static_cast<uint32_t>(index));
    memcpy(out + 8, data, std::min<size_t>(available, kRawDataBytesPerPacket));
}
