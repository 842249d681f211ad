// Derived views of loaded or file data: the range of a loaded PPG channel and the
// inversion of PPG sample data.
#include <algorithm>
#include <cfloat>
#include <cmath>

#include "platform/StaticObjects.h"
#include "playback/PlayControl.h"
#include "playback/PlaybackState.h"
#include "playback/Sources.h"

namespace {

constexpr double kInvertDCStepMv = 30.0;
constexpr double kInvertDCMaxMv = 3000.0;
constexpr double kInvertACMaxMv = 30.0;

}  // namespace

bool GetLoadedPPGRange(int channel, double* minimum, double* maximum) {
    if (channel < 1 || channel > 3 || minimum == nullptr || maximum == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_DataCriticalSection);
    const int c = channel - 1;
    const double* ac = g_pPPGACSrcData[c];
    const double* dc = g_pPPGDCSrcData[c];
    const int count = g_nPPGSrcSampleCount[c];
    if (count < 1 || ac == nullptr || dc == nullptr) {
        return false;
    }
    double lo = DBL_MAX;
    double hi = -DBL_MAX;
    for (int i = 0; i < count; ++i) {
        const double s = ac[i] + dc[i];
        lo = std::min(lo, s);
        hi = std::max(hi, s);
    }
    *minimum = lo;
    *maximum = hi;
    return true;
}

void PlayRawDataPPGInvert(PLAY_RAW_DATA& record) {
    const int n = record.nSampleCount;
    double* ac = record.pACData;
    double* dc = record.pDCData;
    if (n <= 0 || ac == nullptr || dc == nullptr) {
        return;
    }
    bool constant = true;
    for (int i = 1; i < n && constant; ++i) {
        constant = dc[i] == dc[0];
    }
    if (constant) {
        double lo = DBL_MAX, hi = -DBL_MAX;
        for (int i = 0; i < n; ++i) {
            lo = std::min(lo, ac[i]);
            hi = std::max(hi, ac[i]);
        }
        for (int i = 0; i < n; ++i) {
            ac[i] = (hi - ac[i]) + lo;
        }
        return;
    }
    double lo = DBL_MAX, hi = -DBL_MAX;
    for (int i = 0; i < n; ++i) {
        const double s = ac[i] + dc[i];
        lo = std::min(lo, s);
        hi = std::max(hi, s);
    }
    const double m = std::trunc(lo);
    for (int i = 0; i < n; ++i) {
        const double v = (hi - (ac[i] + dc[i])) + lo;
        dc[i] = std::min(kInvertDCMaxMv, m + kInvertDCStepMv * std::trunc((v - m) / kInvertDCStepMv));
        ac[i] = std::min(kInvertACMaxMv, v - dc[i]);
    }
}

int LoadMITECG(char* path, int record, int channel, int count) {
    (void)path;
    (void)record;
    (void)channel;
    (void)count;
    PlayRawStop(1);
    return 0;
}
