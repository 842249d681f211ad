#include "PlaybackFixture.h"

#include "protocol/Memory.h"
#include "protocol/Protocol.h"
#include "protocol/RespirationTables.h"
#include "waveform/Calibration.h"

void ResetPlaybackSuiteState() {
    SetCatchUpStep(nullptr);
    InstallFrequencyScanGenerators(nullptr, nullptr);
    ResetPlaybackState();
    ResetWaveformCalibrationState();
    ResetProtocolCapabilityState();
    ResetProtocolMemoryState();
    ResetRespirationTables();
}

void PlaybackCoreTest::SetUp() { ResetPlaybackSuiteState(); }

void PlaybackCoreTest::TearDown() { ResetPlaybackSuiteState(); }

PLAY_RAW_DATA PlaybackCoreTest::Record(const std::vector<double>& ac, const std::vector<double>& dc, double rate) {
    arrays_.push_back(ac);
    double* a = arrays_.back().data();
    arrays_.push_back(dc);
    double* d = arrays_.back().data();
    PLAY_RAW_DATA r = {};
    r.fSampleRate = rate;
    r.nSampleCount = static_cast<int32_t>(ac.size());
    r.pACData = a;
    r.pDCData = d;
    return r;
}

PLAY_RAW_DATA PlaybackCoreTest::Constant(double ac, double dc, double rate, int count) {
    return Record(std::vector<double>(count, ac), std::vector<double>(count, dc), rate);
}

void PlaybackCoreTest::LoadECG(const std::vector<double>& ac, const std::vector<double>& dc, double rate) {
    ASSERT_EQ(1, LoadRawECG(Record(ac, dc, rate)));
}

void PlaybackCoreTest::LoadPPG(int channel, const std::vector<double>& ac, const std::vector<double>& dc, double rate) {
    ASSERT_EQ(1, LoadRawPPG(channel, Record(ac, dc, rate)));
}

void PlaybackCoreTest::Run(int mode, int rate, bool loop) {
    g_nOperatorMode = mode;
    g_nSampleRate = rate;
    g_bPlayLoop = loop ? 1 : 0;
    g_nCurrent = 0;
    g_nOutputCurrent = 0;
    for (auto& offset : g_nCurrentOffset) {
        offset = 0;
    }
    g_bPlayIsApnea = 0;
    g_bOutputIsApnea = 0;
    g_fDelayAccumulated = 0.0;
    g_fACRatio = 1.0;
}
