// Fixture of the playback suite: the engine's state, the calibration and capability state
// that its conversions read and the respiration module's tables back to their load-time
// values around each test, and sources built from short sample lists.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "api/nvs300.h"
#include "playback/PlayRaw.h"

class PlaybackCoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A record over arrays the fixture keeps alive until the test ends.
    PLAY_RAW_DATA Record(const std::vector<double>& ac, const std::vector<double>& dc, double rate);
    // A constant source of count samples.
    PLAY_RAW_DATA Constant(double ac, double dc, double rate, int count = 4);

    // Loads the ECG or PPG channel 1..3 source; fails the test when the load fails.
    void LoadECG(const std::vector<double>& ac, const std::vector<double>& dc, double rate);
    void LoadPPG(int channel, const std::vector<double>& ac, const std::vector<double>& dc, double rate);

    // The output side of a run: operator mode and rate, indices and offsets at 0.
    static void Run(int mode, int rate, bool loop);

private:
    std::vector<std::vector<double>> arrays_;
};

// Restores every reset the fixture does (the library's load-time values).
void ResetPlaybackSuiteState();
