// Method 3's converted words: a PPG stream turned once into big-endian DAC words through
// the convert tables (CalibrationStream.h).
#include <cmath>
#include <new>

#include "playback/Signal.h"
#include "protocol/Protocol.h"
#include "service/CalibrationStream.h"
#include "service/ConvertTable.h"

namespace calibration {

namespace {

constexpr int kRowTop = kConvertRowLength - 1;
constexpr double kACFullScaleMv = 30.0;

int Clamp(double v, int top) {
    if (!(v > 0.0)) {
        return 0;  // NaN and negatives
    }
    return v >= top ? top : static_cast<int>(v);
}

// The code's low 16 bits, high byte first in memory.
uint16_t BigEndian(int32_t code) {
    uint16_t word;
    unsigned char* b = reinterpret_cast<unsigned char*>(&word);
    b[0] = static_cast<unsigned char>((code >> 8) & 0xFF);
    b[1] = static_cast<unsigned char>(code & 0xFF);
    return word;
}

// The resampled copies are the loader's own.
struct Resampled {
    double* ac = nullptr;
    double* dc = nullptr;
    ~Resampled() {
        delete[] ac;
        delete[] dc;
    }
};

}  // namespace

int LoadRawPPG(int channel, const PLAY_RAW_DATA& data, int sampleRate) {
    if ((channel != 1 && channel != 2) || data.pACData == nullptr || data.pDCData == nullptr ||
        data.nSampleCount <= 0) {
        return 0;
    }
    const int r = channel - 1;
    const double* ac = data.pACData;
    const double* dc = data.pDCData;
    unsigned long count = static_cast<unsigned long>(data.nSampleCount);
    Resampled copies;
    if (!(data.fSampleRate == static_cast<double>(sampleRate))) {
        unsigned long acCount = 0, dcCount = 0;
        if (!Resample(data.pACData, count, data.fSampleRate, copies.ac, acCount, sampleRate) ||
            !Resample(data.pDCData, count, data.fSampleRate, copies.dc, dcCount, sampleRate) || copies.ac == nullptr ||
            copies.dc == nullptr || acCount != dcCount || acCount == 0) {
            return 0;
        }
        ac = copies.ac;
        dc = copies.dc;
        count = acCount;
    }
    if (count > 0x7FFFFFFFul) {
        return 0;
    }
    uint16_t* acWords = new (std::nothrow) uint16_t[count];
    uint16_t* dcWords = new (std::nothrow) uint16_t[count];
    if (acWords == nullptr || dcWords == nullptr) {
        delete[] acWords;
        delete[] dcWords;
        return 0;
    }
    const double level = g_nPPGDCDacLevel;
    const int top = Clamp(level, kRowTop);
    for (unsigned long k = 0; k < count; ++k) {
        const int x = Clamp(ac[k] / kACFullScaleMv * level, top);
        int32_t acCode = g_ACTable[r][x].load(std::memory_order_relaxed);
        if (acCode > top) {
            acCode = top;
        }
        const int32_t dcCode = g_DCTable[r][Clamp(dc[k], kRowTop)].load(std::memory_order_relaxed);
        acWords[k] = BigEndian(acCode);
        dcWords[k] = BigEndian(dcCode);
    }
    uint16_t* oldAc;
    uint16_t* oldDc;
    {
        CAutoCriticalSection lock(g_CalibrationStreamLock);
        oldAc = g_pPPGAC[r];
        oldDc = g_pPPGDC[r];
        g_pPPGAC[r] = acWords;
        g_pPPGDC[r] = dcWords;
        g_nPPGSrcSampleCount[r] = static_cast<int32_t>(count);
        g_nPlayCounter[r] %= static_cast<uint32_t>(count);
    }
    // No builder holds the old words once the swap is made.
    delete[] oldAc;
    delete[] oldDc;
    return 1;
}

}  // namespace calibration
