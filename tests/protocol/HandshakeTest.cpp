// The connect handshake and the identity records, end to end through the serial link's
// scan and the emulated instrument.
#include <chrono>
#include <cstring>

#include <gtest/gtest.h>

#include "platform/Device.h"
#include NVS_DEVICE_SEAM_HEADER
#include "protocol/Identity.h"
#include "protocol/PPGModule.h"
#include "ChatScript.h"
#include "ExchangeFixture.h"

namespace {

using Clock = std::chrono::steady_clock;

const Bytes kStop = {0xAD, 0xFF, 0x00, 0x00, 0x00, 0x00};
const Bytes kMainModel = {0x55, 0x00, 0x00};
const Bytes kPPGModel = {0x55, 0x00, 0x01};
const Bytes kRevision = {0xAA, 0x03};
const Bytes kMainDac = {0x55, 0x00, 0x80};
const Bytes kPPGDac = {0x55, 0x00, 0x81};
const Bytes kB8 = {0xB8, 0x00, 0x00};
const Bytes kB9 = {0xB9, 0x00, 0x01};
const Bytes kFPGA = {0xCC, 0x00, 0x14, 0x00};
Bytes IdentityRead(uint8_t target) { return {0x12, 0x55, 0xAA, 0x00, 0x00, target, 0x00, 0x0C, 0, 0, 0, 0}; }

class ProtocolHandshake : public ProtocolExchange {
protected:
    // The serial link's scan of ttyACM0 with the real handshake.
    bool Scan() {
        DeviceSeamSetTargetCheck(nullptr);
        const bool found = DoFindDevice(0) == 1;
        return found;
    }
};

// A packet of the sampling stream (mode byte 4 = 1), not the answer to the stop.
Bytes StreamPacket() {
    Bytes packet(64, 0);
    packet[0] = 0xAD;
    packet[4] = 1;
    return packet;
}

TEST_F(ProtocolHandshake, AcceptanceByLettersAndSerialFilter) {
    struct Case {
        char a, b;
        uint16_t serial;
        int32_t filter;
        bool accepted;
        bool refreshed;  // the records were read from this instrument
    } cases[] = {
        {'N', 'V', 0x0011, 0, true, true},      {'K', 'Q', 0x0011, 0, false, false},
        {'Z', 'M', 0x0011, 0, false, false},    {'N', 'V', 1234, 1234, true, true},
        {'N', 'V', 1235, 1234, false, false},   {'N', 'V', 8999, 0x8000, true, true},
        {'N', 'V', 9000, 0x8000, false, true},   // rejected, but the records were refreshed first
        {'K', 'Q', 8999, 0x8000, true, true},    // the range modes do not look at the letters
        {'N', 'V', 0x9C40, 0x8000, true, true},  // a serial from 0x8000 up reads negative
        {'N', 'V', 8999, 0x10000, false, true}, {'N', 'V', 9000, 0x10000, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << c.b << " serial " << c.serial << " filter " << c.filter);
        ResetProtocolState();
        UseFirmware(BenchUnitAs(Identity(c.a, c.b, 0x4031, c.serial)));
        g_iTargetDeviceSerialNumber = c.filter;
        EXPECT_EQ(Scan(), c.accepted);
        EXPECT_EQ(DeviceIsConnected() != 0, c.accepted);
        EXPECT_EQ(g_ECGModelInfo.iSerialNumber, c.refreshed ? static_cast<int16_t>(c.serial) : 0);
        EXPECT_EQ(g_nFWVersion, c.refreshed ? 0x110 : 0);
        DeviceClose();
    }
}

TEST_F(ProtocolHandshake, MainUnitServingThePPGSide) {
    ASSERT_TRUE(Scan());
    const std::vector<Bytes> expected = {kStop,     kMainModel, kMainModel, IdentityRead(0x01),
                                         kRevision, kMainDac,   kPPGDac,    kB8};
    EXPECT_EQ(Sent(), expected);
    EXPECT_EQ(g_DeviceFeature.bSeparatePPGModule, 0);
    EXPECT_EQ(g_DeviceFeature.nPPGModuleNumber, 6);
    EXPECT_EQ(g_DeviceFeature.nPPGChannelNumber, 2);
    EXPECT_EQ(g_DeviceFeature.fACMaximum, 0.0);  // main units report no PPG ranges
    EXPECT_EQ(0, memcmp(g_PPGModelInfo.cProductName, "NV", 2));
    EXPECT_EQ(g_PPGModelInfo.iSerialNumber, 0x11);
    EXPECT_EQ(g_PPGModelInfo.nLEDType[0], 1);
    EXPECT_EQ(g_PPGModelInfo.nLEDType[1], 2);
    EXPECT_EQ(g_PPGModelInfo.nLEDType[2], 3);
    EXPECT_EQ(g_ECGModuleHWInfo.nFWMajor, 1);
    EXPECT_EQ(g_ECGModuleHWInfo.nFWMinor, 16);
    EXPECT_EQ(g_ECGModuleHWInfo.nHWMajor, 3);
    EXPECT_EQ(g_ECGModuleHWInfo.nHWMinor, 1);
    EXPECT_EQ(g_ECGModuleHWInfo.nFWRevision, 7);
    EXPECT_EQ(g_PPGModuleHWInfo.nFWMajor, 1);
    EXPECT_EQ(g_PPGModuleHWInfo.nFWRevision, 7);  // a copy of the main module's
    EXPECT_EQ(g_PPGModuleHWInfo.nExtModuleVersionHigh, 0x12);
    EXPECT_EQ(g_PPGModuleHWInfo.nExtModuleVersionLow, 0x34);
    EXPECT_EQ(g_nFWVersion, 0x110);
    HW_INFORMATION copy = {};
    EXPECT_TRUE(GetHWInfo(1, &copy));
    EXPECT_EQ(copy.nFWMinor, 16);
    EXPECT_FALSE(GetHWInfo(0, nullptr));
}

TEST_F(ProtocolHandshake, SeparatePPGModule2112) {
    nvsemu::Profile p = BenchUnitWithModule(Identity('Y', 'B', 0x2112, 0x0203, 4, 2, 2, 5));
    p.mainDac16 = p.ppgDac16 = true;
    p.extModuleB9 = true;  // its extension module answers B9 00 01
    p.extVersion = {0x56, 0x78};
    UseFirmware(p);
    ASSERT_TRUE(Scan());
    const std::vector<Bytes> expected = {kStop,     kMainModel,         kMainModel, kPPGModel, IdentityRead(0x01),
                                         kRevision, IdentityRead(0x13), kMainDac,   kPPGDac,   kB9};
    EXPECT_EQ(Sent(), expected);
    const DEVICE_FEATURE row = {1, 1, 0, 2, 1, 1, 0.1, 300, 300, 3000, 0.01, 20, 10, 8};
    EXPECT_EQ(0, memcmp(&g_DeviceFeature, &row, sizeof row));
    EXPECT_EQ(g_PPGModelInfo.nLEDType[0], 1);
    EXPECT_EQ(g_PPGModelInfo.nLEDType[1], 2);
    EXPECT_EQ(g_PPGModelInfo.nLEDType[2], 3);
    EXPECT_EQ(GetPPGFullModelNumber(), 0x2112);
    EXPECT_EQ(g_PPGModelInfo.iSerialNumber, 0x0203);
    EXPECT_EQ(g_PPGModuleHWInfo.nHWMajor, 4);
    EXPECT_EQ(g_PPGModuleHWInfo.nFWMinor, 5);
    EXPECT_EQ(g_PPGModuleHWInfo.nFWRevision, 255);
    EXPECT_EQ(g_PPGModuleHWInfo.nExtModuleVersionHigh, 0x56);  // B9 reply bytes 4 and 5
    EXPECT_EQ(g_PPGModuleHWInfo.nExtModuleVersionLow, 0x78);
    EXPECT_EQ(g_nECGDacLevel, 65535.0);
    EXPECT_EQ(g_nPPGDCDacLevel, 65535.0);
    EXPECT_EQ(g_nPPGACDacLevel, 65535.0);
    EXPECT_EQ(g_nFWVersion, 0x110);  // the main module's
}

TEST_F(ProtocolHandshake, CapabilitiesAndLEDTypesByPPGModel) {
    struct Case {
        char a, b;
        uint16_t model;
        int32_t channels, fpga;
        int32_t led[3];
        bool simulated3, supported3;
        int respiration;
    } cases[] = {
        {'Y', 'B', 0x2001, 2, 0, {1, 2, 3}, false, false, 0}, {'Y', 'B', 0x2005, 1, 0, {1, 2, 0}, true, true, 0},
        {'Y', 'B', 0x1121, 1, 0, {0, 3, 3}, false, false, 0}, {'Y', 'B', 0x3301, 3, 0, {1, 2, 0}, false, true, 0},
        {'Y', 'B', 0x2012, 2, 3, {1, 2, 3}, false, false, 0}, {'X', 'J', 0x2001, 2, 0, {3, 3, 3}, false, false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << c.b << " " << std::hex << c.model);
        ResetProtocolState();
        UseFirmware(BenchUnitWithModule(Identity(c.a, c.b, c.model, 0x0203)));
        ASSERT_TRUE(Scan());
        EXPECT_EQ(g_DeviceFeature.bSeparatePPGModule, 1);
        EXPECT_EQ(g_DeviceFeature.nPPGChannelNumber, c.channels);
        EXPECT_EQ(g_DeviceFeature.nFPGAType, c.fpga);
        EXPECT_EQ(g_PPGModelInfo.nLEDType[0], c.led[0]);
        EXPECT_EQ(g_PPGModelInfo.nLEDType[1], c.led[1]);
        EXPECT_EQ(g_PPGModelInfo.nLEDType[2], c.led[2]);
        EXPECT_EQ(IsPPGChannel3Simulated(), c.simulated3);
        EXPECT_EQ(IsPPGChannel3Supported(), c.supported3);
        EXPECT_EQ(GetECGRespirationType(), c.respiration);
        DeviceClose();
    }
}

TEST_F(ProtocolHandshake, DeadFPGAMakesThePPGSideLookAbsent) {
    UseFirmware(BenchUnitWithModule(Identity('Y', 'B', 0x2012, 0x0203)));
    Fw().SetFpgaAlive(false);
    ASSERT_TRUE(Scan());  // the connection still succeeds
    EXPECT_EQ(Sent().back(), kFPGA);
    EXPECT_EQ(GetPPGFullModelNumber(), 0);
    EXPECT_EQ(g_PPGModelInfo.cProductName[0], 0);
    EXPECT_EQ(g_PPGModelInfo.iSerialNumber, 0);
    EXPECT_EQ(g_PPGModelInfo.nLEDType[0], 3);
    EXPECT_EQ(g_PPGModelInfo.nLEDType[1], 3);
    EXPECT_EQ(g_PPGModelInfo.nLEDType[2], 3);
    EXPECT_EQ(g_DeviceFeature.nPPGModuleNumber, 0);
    EXPECT_EQ(g_DeviceFeature.nFPGAType, 0);
    EXPECT_EQ(g_DeviceFeature.nPPGChannelNumber, 0);
    EXPECT_EQ(g_DeviceFeature.nFlag1, 0);
    EXPECT_EQ(g_DeviceFeature.nFlag2, 1);  // the rest of the row stays
    DeviceClose();

    ResetProtocolState();
    Fw().SetFpgaAlive(true);
    ASSERT_TRUE(Scan());
    EXPECT_EQ(g_DeviceFeature.nFPGAType, 3);
    EXPECT_EQ(GetPPGFullModelNumber(), 0x2012);
}

TEST_F(ProtocolHandshake, StreamPacketsBeforeTheStopAreSkipped) {
    // The stream was running: five of its packets are under way when the stop arrives,
    // and the firmware's answer to the stop comes after them.
    emu_.SetRequestHook([this](const nvsemu::Request& r) {
        if (r.bytes == kStop) {
            for (int i = 0; i < 5; ++i) {
                emu_.Inject(StreamPacket());
            }
        }
    });
    EXPECT_TRUE(Scan());
    const std::vector<Bytes> written = emu_.Written();
    ASSERT_GE(written.size(), 6u);
    EXPECT_EQ(written[4], StreamPacket());
    EXPECT_EQ(written[5][0], 0xAD);  // then the answer to the stop
    EXPECT_EQ(written[5][4], 0);
}

TEST_F(ProtocolHandshake, AnInstrumentThatNeverAcknowledgesTheStopIsGivenUp) {
    // The stream goes on, a packet every 10 ms for four seconds, and the answer to the
    // stop never comes: the firmware model answers a stop with one packet, so this
    // exchange is scripted.
    std::vector<nvsemu::Reply> stream;
    for (unsigned i = 0; i < 400; ++i) {
        stream.push_back(nvsemu::Reply{StreamPacket(), 10 * i});
    }
    auto chat = std::make_shared<ChatScript>();
    chat->Expect(kStop, stream);
    emu_.SetResponder(chat);
    const auto start = Clock::now();
    EXPECT_FALSE(Scan());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GT(seconds, 1.5);
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(Sent().size(), 1u);  // nothing after the stop
    EXPECT_TRUE(chat->Done());
    EXPECT_TRUE(chat->Mismatches().empty());
}

TEST_F(ProtocolHandshake, FailuresOfTheIdentityExchanges) {
    struct Case {
        const char* what;
        Bytes header;
        nvsemu::Fault fault;
    } cases[] = {
        {"silent model record", kMainModel, nvsemu::Fault::Drop()},
        {"short model record", kMainModel, nvsemu::Fault::Truncate(11)},
        {"silent stop", kStop, nvsemu::Fault::Drop()},
        // (its status byte is not examined: an answer with it unset connects)
        {"version read answered for another target", IdentityRead(0x01), nvsemu::Fault::Alter({{5, 0x13}})},
        {"silent revision", kRevision, nvsemu::Fault::Drop()},
        {"short revision", kRevision, nvsemu::Fault::Truncate(4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetProtocolState();
        emu_.ClearFaults();
        emu_.FaultOnHeader(c.header, c.fault, 0);
        EXPECT_FALSE(Scan());
        EXPECT_EQ(DeviceIsConnected(), 0);
        // A missing or foreign version read never becomes the firmware version.
        EXPECT_EQ(g_nFWVersion, 0);
        DeviceClose();
    }
}

TEST_F(ProtocolHandshake, FailedOptionalReadsKeepEarlierValues) {
    // The DAC-width and extension-module reads may fail without failing the connection.
    emu_.FaultOnHeader(kMainDac, nvsemu::Fault::Drop(), 0);
    emu_.FaultOnHeader(kB8, nvsemu::Fault::Truncate(10), 0);
    g_nECGDacLevel = 1234.0;
    ASSERT_TRUE(Scan());
    EXPECT_EQ(g_nECGDacLevel, 1234.0);
    EXPECT_EQ(g_PPGModuleHWInfo.nExtModuleVersionHigh, 0);
    EXPECT_EQ(g_nFWVersion, 0x110);
}

TEST_F(ProtocolHandshake, ForgetsTheDynamicLEDState) {
    g_PPGDynamicLEDEnabled = 1;
    ASSERT_TRUE(Scan());
    EXPECT_EQ(g_PPGDynamicLEDEnabled, 0);
}

TEST_F(ProtocolHandshake, NoPortMeansNoInstrument) {
    EXPECT_FALSE(IsTargetDevice());
    EXPECT_FALSE(UpdateDeviceInformation());
    MODEL_INFORMATION m = {};
    EXPECT_FALSE(GetModelInfo(0, &m));
    EXPECT_TRUE(emu_.Requests().empty());
}

TEST(ProtocolHandshakeScan, FindsTheInstrumentWithTheWantedSerialAmongPorts) {
    ResetProtocolState();
    LinkSandbox sandbox;
    nvsemu::Emulator a, b;
    ASSERT_TRUE(a.Start());
    ASSERT_TRUE(b.Start());
    a.SetResponder(std::make_shared<nvsemu::Firmware>(BenchUnitAs(Identity('N', 'V', 0x4031, 100))));
    b.SetResponder(std::make_shared<nvsemu::Firmware>(BenchUnitAs(Identity('N', 'V', 0x4031, 200))));
    ASSERT_TRUE(a.LinkAs(sandbox.NodePath(1)));
    ASSERT_TRUE(b.LinkAs(sandbox.NodePath(3)));
    DeviceSeamSetTargetCheck(nullptr);
    g_iTargetDeviceSerialNumber = 200;
    ASSERT_EQ(FindDevice(-1), 1);
    EXPECT_EQ(std::string(g_szDevicePath), sandbox.NodePath(3));
    EXPECT_EQ(g_ECGModelInfo.iSerialNumber, 200);
    EXPECT_FALSE(a.Requests().empty());  // asked, and turned down
    DeviceClose();
    a.Stop();
    b.Stop();
    ResetProtocolState();
}

}  // namespace
