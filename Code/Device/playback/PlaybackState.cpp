// The playback engine's shared state with its load-time values. Constant initialisation
// only (the lists start empty), so nothing here depends on the order of load.
#include "playback/PlaybackState.h"

#include "playback/RawData.h"

// The indices and live rates are read on one thread while another writes them; on the
// 32-bit targets too they must be single lock-free accesses, not two halves or a lock.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "64-bit indices need lock-free atomics");
static_assert(std::atomic<double>::is_always_lock_free, "source rates need lock-free atomics");

namespace {
constexpr int kSampleRateAtLoad = 1;
constexpr uint8_t kSyncPulseAtLoad = 1;
constexpr double kPacingRateAtLoad = 1.0;      // pulses per second
constexpr double kPacingDurationAtLoad = 2.0;  // ms
}  // namespace

std::atomic<int> g_nSampleRate{kSampleRateAtLoad};
std::atomic<int> g_nOperatorMode{0};
std::atomic<int> g_bPlayLoop{1};

std::atomic<uint64_t> g_nCurrent{0};
std::atomic<uint64_t> g_nOutputCurrent{0};
std::atomic<uint64_t> g_nCurrentOffset[4] = {{0}, {0}, {0}, {0}};

double* g_pECGACSrcData = nullptr;
double* g_pECGDCSrcData = nullptr;
int g_nECGSrcSampleCount = 0;
std::atomic<double> g_fECGSrcSampleRate{0.0};
double g_fECGSrcSampleRateBackup = 0.0;

double* g_pPPGACSrcData[3] = {nullptr, nullptr, nullptr};
double* g_pPPGDCSrcData[3] = {nullptr, nullptr, nullptr};
int g_nPPGSrcSampleCount[3] = {0, 0, 0};
std::atomic<double> g_fPPGSrcSampleRate[3] = {{0.0}, {0.0}, {0.0}};
double g_fPPGSrcSampleRateBackup[3] = {0.0, 0.0, 0.0};

double* g_pECGExtRespirationData = nullptr;
int g_nECGExtRespirationSampleCount = 0;
uint16_t g_nECGExtRespirationBaselineDAC = 0;

std::vector<RAW_DATA> g_vecECGAppendData;
std::vector<RAW_DATA> g_vecECGRespirationExtraData[3];
std::vector<RAW_DATA> g_vecPPGAppendData[3];
std::vector<RAW_DATA> g_vecPPGRespirationExtraData[3][3];

std::atomic<int> g_nRespirationMode{0};
std::atomic<int> g_nRespirationApneaCycle{0};
std::atomic<int> g_nRespirationApneaDuration{0};
int g_bPlayIsApnea = 0;
int g_bOutputIsApnea = 0;

double g_fACRatio = 1.0;
double g_fDelayAccumulated = 0.0;
uint8_t g_nPPGChSyncPulse[3] = {kSyncPulseAtLoad, kSyncPulseAtLoad, kSyncPulseAtLoad};

std::atomic<bool> g_bPacingEnable{false};
double g_fPacingAmplitude = 0.0;
double g_fPacingRate = kPacingRateAtLoad;
double g_fPacingDuraton = kPacingDurationAtLoad;

void FreeLoadedSources() {
    delete[] g_pECGACSrcData;
    delete[] g_pECGDCSrcData;
    g_pECGACSrcData = nullptr;
    g_pECGDCSrcData = nullptr;
    g_nECGSrcSampleCount = 0;
    for (int c = 1; c <= 3; ++c) {
        FreeRawPPG(c);
    }
    delete[] g_pECGExtRespirationData;
    g_pECGExtRespirationData = nullptr;
    g_nECGExtRespirationSampleCount = 0;
}

void ResetPlaybackState() {
    g_nSampleRate = kSampleRateAtLoad;
    g_nOperatorMode = 0;
    g_bPlayLoop = 1;
    g_nCurrent = 0;
    g_nOutputCurrent = 0;
    for (std::atomic<uint64_t>& offset : g_nCurrentOffset) {
        offset = 0;
    }

    FreeLoadedSources();
    g_fECGSrcSampleRate = 0.0;
    g_fECGSrcSampleRateBackup = 0.0;
    g_nECGExtRespirationBaselineDAC = 0;

    PlayRawResetAccumulation();

    g_nRespirationMode = 0;
    g_nRespirationApneaCycle = 0;
    g_nRespirationApneaDuration = 0;
    g_bPlayIsApnea = 0;
    g_bOutputIsApnea = 0;

    g_fACRatio = 1.0;
    g_fDelayAccumulated = 0.0;
    for (uint8_t& sync : g_nPPGChSyncPulse) {
        sync = kSyncPulseAtLoad;
    }
    g_bPacingEnable = false;
    g_fPacingAmplitude = 0.0;
    g_fPacingRate = kPacingRateAtLoad;
    g_fPacingDuraton = kPacingDurationAtLoad;
}
