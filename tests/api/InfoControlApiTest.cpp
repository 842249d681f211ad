// The information and control-setting functions through the real transport against the
// firmware model: the bytes sent, the value returned, on success, refusal and without an
// instrument.
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "api/DeviceInfo.h"
#include "platform/Device.h"
#include "protocol/Identity.h"
#include "waveform/Calibration.h"

namespace {

using nvsemu::Profile;

class ApiInfoControl : public ApiTest {};

TEST(ApiHelpers, VersionAndChannelChecks) {
    EXPECT_EQ(ORVGetVersion(), 16778500);
    EXPECT_EQ(ConvertVersion("1.0.5.4"), (1 << 24) | (5 << 8) | 4);
    EXPECT_EQ(ConvertVersion("2.3"), (2 << 24) | (3 << 16));
    EXPECT_EQ(ConvertVersion(nullptr), 0);
    EXPECT_EQ(ConvertVersion("255.255.255.255"), -1);  // all bits, no overflow
    for (int c : {-1, 0, 4, 7})
        EXPECT_EQ(CheckPPGChannel(static_cast<PPGChannel>(c)), PPG_CHANNEL_1) << c;
    for (int c : {1, 2, 3})
        EXPECT_EQ(CheckPPGChannel(static_cast<PPGChannel>(c)), c);
}

TEST(ApiHelpers, SerialNumberTextIsFourteenCharactersOrEmpty) {
    struct Case {
        MODEL_INFORMATION record;
        const char* text;
    } cases[] = {
        {{{'N', 'V'}, 0x10, 0x01, 42, 3, {0, 0, 0}}, "ONV1001-030042"},
        {{{'Y', 'B'}, 0x21, 0x12, 4097, 3, {0, 0, 0}}, "OYB2112-034097"},
        {{{'N', 'V'}, 0x10, 0x01, 10000, 3, {0, 0, 0}}, ""},  // 15 characters
        {{{'N', 'V'}, 0x10, 0x01, 42, 100, {0, 0, 0}}, ""},   // prefix of three digits
        {{{0, 0}, 0, 0, 0, 0, {0, 0, 0}}, ""},                // no instrument
    };
    for (const Case& c : cases) {
        char buffer[32];
        memset(buffer, 'x', sizeof buffer);
        FormatSerialNumber(c.record, buffer, sizeof buffer);
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST_F(ApiInfoControl, IdentityOfTheConnectedInstrument) {
    Plug(WithMainIdentity(Profile::WithPpg2112(), 0x1001, 3, 42, 8, 1));
    ASSERT_TRUE(Connect());
    EXPECT_STREQ(ORVGetSerialNumber(), "ONV1001-030042");
    EXPECT_STREQ(ORVGetPPGSerialNumber(), "OYB2112-034097");  // the module: prefix 3, serial 0x1001
    MODEL_INFORMATION ppg = {};
    ASSERT_TRUE(ORVGetPPGDeviceInformation(&ppg));
    EXPECT_EQ(ppg.ucGeneration, 0x21);
    HW_INFORMATION hw = {}, ppgHw = {};
    ASSERT_TRUE(ORVGetHWInformation(&hw));
    ASSERT_TRUE(ORVGetPPGHWInformation(&ppgHw));
    EXPECT_EQ(hw.nHWMajor, 8);
    EXPECT_EQ(hw.nFWMinor, 16);
    EXPECT_EQ(ppgHw.nFWMajor, 3);
    EXPECT_EQ(ppgHw.nFWRevision, 255);
    DEVICE_FEATURE feature = {};
    ORVGetDeviceFeature(&feature);
    EXPECT_EQ(feature.bSeparatePPGModule, 1);
    EXPECT_EQ(feature.fACMaximum, 300.0);
    EXPECT_FALSE(ORVGetDeviceInformation(nullptr));
    EXPECT_FALSE(ORVGetHWInformation(nullptr));
    ORVGetDeviceFeature(nullptr);
    EXPECT_TRUE(Sent().empty());             // copies of the cached records
    EXPECT_TRUE(ORVDeviceSetDCOffset(300));  // hardware 8.1 still has the fixed offset
    EXPECT_EQ(Fw().ControlBlock()[2], 1);
}

TEST_F(ApiInfoControl, MainUnitServesThePPGRecords) {
    Plug(Profile::MainUnit4031());
    ASSERT_TRUE(Connect());
    EXPECT_STREQ(ORVGetPPGSerialNumber(), ORVGetSerialNumber());
    EXPECT_STREQ(ORVGetSerialNumber(), "ONV4031-010291");
    HW_INFORMATION hw = {};
    ASSERT_TRUE(ORVGetPPGHWInformation(&hw));
    EXPECT_EQ(hw.nFWMinor, 5);
}

// Control-block byte that each setter changes: offset and the value for an argument.
TEST_F(ApiInfoControl, OutputPathSettersWriteTheirControlBlockByte) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    struct Case {
        const char* name;
        std::function<bool()> call;
        size_t offset;
        uint8_t value;
    } cases[] = {
        {"electrode 7", [] { return ORVDeviceSetElectrode(7); }, 3, 0xFF},
        {"electrode 0", [] { return ORVDeviceSetElectrode(0); }, 3, 0x00},
        {"impedance 1", [] { return ORVDeviceEnableImpedance(1); }, 1, 0xFF},
        {"impedance 0", [] { return ORVDeviceEnableImpedance(0); }, 1, 0x00},
        {"pacing -5", [] { return ORVDeviceEnablePacing(-5); }, 4, 0xFF},
        {"respiration 128", [] { return ORVDeviceEnableRespiration(128); }, 5, 0xFF},
        {"respiration 1", [] { return ORVDeviceEnableRespiration(1); }, 5, 0x00},
        {"DC offset 300", [] { return ORVDeviceSetDCOffset(300); }, 2, 1},
        {"DC offset -300", [] { return ORVDeviceSetDCOffset(-300); }, 2, 2},
        {"DC offset 0", [] { return ORVDeviceSetDCOffset(0); }, 2, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ClearSent();
        EXPECT_TRUE(c.call());
        EXPECT_EQ(Fw().ControlBlock()[c.offset], c.value);
        EXPECT_EQ(SentWith({0xEA, 0xFF, 0x00}).size(), 1u);  // one block write
    }
}

TEST_F(ApiInfoControl, DCOffsetRefusedWithoutTrafficForOtherValuesAndNewHardware) {
    Plug(WithMainIdentity(Profile::WithPpgYB2001(), 0x2001, 0, 17, 8, 2));
    ASSERT_TRUE(Connect());
    EXPECT_FALSE(ORVDeviceSetDCOffset(150));
    EXPECT_FALSE(ORVDeviceSetDCOffset(300));  // hardware 8.2 has no fixed offset
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ApiInfoControl, RefusedSettingsReturnFalse) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    Fw().RefuseRequests({0xEA, 0xFF, 0x00}, 0);
    EXPECT_FALSE(ORVDeviceSetElectrode(1));
    EXPECT_FALSE(ORVDeviceEnablePacing(1));
    EXPECT_EQ(Fw().ControlBlock()[3], 0);
}

TEST_F(ApiInfoControl, MeasurementsRightLegDriveAndRawCommand) {
    Plug(Profile::WithPpgYB2001());
    ASSERT_TRUE(Connect());
    EXPECT_EQ(ORVGetLEDOutputFeedbackVoltageADCData(), 0x9A);
    EXPECT_EQ(ORVGetUSBBusVoltage(), 0xC8);
    EXPECT_TRUE(ORVEnableRLD(true));
    EXPECT_EQ(Fw().StreamMask(), 16);
    EXPECT_TRUE(ORVEnableRLD(false));
    EXPECT_EQ(SentWith({0xAD, 0xFF, 0x00, 0x00}).back(), (Bytes{0xAD, 0xFF, 0x00, 0x00, 0x00, 0x00}));
    Fw().SetRld(0x0200, 0x03FF);
    double a = 0, b = 0;
    EXPECT_TRUE(ORVReadRLD(&a, &b));
    EXPECT_DOUBLE_EQ(a, 0x0200 * 2.5 / 1023);
    EXPECT_DOUBLE_EQ(b, 2.5);
    EXPECT_FALSE(ORVReadRLD(nullptr, &b));

    // The pass-through: the revision request answers 5 bytes.
    unsigned char revision[2] = {0xAA, 0x03};
    unsigned char reply[8];
    memset(reply, 0xEE, sizeof reply);
    EXPECT_EQ(ORVSendCommand(revision, 2, reply, 5), 5);
    EXPECT_EQ(reply[0], 0xAA);
    EXPECT_EQ(reply[3], 0x07);  // this profile's revision byte
    EXPECT_EQ(reply[5], 0xEE);
    // A 64-byte reply into a 4-byte buffer: nothing is written past it.
    unsigned char usb[4] = {0xCC, 0x00, 0x42, 0x00};
    memset(reply, 0xEE, sizeof reply);
    ORVSendCommand(usb, 4, reply, 4);
    for (int i = 4; i < 8; ++i)
        EXPECT_EQ(reply[i], 0xEE) << i;
    ClearSent();
    EXPECT_EQ(ORVSendCommand(nullptr, 2, reply, 5), -1);
    EXPECT_EQ(ORVSendCommand(revision, 0, reply, 5), -1);
    EXPECT_EQ(ORVSendCommand(revision, 2, reply, -1), -1);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ApiInfoControl, WithoutInstrumentSettersFailGettersGiveZeroAndNothingIsSent) {
    Plug(Profile::WithPpgYB2001());  // plugged but not connected
    EXPECT_FALSE(ORVDeviceSetElectrode(1));
    EXPECT_FALSE(ORVDeviceEnableImpedance(1));
    EXPECT_FALSE(ORVDeviceEnablePacing(1));
    EXPECT_FALSE(ORVDeviceEnableRespiration(128));
    EXPECT_FALSE(ORVDeviceSetDCOffset(300));
    EXPECT_FALSE(ORVEnableRLD(true));
    double a, b;
    EXPECT_FALSE(ORVReadRLD(&a, &b));
    EXPECT_EQ(ORVGetLEDOutputFeedbackVoltageADCData(), 0);
    EXPECT_EQ(ORVGetUSBBusVoltage(), 0);
    unsigned char revision[2] = {0xAA, 0x03};
    unsigned char reply[5];
    EXPECT_EQ(ORVSendCommand(revision, 2, reply, 5), -1);
    EXPECT_STREQ(ORVGetSerialNumber(), "");
    EXPECT_STREQ(ORVGetPPGSerialNumber(), "");
    EXPECT_EQ(ORVGetDeviceHandle(), reinterpret_cast<void*>(-1));
    EXPECT_TRUE(Sent().empty());
}

TEST_F(ApiInfoControl, HandedOverPortIsIdentifiedAndANullHandleMeansNoPort) {
    Plug(WithMainIdentity(Profile::MainUnit4031(), 0x4031, 2, 77, 1, 2));
    const int fd = open(emu_.SlavePath().c_str(), O_RDWR | O_NOCTTY);  // blocking, as a host may open it
    ASSERT_GE(fd, 0);
    ORVSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    EXPECT_EQ(ORVGetDeviceHandle(), reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    EXPECT_STREQ(ORVGetSerialNumber(), "ONV4031-020077");
    EXPECT_EQ(ORVGetUSBBusVoltage(), 0xC8);
    ORVSetDeviceHandle(nullptr);
    EXPECT_EQ(ORVGetDeviceHandle(), reinterpret_cast<void*>(-1));
    EXPECT_EQ(0, DeviceIsConnected());
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the library owned it and closed it
}

}  // namespace
