// Millivolts to DAC code words, finger-PPG conversions and the automatic-DC conversion.
#include <cmath>

#include "protocol/Memory.h"
#include "protocol/Protocol.h"
#include "waveform/Calibration.h"
#include "waveform/Conversion.h"
#include "waveform/Numeric.h"

using nvs::ClampInt;
using nvs::SatInt;

namespace {

constexpr uint16_t kModel2012 = 0x2012;
constexpr uint16_t kModel2112 = 0x2112;

// The code's low 16 bits with the bytes swapped: little-endian storage gives high byte first.
inline uint16_t ToWireWord(int code) {
    const uint16_t u = static_cast<uint16_t>(code);
    return static_cast<uint16_t>((u >> 8) | (u << 8));
}

inline bool IsChannel(int channel) { return channel >= 1 && channel <= 3; }

}  // namespace

double GetScaledRatioByRespiration(int baselineOhms) {
    switch (baselineOhms) {
        case 500:
            return 2.873038;
        case 1000:
            return 7.827624;
        case 1500:
            return 13.12254;
        case 2000:
            return 17.92;
        default:
            return 1.0;
    }
}

uint16_t ECG_AC_VoltageToDAC(double mv) {
    // The product first, then the 2.5 microvolt step.
    const int k = ClampInt(SatInt(1000.0 * mv / 2.5), -32768, 32767);
    return ToWireWord(k);
}

uint16_t ECG_DC_VoltageToDAC(double mv) {
    double r = mv >= 0.0 ? mv + 0.5 : mv - 0.5;  // half away from zero
    if (std::isnan(r) || r > 1000.0) {
        r = 1000.0;
    } else if (r < -1000.0) {
        r = -1000.0;
    }
    return ToWireWord(g_ECGDCVariableCalibrationData[static_cast<int>(r) + 1000]);
}

uint16_t PPG_AC_VoltageToDAC(int channelIndex, double mv) {
    const double acMaximum = g_DeviceFeature.fACMaximum;
    const double v = mv > acMaximum ? acMaximum : mv;
    double fullScale = acMaximum;
    int level = SatInt(g_nPPGACDacLevel);
    if (GetPPGFullModelNumber() == kModel2112 && channelIndex >= 0 && channelIndex <= 2) {
        static constexpr double kRangeFullScale[3] = {300.0, 15.0, 1.5};
        const int m = g_ACCalMode[channelIndex] > 2 ? 2 : g_ACCalMode[channelIndex];
        fullScale = kRangeFullScale[m];
        const uint16_t factory = g_FactorySettingMCU.usACFullScaleDAC[3 * channelIndex + m];
        if (factory != 0) {
            level = factory;
        }
    }
    // A cleared capability record (after a disconnection) has no full scale: code 0.
    if (!(fullScale > 0.0)) {
        return 0;
    }
    const int k = ClampInt(SatInt(v / fullScale * level), 0, level < 0 ? 0 : level);
    return ToWireWord(k);
}

uint16_t PPG_DC_VoltageToDAC(double mv) {
    const double v = mv > 3000.0 ? 3000.0 : mv;
    const int level = SatInt(g_nPPGDCDacLevel);
    const int k = ClampInt(SatInt(g_nPPGDCDacLevel * (v / 3000.0)), 0, level < 0 ? 0 : level);
    return ToWireWord(k);
}

double FingerDCValueConvert(PPGChannel channel, double mv) {
    const uint16_t model = GetPPGFullModelNumber();
    if (model == kModel2012) {
        const double c = FingerDCCurve(SatInt(mv));
        return c * FingerRangeFactor(SatInt(c / 100.0)) / 0.113;
    }
    if (model == kModel2112 && IsChannel(channel)) {
        return g_PPGDCTable[channel - 1][ClampInt(SatInt(mv), 0, 3000)];
    }
    return mv;
}

int FingerConvertedDCValueIndex(PPGChannel channel, uint16_t value) {
    if (GetPPGFullModelNumber() != kModel2112) {
        return value;
    }
    if (!IsChannel(channel)) {
        return -1;
    }
    // The table ascends with the set-point; search for the exact code.
    const uint16_t* row = g_PPGDCTable[channel - 1];
    int lo = 0;
    int hi = 3001;
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        if (row[mid] == value) {
            return mid;
        }
        if (row[mid] > value) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return -1;
}

double FingerACValueConvert(double mv) {
    if (GetPPGFullModelNumber() != kModel2012) {
        return mv;
    }
    return FingerACCurve(SatInt(10.0 * mv)) / 10.0;
}

double ORVConvertAutoDCToFixedDC(PPGChannel channel, int dcReading, int gainReading) {
    const int mode = g_nTransmissionRateMode;
    if (!IsChannel(channel) || mode < 0 || mode > 5) {
        return 0.0;
    }
    const int j = 6 * (channel - 1) + mode;
    const double ra = 10.0 * ((g_FactorySettingMCU.usRateParamSetting[j] + 1) / 1024.0);
    const double rb = 10.0 * ((g_FactorySettingMCU.usRateLEDSetting[j] + 1) / 1024.0);
    double v = ra / (ra + 5.19) * (3.3 * gainReading / 1024.0 * 1.556 * 1.499) - 0.022;
    if (v < 0.0) {
        v = 0.0;
    } else if (v > 1.2) {
        v = 1.2;
    }
    const double g = std::pow(10.0, 19.7 * v / 20.0);
    // Referred to full gain (15.2054753 at v = 1.2) and to the default rate word 800,
    // whose resistance is 10 x 801 / 1024 = 7.822265625.
    return rb / (rb + 20.0) * dcReading * g / 15.2054753 / (7.822265625 / (7.822265625 + 20.0));
}
