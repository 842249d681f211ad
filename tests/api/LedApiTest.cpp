// The LED, ambient-light and PPG-module functions against the firmware model, and the
// playback command window's hand-over.
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "api/LedApi.h"
#include "api/PostConnection.h"
#include "protocol/Memory.h"
#include "protocol/Protocol.h"
#include "protocol/SubsystemHooks.h"
#include "waveform/Calibration.h"

namespace {

using nvsemu::Fault;
using nvsemu::Profile;

class ApiLed : public ApiTest {};

TEST_F(ApiLed, PulseGroupRoundTripAndDefaults) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    PPG_LED_PULSE_GROUP_SETTING written = {{2, 4, 1, 0, 0, 0, 0, 0}, 1234};
    ASSERT_TRUE(ORVWriteLEDPulseGroupSetting(&written));
    PPG_LED_PULSE_GROUP_SETTING read = {};
    ASSERT_TRUE(ORVReadLEDPulseGroupSetting(&read));
    EXPECT_EQ(0, memcmp(&read, &written, sizeof read));

    ORVSaveDefaultPulseSettings();
    ASSERT_TRUE(ORVReadLEDPulseGroupSetting(&read));
    const PPG_LED_PULSE_GROUP_SETTING defaults = {{1, 4, 2, 0, 0, 0, 0, 0}, 8000};
    EXPECT_EQ(0, memcmp(&read, &defaults, sizeof read));

    ClearSent();
    EXPECT_FALSE(ORVReadLEDPulseGroupSetting(nullptr));
    EXPECT_FALSE(ORVWriteLEDPulseGroupSetting(nullptr));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ApiLed, AmbientLightSyncPulseVRefAndTrigger) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    EXPECT_TRUE(ORVSetLEDAmbientLightMode(static_cast<PPGAmbientLightMode>(5)));
    EXPECT_EQ(ORVGetLEDAmbientLightMode(), 5);
    EXPECT_EQ(Fw().AmbientLightMode(), 5);
    EXPECT_TRUE(ORVWriteAmbientLightDC(0x0345));
    EXPECT_EQ(ORVReadAmbientLightDC(), 0x0345);

    // Channels outside 1..3 address channel 1 (operator block byte 5).
    for (int channel : {0, 7}) {
        EXPECT_TRUE(ORVWritePPGSyncPulse(static_cast<PPGChannel>(channel), SYNC_PULSE_2)) << channel;
        EXPECT_EQ(Fw().OperatorBlock()[5], 2);
        EXPECT_TRUE(ORVWritePPGSyncPulse(PPG_CHANNEL_1, SYNC_PULSE_1));
    }
    EXPECT_TRUE(ORVWritePPGSyncPulse(PPG_CHANNEL_3, SYNC_PULSE_2));
    EXPECT_EQ(Fw().OperatorBlock()[7], 2);

    EXPECT_TRUE(ORVWritePPGVRef(PPG_CHANNEL_2, 0x0123));
    unsigned int vref = 0;
    EXPECT_TRUE(ORVReadPPGVRef(PPG_CHANNEL_2, &vref));
    EXPECT_EQ(vref, 0x0123u);
    EXPECT_FALSE(ORVReadPPGVRef(PPG_CHANNEL_1, nullptr));

    EXPECT_TRUE(ORVEnableAutoTriggerLevel(true));
    EXPECT_TRUE(Fw().AutoTrigger());
    AUTO_TRIGGER_STATUS status = {};
    EXPECT_TRUE(ORVGetAutoTriggerLevelStatus(&status));
    EXPECT_EQ(status.usLevel1, 500);
    EXPECT_EQ(status.usLevel2, 600);
    EXPECT_FALSE(ORVGetAutoTriggerLevelStatus(nullptr));

    unsigned char matrix = 0;
    EXPECT_TRUE(ORVReadLEDMatrixEnableStatus(&matrix));
    EXPECT_EQ(matrix, 1);
    EXPECT_FALSE(ORVReadLEDMatrixEnableStatus(nullptr));
}

TEST_F(ApiLed, ModuleSelectionClampsAndStoresWhatTheInstrumentReports) {
    Plug(Profile::MainUnit4031());  // six PPG modules, 0..5
    ASSERT_TRUE(Connect());
    EXPECT_EQ(ORVGetPPGModuleNumber(), 6);
    EXPECT_TRUE(ORVSelectPPGModule(-3));
    EXPECT_EQ(SentWith({0xCC, 0xFF, 0x10}).back()[4], 0);
    EXPECT_EQ(Fw().SelectedPpgModule(), 0);
    EXPECT_FALSE(ORVSelectPPGModule(9));  // clamped to 6, which this unit does not have
    EXPECT_EQ(SentWith({0xCC, 0xFF, 0x10}).back()[4], 6);
    EXPECT_EQ(g_nCurrentSelectPPGModule.load(), 0);  // unchanged after a failure

    // The instrument reports another module than the one asked for: its answer counts.
    emu_.FaultOnHeader({0xCC, 0x00, 0x10}, Fault::Alter({{4, 1}}));
    EXPECT_TRUE(ORVSelectPPGModule(2));
    EXPECT_EQ(g_nCurrentSelectPPGModule.load(), 1);

    // Any byte it reports is stored, and no table is found for it.
    emu_.FaultOnHeader({0xCC, 0x00, 0x10}, Fault::Alter({{4, 200}}));
    EXPECT_EQ(ORVGetSelectedPPGModule(), 200);
    EXPECT_EQ(g_nCurrentSelectPPGModule.load(), 200);
    EXPECT_EQ(PPGPDSamplingTable(200, 0), nullptr);
    EXPECT_EQ(PPGPDSamplingTable(6, 1), nullptr);
    EXPECT_NE(PPGPDSamplingTable(5, 1), nullptr);
}

TEST_F(ApiLed, StoredLEDSettingsRoundTripClearAndRefuseBadGroups) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    PPG_LED_SETTING written;
    for (int i = 0; i < 32; ++i)
        written.ucData[i] = static_cast<uint8_t>(i * 7);
    ASSERT_TRUE(ORVWritePPGLEDSetting(2, 5, &written));
    EXPECT_EQ(Fw().MemoryAt(0x13, 0x1500 + 0x400 * 2 + 32 * 5, 32), Bytes(written.ucData, written.ucData + 32));
    PPG_LED_SETTING read = {};
    ASSERT_TRUE(ORVReadPPGLEDSetting(2, 5, &read));
    EXPECT_EQ(0, memcmp(&read, &written, sizeof read));
    ASSERT_TRUE(ORVClearPPGLEDSetting(2, 5));
    EXPECT_EQ(Fw().MemoryAt(0x13, 0x1500 + 0x400 * 2 + 32 * 5, 32), Bytes(32, 0xFF));
    ClearSent();
    EXPECT_FALSE(ORVReadPPGLEDSetting(9, 0, &read));
    EXPECT_FALSE(ORVWritePPGLEDSetting(0, 32, &written));
    EXPECT_FALSE(ORVClearPPGLEDSetting(-1, 0));
    EXPECT_FALSE(ORVReadPPGLEDSetting(0, 0, nullptr));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ApiLed, TransmissionRateModeIsClampedAndSendsTheStoredRates) {
    Plug(Profile::WithPpg2112());
    ASSERT_TRUE(Connect());
    struct Case {
        int mode, used;
    } cases[] = {{9, 5}, {-1, 0}, {3, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        EXPECT_TRUE(ORVConfigureTransmissionRate(c.mode));
        EXPECT_EQ(g_nTransmissionRateMode, c.used);
        // The image's rate tables: LED 800 - 40 r + c, parameter 1023 - 100 r.
        EXPECT_EQ(Fw().CalibrationSetting(1), 800 - 40 * c.used + 1);
        EXPECT_EQ(Fw().CalibrationSetting(2), 800 - 40 * c.used + 2);
        EXPECT_EQ(Fw().CalibrationSetting(25), 1023 - 100 * c.used);
        EXPECT_EQ(Fw().CalibrationSetting(26), 1023 - 100 * c.used);
    }
    // The same mode again sends nothing.
    ClearSent();
    EXPECT_TRUE(ORVConfigureTransmissionRate(3));
    EXPECT_TRUE(SentWith({0xCC, 0xFF}).empty());
}

TEST_F(ApiLed, HostSideValues) {
    ORVSetPPGDacLevel(3000);
    EXPECT_EQ(ORVGetPPGDacLevel(), 3000);
    ORVEnablePPGAmplitudeConversion(false);
    EXPECT_EQ(g_bPPGAmplitudeConversion, 0);
    ORVEnableACAboveDC(true);
    EXPECT_EQ(g_bACAboveDC, 1);
    ORVEnableHotPlugDetection(true);
    EXPECT_EQ(g_bHotPlugDetection.load(), 1);
    double lo = 0, hi = 0;
    EXPECT_FALSE(ORVGetLoadedPPGRange(1, &lo, &hi));  // nothing loaded
    EXPECT_FALSE(ORVGetLoadedPPGRange(1, nullptr, &hi));
}

TEST_F(ApiLed, WithoutInstrumentEverythingFailsAndNothingIsSent) {
    Plug(Profile::WithPpgYB2001());
    PPG_LED_PULSE_GROUP_SETTING group = {};
    EXPECT_FALSE(ORVReadLEDPulseGroupSetting(&group));
    EXPECT_FALSE(ORVWriteLEDPulseGroupSetting(&group));
    EXPECT_EQ(ORVGetLEDAmbientLightMode(), 0);
    EXPECT_FALSE(ORVSetLEDAmbientLightMode(PPG_AMBIENT_LIGHT_MODE_0));
    g_nCurrentSelectPPGModule = 3;
    EXPECT_EQ(ORVGetSelectedPPGModule(), 0);
    EXPECT_EQ(g_nCurrentSelectPPGModule.load(), 0);
    EXPECT_FALSE(ORVSelectPPGModule(1));
    EXPECT_EQ(ORVReadAmbientLightDC(), 0);
    EXPECT_FALSE(ORVWritePPGSyncPulse(PPG_CHANNEL_1, SYNC_PULSE_1));
    PPG_LED_SETTING setting = {};
    EXPECT_FALSE(ORVReadPPGLEDSetting(0, 0, &setting));
    EXPECT_FALSE(ORVEnableAutoTriggerLevel(true));
    EXPECT_TRUE(Sent().empty());
}

// ---- The playback engine's command window ------------------------------------------

struct WindowLog {
    std::vector<std::string> calls;
} s_window;

int PlaybackRuns() { return 1; }
bool Write0xCC(unsigned char, unsigned char*, int) { return true; }

PlaybackHooks FakeWindow() {
    PlaybackHooks w = {};
    w.isRunning = PlaybackRuns;
    w.write0xCC = Write0xCC;
    w.setOutputImpedance = [](int code) {
        s_window.calls.push_back("impedance " + std::to_string(code));
        return true;
    };
    w.setOutputLead = [](int code) {
        s_window.calls.push_back("lead " + std::to_string(code));
        return true;
    };
    w.setDCOffset = [](int mv) {
        s_window.calls.push_back("dc " + std::to_string(mv));
        return true;
    };
    w.setOutputPacing = [](int code) {
        s_window.calls.push_back("pacing " + std::to_string(code));
        return true;
    };
    w.getLEDOutputFeedbackVoltageADCData = [] {
        s_window.calls.push_back("feedback");
        return 77;
    };
    w.setLEDPulseGroupSetting = [](PPG_LED_PULSE_GROUP_SETTING* s) {
        s_window.calls.push_back("pulse " + std::to_string(s->usPeriod));
        return true;
    };
    w.getAmbientLightMode = [] {
        s_window.calls.push_back("get ambient");
        return 9;
    };
    w.setAmbientLightMode = [](PPGAmbientLightMode m) {
        s_window.calls.push_back("ambient " + std::to_string(m));
        return true;
    };
    w.readLEDMatrixEnableStatus = [](unsigned char* v) {
        *v = 3;
        s_window.calls.push_back("read matrix");
        return true;
    };
    w.writeLEDMatrixEnableStatus = [](unsigned char v) {
        s_window.calls.push_back("matrix " + std::to_string(v));
        return true;
    };
    w.updatePPGSyncPulse = [](PPGChannel c, SyncPulse p) {
        s_window.calls.push_back("sync " + std::to_string(c) + " " + std::to_string(p));
        return true;
    };
    w.readPPGLEDSetting = [](int g, int i, PPG_LED_SETTING*) {
        s_window.calls.push_back("read led " + std::to_string(g) + " " + std::to_string(i));
        return true;
    };
    w.writePPGLEDSetting = [](int g, int i, PPG_LED_SETTING* s) {
        s_window.calls.push_back("led " + std::to_string(g) + " " + std::to_string(i) + " " +
                                 std::to_string(s->ucData[0]));
        return true;
    };
    return w;
}

TEST_F(ApiLed, WhilePlaybackRunsSettingsGoThroughTheCommandWindow) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    s_window.calls.clear();
    const PlaybackHooks window = FakeWindow();
    InstallPlaybackHooks(&window);

    EXPECT_TRUE(ORVDeviceEnableImpedance(3));
    EXPECT_TRUE(ORVDeviceSetElectrode(7));
    EXPECT_TRUE(ORVDeviceSetDCOffset(-300));
    EXPECT_TRUE(ORVDeviceEnablePacing(0));
    EXPECT_EQ(ORVGetLEDOutputFeedbackVoltageADCData(), 77);
    ORVSaveDefaultPulseSettings();
    EXPECT_EQ(ORVGetLEDAmbientLightMode(), 9);
    EXPECT_TRUE(ORVSetLEDAmbientLightMode(static_cast<PPGAmbientLightMode>(4)));
    unsigned char matrix = 0;
    EXPECT_TRUE(ORVReadLEDMatrixEnableStatus(&matrix));
    EXPECT_EQ(matrix, 3);
    EXPECT_TRUE(ORVWriteLEDMatrixEnableStatus(0));
    EXPECT_TRUE(ORVWritePPGSyncPulse(static_cast<PPGChannel>(5), SYNC_PULSE_2));
    PPG_LED_SETTING setting = {};
    EXPECT_TRUE(ORVReadPPGLEDSetting(1, 2, &setting));
    EXPECT_TRUE(ORVClearPPGLEDSetting(3, 4));
    const std::vector<std::string> expected = {"impedance 255", "lead 255",     "dc -300",    "pacing 0",    "feedback",
                                               "pulse 8000",    "get ambient",  "ambient 4",  "read matrix", "matrix 0",
                                               "sync 1 2",      "read led 1 2", "led 3 4 255"};
    EXPECT_EQ(s_window.calls, expected);
    EXPECT_TRUE(Sent().empty());

    // Respiration has no window form: it goes out at once.
    EXPECT_TRUE(ORVDeviceEnableRespiration(128));
    EXPECT_EQ(SentWith({0xEA, 0xFF, 0x00}).size(), 1u);
    InstallPlaybackHooks(nullptr);
}

TEST_F(ApiLed, AnEngineWithoutAWindowFormForASettingLetsItGoOutDirectly) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    s_window.calls.clear();
    PlaybackHooks partial = {};
    partial.isRunning = PlaybackRuns;
    partial.setOutputImpedance = FakeWindow().setOutputImpedance;
    InstallPlaybackHooks(&partial);
    InstallSamplingHooks(nullptr);  // leaves the playback entries alone

    EXPECT_TRUE(ORVDeviceEnableImpedance(1));
    EXPECT_TRUE(ORVDeviceSetElectrode(1));
    EXPECT_EQ(s_window.calls, std::vector<std::string>{"impedance 255"});
    EXPECT_EQ(SentWith({0xEA, 0xFF, 0x00}).size(), 1u) << "the electrode went out directly";
    double lo = 0, hi = 0;
    EXPECT_FALSE(ORVGetLoadedPPGRange(1, &lo, &hi)) << "the range takes its null form";

    InstallPlaybackHooks(nullptr);
    EXPECT_TRUE(ORVDeviceEnableImpedance(0));
    EXPECT_EQ(s_window.calls.size(), 1u);
    EXPECT_EQ(SentWith({0xEA, 0xFF, 0x00}).size(), 2u) << "no playback: the impedance goes out directly";
}

}  // namespace
