// The stream packets of every operator mode, byte by byte, from sources that give each
// channel a value of its own.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "PlaybackFixture.h"
#include "api/ExternalRespiratory.h"
#include "protocol/Protocol.h"
#include "protocol/RespirationTables.h"
#include "waveform/Conversion.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The two bytes a packet carries for one word: the conversions' swapped codes go out as
// stored in host order; the respiration module's words go out big-endian.
struct Word {
    uint8_t hi, lo;
};
Word Swapped(uint16_t v) { return {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)}; }
Word BigEndian(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)}; }

// Channel values: ECG AC 1 mV, DC 10 mV; PPG channel c (0..2) AC 0.1 x (c + 1), DC 100 x (c + 1).
std::vector<Word> Ecg() { return {Swapped(ECG_DC_VoltageToDAC(10.0)), Swapped(ECG_AC_VoltageToDAC(1.0))}; }
std::vector<Word> Ppg(int c, int calIndex) {
    return {Swapped(PPG_DC_VoltageToDAC(100.0 * (c + 1))), Swapped(PPG_AC_VoltageToDAC(calIndex, 0.1 * (c + 1)))};
}
std::vector<Word> Join(std::initializer_list<std::vector<Word>> parts) {
    std::vector<Word> all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

struct Packet {
    unsigned char bytes[kStreamPacketSize] = {};
    int result = 0;
    bool SampleIs(int i, int bytesPerSample, const std::vector<Word>& words) const {
        const unsigned char* p = bytes + kStreamPacketHeaderSize + i * bytesPerSample;
        for (size_t w = 0; w < words.size(); ++w) {
            if (p[2 * w] != words[w].hi || p[2 * w + 1] != words[w].lo) {
                return false;
            }
        }
        return true;
    }
    bool ZeroFrom(int offset) const {
        for (int i = offset; i < kStreamPacketSize; ++i) {
            if (bytes[i] != 0) {
                return false;
            }
        }
        return true;
    }
};

Packet Build(unsigned short seq) {
    Packet p;
    p.result = BuildStreamPacket(seq, p.bytes);
    return p;
}

class StreamPacketTest : public PlaybackCoreTest {
protected:
    void SetUp() override {
        PlaybackCoreTest::SetUp();
        // Model 0x2112 with a different AC range per calibration index, so a word built
        // with the wrong index shows.
        g_PPGModelInfo.ucGeneration = 0x21;
        g_PPGModelInfo.ucModel = 0x12;
        g_DeviceFeature.fACMaximum = 300.0;
        g_ACCalMode[0] = 0;
        g_ACCalMode[1] = 1;
        g_ACCalMode[2] = 2;
        g_bPPGAmplitudeConversion = 0;
    }

    void LoadDistinctSources() {
        ASSERT_EQ(1, LoadRawECG(Constant(1.0, 10.0, 1000.0)));
        for (int c = 0; c < 3; ++c) {
            ASSERT_EQ(1, LoadRawPPG(c + 1, Constant(0.1 * (c + 1), 100.0 * (c + 1), 1000.0)));
        }
    }
};

}  // namespace

TEST_F(StreamPacketTest, EveryModeCarriesItsChannelsInTableOrder) {
    // The respiration module's model gives words for 50 ohms once its RDAC3 entries exist.
    for (double& r : g_fECGExtRespiratationRDAC3) {
        r = 100.0;
    }
    unsigned short resp[3] = {0, 0, 0};
    ASSERT_TRUE(ExtRespGetAmplitudeDAC(50.0, resp));
    g_nECGExtRespirationBaselineDAC = 0x1234;
    const std::vector<Word> extResp = {BigEndian(resp[0]), BigEndian(resp[1]), BigEndian(resp[2]), BigEndian(0x1234)};

    struct Case {
        int mode;
        int samples;
        int bytesPerSample;
        std::vector<Word> words;
    } cases[] = {
        {1, 14, 4, Ecg()},
        {2, 14, 4, Ppg(0, 0)},
        {3, 7, 8, Join({Ecg(), Ppg(0, 0)})},
        {4, 14, 4, Ppg(1, 1)},
        {5, 7, 8, Join({Ecg(), Ppg(1, 1)})},
        {6, 7, 8, Join({Ppg(0, 0), Ppg(1, 1)})},
        {7, 4, 12, Join({Ecg(), Ppg(0, 0), Ppg(1, 1)})},
        {9, 7, 8, Join({Ecg(), Ppg(2, 2)})},
        {10, 7, 8, Join({Ppg(0, 0), Ppg(2, 1)})},
        {11, 4, 12, Join({Ecg(), Ppg(0, 0), Ppg(2, 1)})},
        {12, 7, 8, Join({Ppg(1, 0), Ppg(2, 1)})},
        {13, 4, 12, Join({Ecg(), Ppg(1, 0), Ppg(2, 1)})},
        {14, 4, 12, Join({Ppg(2, 0), Ppg(0, 1), Ppg(1, 2)})},
        {15, 3, 16, Join({Ecg(), Ppg(2, 0), Ppg(0, 1), Ppg(1, 2)})},
        {16, 14, 4, Ppg(2, 2)},
        {17, 4, 12, Join({Ecg(), extResp})},
    };
    g_pECGExtRespirationData = new double[4]{50.0, 50.0, 50.0, 50.0};
    g_nECGExtRespirationSampleCount = 4;
    LoadDistinctSources();
    for (const Case& c : cases) {
        Run(c.mode, 10000, true);
        const StreamLayout layout = GetStreamLayout(c.mode);
        EXPECT_EQ(c.samples, layout.samplesPerPacket) << "mode " << c.mode;
        EXPECT_EQ(c.bytesPerSample, layout.bytesPerSample) << "mode " << c.mode;
        const Packet p = Build(0x0A0B);
        EXPECT_EQ(1, p.result) << "mode " << c.mode;
        const unsigned char header[] = {0x01, static_cast<unsigned char>(c.mode),
                                        0,    0,
                                        0,    static_cast<unsigned char>(c.samples * c.bytesPerSample),
                                        0x0A, 0x0B};
        EXPECT_EQ(0, std::memcmp(header, p.bytes, sizeof header)) << "mode " << c.mode;
        ASSERT_EQ(static_cast<size_t>(c.bytesPerSample / 2), c.words.size()) << "mode " << c.mode;
        for (int i = 0; i < c.samples; ++i) {
            EXPECT_TRUE(p.SampleIs(i, c.bytesPerSample, c.words)) << "mode " << c.mode << " sample " << i;
        }
        EXPECT_TRUE(p.ZeroFrom(kStreamPacketHeaderSize + c.samples * c.bytesPerSample)) << "mode " << c.mode;
        EXPECT_EQ(static_cast<uint64_t>(c.samples), g_nCurrent.load()) << "mode " << c.mode;
    }
}

TEST_F(StreamPacketTest, FullModeOnePacketHeaderAndTheNextPacketContinues) {
    Run(1, 10000, true);
    ASSERT_EQ(1, LoadRawECG(Record({0.0, 1.0, 2.0, 3.0}, {0.0, 0.0, 0.0, 0.0}, 1000.0)));
    const Packet first = Build(258);
    const unsigned char header[] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x38, 0x01, 0x02};
    EXPECT_EQ(0, std::memcmp(header, first.bytes, sizeof header));
    EXPECT_EQ(1, first.result);
    EXPECT_EQ(14u, g_nCurrent.load());
    const Packet second = Build(259);
    EXPECT_EQ(1, second.result);
    // Sample 14 of the stream: x = 1.4 on the source, AC 1.4 mV.
    EXPECT_TRUE(second.SampleIs(0, 4, {Swapped(ECG_DC_VoltageToDAC(0.0)), Swapped(ECG_AC_VoltageToDAC(1.4))}));
}

TEST_F(StreamPacketTest, StreamEndInsideAPacketAndBeforeItsFirstSample) {
    const std::vector<double> ac = {1.0, 2.0, 3.0}, dc = {10.0, 20.0, 30.0};
    auto word = [](int i, const std::vector<double>& a, const std::vector<double>& d) {
        return std::vector<Word>{Swapped(ECG_DC_VoltageToDAC(d[i])), Swapped(ECG_AC_VoltageToDAC(a[i]))};
    };
    // The cycle of three samples ends at the third position: two counted samples, the
    // third written but not counted.
    Run(1, 10000, false);
    LoadECG(ac, dc, 10000.0);
    const Packet partial = Build(7);
    EXPECT_EQ(0, partial.result);
    EXPECT_EQ(8, partial.bytes[5]);
    EXPECT_TRUE(partial.SampleIs(0, 4, word(0, ac, dc)));
    EXPECT_TRUE(partial.SampleIs(1, 4, word(1, ac, dc)));
    EXPECT_TRUE(partial.SampleIs(2, 4, word(2, ac, dc)));
    EXPECT_TRUE(partial.ZeroFrom(kStreamPacketHeaderSize + 12));

    // The cycle ends at the first position: nothing counted, the packet is not to be sent.
    Run(1, 10000, false);
    g_nCurrent = 2;
    const Packet empty = Build(8);
    EXPECT_EQ(-1, empty.result);
    EXPECT_EQ(0, empty.bytes[5]);
}

TEST_F(StreamPacketTest, PacketsThatCannotBeBuiltLeaveTheStreamAlone) {
    LoadDistinctSources();
    Run(2, 10000, true);
    g_nCurrent = 5;
    unsigned char packet[kStreamPacketSize] = {};
    const unsigned char zeros[kStreamPacketSize] = {};
    EXPECT_EQ(-1, ToPPGPacket(3, 1, packet));
    EXPECT_EQ(-1, ToECGAndPPGPacket(-1, 1, packet));
    EXPECT_EQ(-1, ToPPGExPacket(0, 3, 1, packet));
    EXPECT_EQ(-1, ToECGAndPPGExPacket(4, 1, 1, packet));
    for (int mode : {0, 8, 18, -1}) {
        g_nOperatorMode = mode;
        EXPECT_EQ(-1, BuildStreamPacket(1, packet)) << mode;
        EXPECT_EQ(0, GetStreamLayout(mode).samplesPerPacket) << mode;
    }
    EXPECT_EQ(0, std::memcmp(zeros, packet, sizeof packet));
    EXPECT_EQ(5u, g_nCurrent.load());
}

TEST_F(StreamPacketTest, PacingPulseOnTheFirstTwoMillisecondsOfEverySecond) {
    Run(1, 10000, true);
    LoadECG({0.0, 0.0}, {0.0, 0.0}, 1000.0);
    g_bPacingEnable = true;
    g_fPacingAmplitude = 100.0;
    g_fPacingRate = 1.0;
    g_fPacingDuraton = 2.0;
    const Word pulse = Swapped(ECG_DC_VoltageToDAC(100.0));
    const Word base = Swapped(ECG_DC_VoltageToDAC(0.0));
    int pulses = 0;
    unsigned long long n = 0;
    while (n < 20020) {
        const Packet p = Build(0);
        ASSERT_EQ(1, p.result);
        for (int i = 0; i < 14; ++i, ++n) {
            const Word expected = (n % 10000) < 20 ? pulse : base;
            ASSERT_TRUE(p.SampleIs(i, 4, {expected})) << "n " << n;
            pulses += (n % 10000) < 20 ? 1 : 0;
        }
    }
    EXPECT_EQ(60, pulses);

    // The other ECG modes stream the DC without the pulse.
    Run(3, 10000, true);
    EXPECT_TRUE(Build(0).SampleIs(0, 8, {base}));
}

TEST_F(StreamPacketTest, PacingWithoutAPositivePeriodGivesNoPulse) {
    LoadECG({0.0, 0.0}, {0.0, 0.0}, 1000.0);
    g_bPacingEnable = true;
    g_fPacingAmplitude = 100.0;
    g_fPacingDuraton = 2.0;
    const Word base = Swapped(ECG_DC_VoltageToDAC(0.0));
    // Periods of 10000 / 20000 = 0 samples, negative, and NaN.
    for (double rate : {20000.0, -1.0, kNaN}) {
        Run(1, 10000, true);
        g_fPacingRate = rate;
        const Packet p = Build(0);
        ASSERT_EQ(1, p.result);
        EXPECT_TRUE(p.SampleIs(0, 4, {base})) << rate;
    }
}

TEST_F(StreamPacketTest, ApneaStripsTheCurvesExceptInModeSeventeen) {
    LoadDistinctSources();
    PlayRawAppendECG(Constant(0.5, 0.0, 1000.0));
    g_nRespirationMode = 1;
    g_nRespirationApneaCycle = 1;
    g_nRespirationApneaDuration = 10;
    const Word breathing = Swapped(ECG_AC_VoltageToDAC(1.5));
    const Word held = Swapped(ECG_AC_VoltageToDAC(1.0));
    struct Case {
        int mode;
        int bytesPerSample;
        Word ac;
        int flag;
    } cases[] = {{1, 4, held, 1}, {7, 12, held, 1}, {17, 12, breathing, 0}};
    for (const Case& c : cases) {
        Run(c.mode, 10000, true);
        g_nCurrent = 600000;  // the apnea's onset
        const Packet p = Build(0);
        EXPECT_EQ(c.ac.hi, p.bytes[kStreamPacketHeaderSize + 2]) << "mode " << c.mode;
        EXPECT_EQ(c.ac.lo, p.bytes[kStreamPacketHeaderSize + 3]) << "mode " << c.mode;
        EXPECT_EQ(c.flag, g_bPlayIsApnea) << "mode " << c.mode;
    }
}

TEST_F(StreamPacketTest, ModeSeventeenStreamsZeroWordsWhenTheModuleGivesNone) {
    // No RDAC3 calibration loaded: the module's model has no words for any resistance.
    Run(17, 40000, true);
    LoadDistinctSources();
    g_pECGExtRespirationData = new double[2]{50.0, 60.0};
    g_nECGExtRespirationSampleCount = 2;
    g_nECGExtRespirationBaselineDAC = 0xBEEF;
    const Packet p = Build(0);
    ASSERT_EQ(1, p.result);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(p.SampleIs(i, 12, Join({Ecg(), {{0, 0}, {0, 0}, {0, 0}, {0xBE, 0xEF}}}))) << i;
    }
}

TEST_F(StreamPacketTest, SequenceNumbersWrapAfter65499) {
    EXPECT_EQ(1, NextStreamSequence(0));
    EXPECT_EQ(65499, NextStreamSequence(65498));
    EXPECT_EQ(0, NextStreamSequence(65499));
}
