// The auto-test sequencer driven through its packet builders, without threads: item
// changes by cycle and duration in modes 7 and 15, the end and the wrap, missing files,
// and the item list's refusals.
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "PlaybackFixture.h"
#include "playback/AutoTest.h"
#include "playback/PlayControl.h"

namespace {

class AutoTestTest : public PlaybackCoreTest {
protected:
    void SetUp() override {
        PlaybackCoreTest::SetUp();
        ResetAutoTestState();
        char pattern[] = "/tmp/nvs-autotest-XXXXXX";
        const char* made = mkdtemp(pattern);
        dir_ = made != nullptr ? made : "/tmp";
    }
    void TearDown() override {
        for (const std::string& f : files_) {
            unlink(f.c_str());
        }
        rmdir(dir_.c_str());
        ResetAutoTestState();
        PlaybackCoreTest::TearDown();
    }

    // A file with one ECG member of count samples at rate (a cycle of count / rate s).
    std::string EcgFile(int count, double rate) {
        std::string text = "{\"ECGWaveform\":{\"SampleRate\":" + std::to_string(rate) + ",\"AC\":[";
        std::string dc;
        for (int i = 0; i < count; ++i) {
            text += (i ? ",0.5" : "0.5");
            dc += (i ? ",0" : "0");
        }
        text += "],\"DC\":[" + dc + "]}}";
        const std::string path = dir_ + "/item" + std::to_string(files_.size()) + ".json";
        std::ofstream(path) << text;
        files_.push_back(path);
        return path;
    }

    struct Change {
        uint64_t atSample;  // the first sample of the new item
        uint64_t index;
    };
    struct Played {
        std::vector<Change> changes;
        uint64_t counted = 0;
        int lastResult = 1;
        int lastLength = 0;
    };

    // Builds packets until the sequence ends or limit samples are produced.
    static Played Play(int mode, uint64_t limit) {
        g_nOperatorMode = mode;
        g_nSampleRate = 10000;
        Played out;
        uint64_t index = AutoTestPlayIndex();
        unsigned char packet[64];
        while (g_nCurrent.load() < limit) {
            std::fill(packet, packet + 64, 0);
            out.lastResult =
                mode == 15 ? ToECGAndPPG3PacketByAutoTest(0, packet) : ToECGAndPPGExPacketByAutoTest(0, packet);
            out.lastLength = packet[5];
            out.counted += packet[5] / (mode == 15 ? 16 : 12);
            if (AutoTestPlayIndex() != index ||
                AutoTestPlayLastCount() != (out.changes.empty() ? 0 : out.changes.back().atSample)) {
                index = AutoTestPlayIndex();
                out.changes.push_back({AutoTestPlayLastCount(), index});
            }
            if (out.lastResult != 1) {
                break;
            }
        }
        return out;
    }

    std::string dir_;
    std::vector<std::string> files_;
};

TEST_F(AutoTestTest, ItemsChangeAtTheirCycleEndsAndTheSequenceEnds) {
    g_bPlayLoop = 0;
    EXPECT_EQ(PlayRawAutoTestAddItemPlayRaw(2, EcgFile(1000, 1000.0).c_str()), 1u);
    EXPECT_EQ(PlayRawAutoTestAddItemPlayRaw(3, EcgFile(500, 500.0).c_str()), 2u);
    ASSERT_EQ(PrepareAutoTestRun(), 1);
    const Played p = Play(7, 200000);
    ASSERT_EQ(p.changes.size(), 2u);
    EXPECT_EQ(p.changes[0].atSample, 20000u);
    EXPECT_EQ(p.changes[0].index, 1u);
    EXPECT_EQ(p.changes[1].atSample, 50000u);  // wrapped: the end
    EXPECT_EQ(p.counted, 49999u);              // the last sample is not counted
    EXPECT_EQ(p.lastResult, 0);
    EXPECT_EQ(p.lastLength, 3 * 12);
}

TEST_F(AutoTestTest, Mode7WaitsForACycleEndMode15ForTheDurationOnly) {
    const std::string file = EcgFile(700, 1000.0);  // 0.7 s cycles
    for (int mode : {7, 15}) {
        SCOPED_TRACE(mode);
        ResetAutoTestState();
        ResetPlaybackState();
        g_bPlayLoop = 1;
        PlayRawAutoTestAddItemPlayRaw(2, file.c_str());
        PlayRawAutoTestAddItemPlayRaw(1, file.c_str());
        ASSERT_EQ(PrepareAutoTestRun(), 1);
        const Played p = Play(mode, 40000);
        ASSERT_GE(p.changes.size(), 2u);
        EXPECT_EQ(p.changes[0].atSample, mode == 7 ? 21000u : 20000u);
        EXPECT_EQ(p.changes[1].atSample, mode == 7 ? 35000u : 30000u);
        EXPECT_EQ(p.changes[1].index, 0u);  // looping: back to item 0
        EXPECT_EQ(p.lastResult, 1);
        EXPECT_EQ(g_nCurrentOffset[0].load(), p.changes.back().atSample);  // cycles restart at the change
    }
}

TEST_F(AutoTestTest, MissingFilesAndSilentItems) {
    const std::string missing = dir_ + "/absent.json";
    PlayRawAutoTestAddItemPlayRaw(1, missing.c_str());
    EXPECT_EQ(PrepareAutoTestRun(), 0);
    EXPECT_EQ(PlayRawAutoTestStartOutput(nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(PlayRawIsRunning(), 0);

    // Later in the sequence a missing file, or an item with no channel, is silence for
    // its duration in both modes.
    for (int mode : {7, 15}) {
        SCOPED_TRACE(mode);
        ResetAutoTestState();
        ResetPlaybackState();
        g_bPlayLoop = 0;
        PlayRawAutoTestAddItemPlayRaw(1, EcgFile(1000, 1000.0).c_str());
        PlayRawAutoTestAddItemPlayRaw(2, missing.c_str());
        PlayRawAutoTestAddItemECGAndPPGEx(1, 0, nullptr, nullptr, nullptr, nullptr);
        ASSERT_EQ(PrepareAutoTestRun(), 1);
        const Played p = Play(mode, 100000);
        ASSERT_EQ(p.changes.size(), 3u);
        EXPECT_EQ(p.changes[0].atSample, 10000u);
        EXPECT_EQ(p.changes[1].atSample, 30000u);
        EXPECT_EQ(p.changes[2].atSample, 40000u);
        EXPECT_EQ(g_nECGSrcSampleCount, 0);
    }
}

TEST_F(AutoTestTest, TheListRefusesBadItemsAndCounts) {
    EXPECT_EQ(PlayRawAutoTestAddItemECGAndPPGEx(1, 0, nullptr, nullptr, nullptr, nullptr), 1u);
    EXPECT_EQ(PlayRawAutoTestAddItemECGAndPPGEx(-1, 0, nullptr, nullptr, nullptr, nullptr), 1u);
    EXPECT_EQ(PlayRawAutoTestAddItemPlayRaw(1, nullptr), 1u);
    EXPECT_EQ(PlayRawAutoTestAddItemPlayRaw(-2, "x.json"), 1u);
    EXPECT_EQ(PlayRawAutoTestAddItemPlayRaw(1, std::string(kAutoTestPathSize, 'a').c_str()), 1u);
    EXPECT_EQ(PlayRawAutoTestAddItemPlayRaw(1, std::string(kAutoTestPathSize - 1, 'a').c_str()), 2u);
    PlayRawAutoTestClearAll();
    EXPECT_EQ(PlayRawAutoTestItemCount(), 0u);
    EXPECT_EQ(PlayRawAutoTestStartOutput(nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(PlayRawAutoTestAddItemPlayRaw(1, "x.json"), 1u);

    AUTO_TEST_SETTING s = PlayRawGetSetting();
    EXPECT_EQ(s.nSyncPulse, 1);
    EXPECT_EQ(s.bPPGInverted, 1);
    AUTO_TEST_SETTING t = {7, 0};
    PlayRawSetSetting(&t);
    PlayRawSetSetting(nullptr);
    EXPECT_EQ(PlayRawGetSetting().nSyncPulse, 7);
}

PPG_WAVEFORM PpgPulse(double peak) {
    PPG_WAVEFORM p = {};
    p.nWaveformType = 3;  // pulse
    p.fFrequency = 1.0;
    p.fDCLevel = 100.0;
    p.fAmplitude1 = peak;
    p.fAmplitude2 = 0.4 * peak;
    p.fAmplitude3 = 0.6 * peak;
    p.nTime1 = 180;
    p.nTime2 = 320;
    p.nTime3 = 400;
    p.nPeriod = 1000;
    p.nSyncPulse = 1;
    return p;
}

std::vector<double> PpgSource(int c) {
    return std::vector<double>(g_pPPGACSrcData[c], g_pPPGACSrcData[c] + g_nPPGSrcSampleCount[c]);
}

// Two PPG-only inverted items of equal DC and different peaks: the second begins with one
// transition cycle from the first one's peak and is loaded again at its first cycle end;
// an inversion flag of 2 inverts as well but gets no transition.
TEST_F(AutoTestTest, TransitionCycleBetweenInvertedPPGItems) {
    for (int flag : {1, 2}) {
        SCOPED_TRACE(flag);
        ResetAutoTestState();
        ResetPlaybackState();
        g_bPlayLoop = 1;
        PPG_WAVEFORM a = PpgPulse(1.0), b = PpgPulse(2.0);
        PlayRawAutoTestAddItemECGAndPPGEx(1, 0, nullptr, &a, nullptr, nullptr);
        PlayRawAutoTestAddItemECGAndPPGEx(3, 0, nullptr, &b, nullptr, nullptr);
        AUTO_TEST_SETTING setting = {1, flag};
        PlayRawSetSetting(&setting);
        ASSERT_EQ(PrepareAutoTestRun(), 1);
        Played p = Play(7, 10000);  // item 0 ends at 10000
        ASSERT_EQ(AutoTestPlayIndex(), 1u);
        const std::vector<double> first = PpgSource(0);
        ASSERT_FALSE(first.empty());
        p = Play(7, 10000 + 10000 + 8);  // past item 1's first cycle end
        const std::vector<double> after = PpgSource(0);
        if (flag == 1) {
            EXPECT_NE(first, after);  // loaded again without the transition
        } else {
            EXPECT_EQ(first, after);
        }
        EXPECT_EQ(AutoTestPlayIndex(), 1u);
    }
}

// File items are read when the run is prepared: a change only copies what was read.
TEST_F(AutoTestTest, FileItemsAreReadAheadOfTheirChange) {
    PlayRawAutoTestAddItemPlayRaw(1, EcgFile(1000, 1000.0).c_str());
    const std::string second = EcgFile(500, 1000.0);
    PlayRawAutoTestAddItemPlayRaw(1, second.c_str());
    ASSERT_EQ(PrepareAutoTestRun(), 1);
    unlink(second.c_str());
    Play(7, 10004);
    ASSERT_EQ(AutoTestPlayIndex(), 1u);
    EXPECT_EQ(g_nECGSrcSampleCount, 500);
}

}  // namespace
