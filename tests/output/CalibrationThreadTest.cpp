// Calibration method 1 and its output threads: the control blocks they switch on with,
// the periods they upload, the switch-off at the stop, and the stop that holds the lock
// before a thread has switched on.
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "OutputFixture.h"
#include "output/CalibrationThreads.h"
#include "output/LockedExchange.h"
#include "output/Output.h"
#include "platform/StaticObjects.h"
#include "service/CalibrationMethod1.h"
#include "service/ConvertTable.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes BlockBytes(const _DEVICE_CONTROL_SETTING& block) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&block);
    return Bytes(p, p + sizeof block);
}

// Point i of an upload: DC word, AC word.
int DCAt(const Bytes& period, size_t i) { return period[4 * i] << 8 | period[4 * i + 1]; }
int ACAt(const Bytes& period, size_t i) { return period[4 * i + 2] << 8 | period[4 * i + 3]; }

PPG_WAVEFORM Method1Record(int points, double height, double dc) {
    PPG_WAVEFORM p = {};
    p.nPeriod = points;
    p.fAmplitude1 = height;
    p.fDCLevel = dc;
    return p;
}

// The data bytes of the raw packets of one sub-command, in order.
Bytes Uploaded(const std::vector<nvsemu::Request>& requests, uint8_t sub) {
    Bytes out;
    for (const nvsemu::Request& r : requests) {
        if (r.bytes.size() == 64 && r.bytes[0] == 0xEA && r.bytes[1] == 0xFF && r.bytes[2] == sub) {
            out.insert(out.end(), r.bytes.begin() + 8, r.bytes.end());
        }
    }
    return out;
}

// The last control-block write (the 57 block bytes).
Bytes LastBlockWrite(const std::vector<nvsemu::Request>& requests) {
    Bytes out;
    for (const nvsemu::Request& r : requests) {
        if (r.bytes.size() >= 61 && r.bytes[0] == 0xEA && r.bytes[1] == 0xFF && r.bytes[2] == 0x00) {
            out.assign(r.bytes.begin() + 4, r.bytes.begin() + 61);
        }
    }
    return out;
}

}  // namespace

TEST(CalibrationBlocks, PPGBlockCarriesOnlyTheRateAndTheEnable) {
    PPG_WAVEFORM p = Method1Record(100, 10, 10);
    p.fSampleRateKHz = 1.0;
    p.fAmplitude2 = 55;  // nothing of the shape reaches the block
    Bytes want(57, 0);
    want[0] = 0x04;
    want[6] = 0x03, want[7] = 0xE8;
    EXPECT_EQ(BlockBytes(PPGCalibrationBlock(p, 0x04)), want);
    p.fSampleRateKHz = 70.0;  // 70000: the low 16 bits
    p.nSampleFraction = 0x12345;
    const Bytes b = BlockBytes(PPGCalibrationBlock(p, 0x06));
    EXPECT_EQ(b[0], 0x06);
    EXPECT_EQ(b[6] << 8 | b[7], 70000 & 0xFFFF);
    EXPECT_EQ(b[8] << 8 | b[9], 0x2345);

    // The ECG block is what the record fills into a zero block, switched on for the ECG.
    ECG_WAVEFORM e = EcgSine();
    _DEVICE_CONTROL_SETTING zero = {};
    ToDeviceControlSetting(&e, zero);
    zero.ucOutputEnable = 0x01;
    EXPECT_EQ(BlockBytes(ECGCalibrationBlock(EcgSine())), BlockBytes(zero));
}

TEST(CalibrationPeriods, ECGPointsAreTheDCAndACCodes) {
    ECG_WAVEFORM e = {};
    e.nRRInterval = 15;  // two packets: the second padded with zeros
    e.bVariableDCOffset = 1;
    e.nDCOffset = 0x1ABC;
    e.fAmplitude = 812.9;
    Bytes period = BuildECGMethod1Period(e);
    ASSERT_EQ(period.size(), 112u);
    for (size_t i = 0; i < 15; ++i) {
        ASSERT_EQ(DCAt(period, i), 0x1ABC) << i;
        ASSERT_EQ(ACAt(period, i), 812) << i;
    }
    EXPECT_EQ(Bytes(period.begin() + 60, period.end()), Bytes(52, 0));
    e.bVariableDCOffset = 0;
    e.fAmplitude = std::numeric_limits<double>::quiet_NaN();
    period = BuildECGMethod1Period(e);
    EXPECT_EQ(DCAt(period, 3), 0);
    EXPECT_EQ(ACAt(period, 3), 0);
    for (int points : {0, -1, 65537}) {
        e.nRRInterval = points;
        EXPECT_TRUE(BuildECGMethod1Period(e).empty()) << points;
    }
    e.nRRInterval = 65536;  // the last point's packet starts at index 65534: still 16 bits
    EXPECT_EQ(BuildECGMethod1Period(e).size(), 4682u * 56u);
}

TEST(CalibrationPeriods, PPGSineCodesStayInsideTheRow) {
    struct Case {
        const char* what;
        double height, dc, level;
        int at0, atQuarter, atThreeQuarters, dcCode;
    } cases[] = {
        // a[i] = trunc(0.5 + (sin(2 pi i / n) + 1) / 2 x height) over n = 100 points.
        {"plain", 1000, 2000, 4095, 500, 1000, 0, 2000},
        {"top clamped at L", 9000, 10, 4095, 4095, 4095, 0, 10},
        {"16-bit instrument", 65535, 65535, 65535, 32768, 65535, 0, 65535},
        {"negative height", -1000, -5, 4095, 0, 0, 0, 0},
        {"NaN", std::nan(""), std::nan(""), 4095, 0, 0, 0, 0},
        {"DC beyond the row", 10, 1e12, 4095, 5, 10, 0, 65535},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes period = BuildPPGMethod1Period(Method1Record(100, c.height, c.dc), c.level, nullptr, nullptr);
        ASSERT_EQ(period.size(), 8u * 56u);
        EXPECT_EQ(ACAt(period, 0), c.at0);
        EXPECT_EQ(ACAt(period, 25), c.atQuarter);
        EXPECT_EQ(ACAt(period, 75), c.atThreeQuarters);
        EXPECT_EQ(DCAt(period, 50), c.dcCode);
    }
    EXPECT_TRUE(BuildPPGMethod1Period(Method1Record(0, 1, 1), 4095, nullptr, nullptr).empty());
    EXPECT_TRUE(BuildPPGMethod1Period(Method1Record(65537, 1, 1), 4095, nullptr, nullptr).empty());

    // Through tables: each code is replaced by its entry, the clamped ones included.
    static std::atomic<int32_t> ac[kConvertRowLength], dc[kConvertRowLength];
    for (int i = 0; i < kConvertRowLength; ++i) {
        ac[i] = (i * 3) & 0xFFFF;
        dc[i] = 65535 - i;
    }
    const Bytes period = BuildPPGMethod1Period(Method1Record(100, 9000, -3), 4095, ac, dc);
    EXPECT_EQ(ACAt(period, 25), (4095 * 3) & 0xFFFF);
    EXPECT_EQ(ACAt(period, 75), 0);
    EXPECT_EQ(DCAt(period, 0), 65535);
}

TEST_F(OutputWithoutInstrument, ECGMethod1RunsUntilTheStopAndRefusesEmptyPeriods) {
    ECG_WAVEFORM e = EcgSine();
    e.nRRInterval = 0;
    EXPECT_FALSE(ORVECGCalibrateMethod1(&e));
    e.nRRInterval = 65537;
    EXPECT_FALSE(ORVECGCalibrateMethod1(&e));
    EXPECT_FALSE(ORVECGCalibrateMethod1(nullptr));
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
    PPG_WAVEFORM p = Method1Record(100, 10, 10);
    EXPECT_FALSE(ORVCalibrateMethod1(PPG_CHANNEL_1, &p)) << "the PPG forms need an instrument";
    EXPECT_FALSE(ORVCalibrateMethod1Ex(&p, &p));

    e.nRRInterval = 1000;
    ASSERT_TRUE(ORVECGCalibrateMethod1(&e)) << "true without an instrument";
    EXPECT_NE(g_hOutputWaveformThread.load(), 0u);
    EXPECT_DOUBLE_EQ(g_ECGWaveform.fSampleRateKHz, 1.0);
    RunWithWatchdog([] { ORVStopOutputWaveform(); }, 20, "the stop of a calibration thread");
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
    EXPECT_EQ(g_recorder.Calls(0).size(), 0u) << "no callback, no end marker";
}

TEST_F(OutputWithoutInstrument, AStopHoldingTheLockBeforeTheSwitchOnDoesNotDeadlock) {
    ECG_WAVEFORM e = EcgSine();
    RunWithWatchdog(
        [&] {
            // The caller holds the lock across the start and the stop: the thread's
            // switch-on can never take it and must give up on the stop.
            CAutoCriticalSection lock(g_CriticalSection);
            ASSERT_TRUE(ORVECGCalibrateMethod1(&e));
            StopOutputWaveform();
            EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);
        },
        20, "a stop under the lock before the switch-on");
    RunWithWatchdog([] { output::WaitForLockedExchanges(); }, 20, "the given-up switch-on");
    EXPECT_EQ(output::LockedExchangeHelpers(), 0u);
}

TEST_F(OutputOnEmulator, PPGMethod1OnChannel2SwitchesOnAndOff) {
    PPG_WAVEFORM p = Method1Record(28, 1000, 2000);
    p.fSampleRateKHz = 10.0;  // the method's copy plays at 1000 points a second
    ASSERT_TRUE(ORVCalibrateMethod1(PPG_CHANNEL_2, &p));
    ASSERT_TRUE(WaitForOutputs(0x04));
    EXPECT_DOUBLE_EQ(p.fSampleRateKHz, 10.0) << "the caller's record is not changed";
    EXPECT_EQ(g_iPPGOutputChannelNo, 2);
    const auto requests = emu_.Requests();
    EXPECT_EQ(DeviceRequests(), (std::vector<std::string>{"S03", "R06", "W00:04/1"}));
    Bytes want(57, 0);
    want[0] = 0x04;
    want[6] = 0x03, want[7] = 0xE8;
    EXPECT_EQ(LastBlockWrite(requests), want) << "nothing read back, zeros elsewhere";
    const Bytes period = Uploaded(requests, 0x06);
    ASSERT_EQ(period.size(), 112u);
    EXPECT_EQ(ACAt(period, 7), 1000);
    EXPECT_EQ(ACAt(period, 21), 0);
    EXPECT_EQ(DCAt(period, 27), 2000);

    ClearRequests();
    ORVStopOutputWaveform();
    EXPECT_EQ(fw_->AppliedOutputs(), 0);
    const Bytes off = LastBlockWrite(emu_.Requests());
    ASSERT_FALSE(off.empty());
    EXPECT_EQ(off[0], 0x00) << "switched off at the stop";
    EXPECT_EQ(g_hOutputWaveformThread.load(), 0u);

    // Channel 3 plays on channel 1; the Ex form on both.
    ClearRequests();
    ASSERT_TRUE(ORVCalibrateMethod1(PPG_CHANNEL_3, &p));
    ASSERT_TRUE(WaitForOutputs(0x02));
    ClearRequests();
    ASSERT_TRUE(ORVCalibrateMethod1Ex(&p, &p));
    ASSERT_TRUE(WaitForOutputs(0x06));
    EXPECT_EQ(DeviceRequests(), (std::vector<std::string>{"r00", "W00:00/1", "S02", "S03", "R05", "R06", "W00:06/1"}))
        << "the first run switched off first, then settings 1 and 2, periods 1 and 2";
    ORVStopOutputWaveform();
}

TEST_F(OutputOnEmulator, ECGMethod1EndsWhenAnOutputStarts) {
    ECG_WAVEFORM e = EcgSine();
    e.nRRInterval = 20;
    e.bVariableDCOffset = 1;
    e.nDCOffset = 2048;
    e.fAmplitude = 300;
    ASSERT_TRUE(ORVECGCalibrateMethod1(&e));
    ASSERT_TRUE(WaitForOutputs(0x01));
    const Bytes period = Uploaded(emu_.Requests(), 0x04);
    ASSERT_EQ(period.size(), 112u);
    EXPECT_EQ(DCAt(period, 19), 2048);
    EXPECT_EQ(ACAt(period, 19), 300);
    ClearRequests();
    ECG_WAVEFORM sine = EcgSine();
    ASSERT_TRUE(ORVOutputECG(&sine, Cb<0>));
    const std::vector<std::string> requests = DeviceRequests();
    ASSERT_GE(requests.size(), 5u);
    // The calibration thread ends first: pacing off, then the switch-off (each reads the
    // block and writes it back).
    EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + 4),
              (std::vector<std::string>{"r00", "W00:01/0", "r00", "W00:00/1"}));
    ASSERT_TRUE(WaitForOutputs(0x01));
    ORVStopOutputWaveform();
    EXPECT_TRUE(g_recorder.WaitForMarker(0, 5000));
}
