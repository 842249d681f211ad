// The connect handshake on every profile of the firmware model: accepted or refused,
// and the identity, version, DAC-width and capability records the library fills, set
// against what the profile declares and the capability rows of each model.
#include <cstring>

#include "CrossCheck.h"
#include "platform/Device.h"
#include "protocol/Identity.h"

namespace {

using nvsemu::ModuleIdentity;
using nvsemu::Profile;

// The capability record each profile's PPG side must produce (the main-unit row for
// 0x4031, else the PPG row of the module's model number).
struct Expected {
    const char* profile;
    DEVICE_FEATURE feature;
    int ledTypes[3];
    int extHigh, extLow;  // extension-module version bytes the library reports
    double ecgDac, ppgDac;
};

const Expected kExpected[] = {
    {"main-4031", {0, 6, 0, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 2, 3}, 0, 0, 4095, 4095},
    {"yb-2001", {1, 1, 0, 2, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}, {1, 2, 3}, 0, 0, 4095, 4095},
    {"yb-2012-fpga", {1, 1, 3, 2, 1, 1, 0.75, 30, 30, 3000, 0.025, 30, 8, 8}, {1, 2, 3}, 0x01, 0x04, 4095, 4095},
    // A dead FPGA: the PPG side is made to look absent (module count, FPGA type,
    // channel count and nFlag1 zero), the rest of the row stays.
    {"yb-2012-fpga-dead", {1, 0, 0, 0, 0, 1, 0.75, 30, 30, 3000, 0.025, 30, 8, 8}, {3, 3, 3}, 0, 0, 4095, 4095},
    {"yb-2112", {1, 1, 0, 2, 1, 1, 0.1, 300, 300, 3000, 0.01, 20, 10, 8}, {1, 2, 3}, 0x02, 0x01, 4095, 65535},
    {"xj", {1, 1, 0, 1, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}, {3, 3, 3}, 0, 0, 4095, 4095},
    // Three PPG channels; one channel with channel 3 supported (LED type 0 on channel 3).
    {"yb-3001", {1, 1, 0, 3, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 10, 10}, {1, 2, 0}, 0, 0, 4095, 4095},
    {"yb-2005", {1, 1, 0, 1, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8}, {1, 2, 0}, 0, 0, 4095, 4095},
};

void ExpectModel(const MODEL_INFORMATION& got, const ModuleIdentity& m, const int (&led)[3]) {
    EXPECT_EQ(got.cProductName[0], m.letters[0]);
    EXPECT_EQ(got.cProductName[1], m.letters[1]);
    EXPECT_EQ(got.ucGeneration, m.model >> 8);
    EXPECT_EQ(got.ucModel, m.model & 0xFF);
    EXPECT_EQ(got.iSerialNumber, static_cast<int16_t>(m.serial));
    EXPECT_EQ(got.nSerialPrefix, m.serialPrefix);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(got.nLEDType[c], led[c]) << "LED type of channel " << c + 1;
    }
}

void ExpectFeature(const DEVICE_FEATURE& got, const DEVICE_FEATURE& want) {
    EXPECT_EQ(got.bSeparatePPGModule, want.bSeparatePPGModule);
    EXPECT_EQ(got.nPPGModuleNumber, want.nPPGModuleNumber);
    EXPECT_EQ(got.nFPGAType, want.nFPGAType);
    EXPECT_EQ(got.nPPGChannelNumber, want.nPPGChannelNumber);
    EXPECT_EQ(got.nFlag1, want.nFlag1);
    EXPECT_EQ(got.nFlag2, want.nFlag2);
    EXPECT_DOUBLE_EQ(got.fACMinimum, want.fACMinimum);
    EXPECT_DOUBLE_EQ(got.fACMaximum, want.fACMaximum);
    EXPECT_DOUBLE_EQ(got.fDCMinimum, want.fDCMinimum);
    EXPECT_DOUBLE_EQ(got.fDCMaximum, want.fDCMaximum);
    EXPECT_DOUBLE_EQ(got.fParam1, want.fParam1);
    EXPECT_DOUBLE_EQ(got.fParam2, want.fParam2);
    EXPECT_EQ(got.nParam1, want.nParam1);
    EXPECT_EQ(got.nParam2, want.nParam2);
}

class CrossHandshake : public CrossCheck, public ::testing::WithParamInterface<Expected> {};

TEST_P(CrossHandshake, RecordsMatchTheProfile) {
    const Expected& e = GetParam();
    const Profile p = ProfileNamed(e.profile);
    Connect(p);
    EXPECT_EQ(DeviceIsConnected(), 1);
    EXPECT_FALSE(fw_->StreamOn()) << "the handshake stops the sampling stream";

    // The main module's record always comes from the instrument; its LED types are
    // those of its own model number (1, 2, 3 for both main models of the profiles).
    const int mainLed[3] = {1, 2, 3};
    ExpectModel(g_ECGModelInfo, p.main, mainLed);
    if (std::strcmp(e.profile, "yb-2012-fpga-dead") == 0) {
        const MODEL_INFORMATION absent = {{0, 0}, 0, 0, 0, 0, {3, 3, 3}};
        EXPECT_EQ(memcmp(&g_PPGModelInfo, &absent, sizeof absent), 0);
    } else {
        ExpectModel(g_PPGModelInfo, p.PpgSide(), e.ledTypes);
    }
    ExpectFeature(g_DeviceFeature, e.feature);

    EXPECT_EQ(g_ECGModuleHWInfo.nFWMajor, p.main.fwMajor);
    EXPECT_EQ(g_ECGModuleHWInfo.nFWMinor, p.main.fwMinor);
    EXPECT_EQ(g_ECGModuleHWInfo.nFWRevision, p.fwRevision);
    EXPECT_EQ(g_ECGModuleHWInfo.nHWMajor, p.main.hwMajor);
    EXPECT_EQ(g_ECGModuleHWInfo.nHWMinor, p.main.hwMinor);
    EXPECT_EQ(g_ECGModuleHWInfo.nExtModuleVersionHigh, 0);
    EXPECT_EQ(g_ECGModuleHWInfo.nExtModuleVersionLow, 0);
    EXPECT_EQ(g_nFWVersion, p.main.FirmwareVersion());

    const ModuleIdentity& side = p.PpgSide();
    EXPECT_EQ(g_PPGModuleHWInfo.nFWMajor, side.fwMajor);
    EXPECT_EQ(g_PPGModuleHWInfo.nFWMinor, side.fwMinor);
    // The PPG side's revision is 255 for a module of its own; a main unit serving the
    // PPG side lends its own record, revision included.
    EXPECT_EQ(g_PPGModuleHWInfo.nFWRevision, p.separatePpg ? 255 : p.fwRevision);
    EXPECT_EQ(g_PPGModuleHWInfo.nHWMajor, side.hwMajor);
    EXPECT_EQ(g_PPGModuleHWInfo.nHWMinor, side.hwMinor);
    EXPECT_EQ(g_PPGModuleHWInfo.nExtModuleVersionHigh, e.extHigh);
    EXPECT_EQ(g_PPGModuleHWInfo.nExtModuleVersionLow, e.extLow);

    EXPECT_EQ(g_nECGDacLevel, e.ecgDac);
    EXPECT_EQ(g_nPPGDCDacLevel, e.ppgDac);
    EXPECT_EQ(g_nPPGACDacLevel, e.ppgDac);
    EXPECT_EQ(GetECGRespirationType(), p.extResp ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Profiles, CrossHandshake, ::testing::ValuesIn(kExpected),
                         [](const ::testing::TestParamInfo<Expected>& info) {
                             std::string name = info.param.profile;
                             for (char& c : name) {
                                 if (c == '-') {
                                     c = '_';
                                 }
                             }
                             return name;
                         });

// The serial-number filter against the profile's own serial: none, the two range modes
// (which look at neither letters nor status) and the exact serial.
TEST_F(CrossCheck, SerialFilterAgainstTheProfileSerial) {
    struct Case {
        const char* profile;
        uint16_t serial;  // the main module's stored serial (the profile's own unless changed)
        char letters[2];
        int32_t filter;
        bool accepted;
        bool refreshed;  // the records were read from this instrument
    };
    const Profile p4031 = ProfileNamed("main-4031");
    const Profile p2112 = ProfileNamed("yb-2112");
    const Case cases[] = {
        {"yb-2112", p2112.main.serial, {'N', 'V'}, 0, true, true},
        {"yb-2112", p2112.main.serial, {'N', 'V'}, p2112.main.serial, true, true},
        {"yb-2112", p2112.main.serial, {'N', 'V'}, p2112.main.serial + 1, false, false},
        {"yb-2112", p2112.main.serial, {'N', 'V'}, 0x8000, true, true},
        {"yb-2112", p2112.main.serial, {'N', 'V'}, 0x10000, false, true},
        {"main-4031", p4031.main.serial, {'N', 'V'}, p4031.main.serial, true, true},
        {"main-4031", 8999, {'N', 'V'}, 0x8000, true, true},
        {"main-4031", 9000, {'N', 'V'}, 0x8000, false, true},
        {"main-4031", 9000, {'N', 'V'}, 0x10000, true, true},
        {"main-4031", 0x9C40, {'N', 'V'}, 0x8000, true, true},  // reads as -25536
        {"main-4031", 0x9C40, {'N', 'V'}, 0x10000, false, true},
        {"main-4031", p4031.main.serial, {'K', 'Q'}, 0, false, false},
        {"main-4031", p4031.main.serial, {'K', 'Q'}, 0x8000, true, true},  // letters not compared
        {"main-4031", p4031.main.serial, {'Z', 'M'}, p4031.main.serial, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.profile << " serial " << c.serial << " " << c.letters[0] << c.letters[1]
                                        << " filter 0x" << std::hex << c.filter);
        ResetProtocolState();
        Profile p = ProfileNamed(c.profile);
        p.main.serial = c.serial;
        p.main.letters[0] = c.letters[0];
        p.main.letters[1] = c.letters[1];
        g_iTargetDeviceSerialNumber = c.filter;
        EXPECT_EQ(Plug(p) == 1, c.accepted);
        EXPECT_EQ(DeviceIsConnected() != 0, c.accepted);
        EXPECT_EQ(g_ECGModelInfo.iSerialNumber, c.refreshed ? static_cast<int16_t>(c.serial) : 0);
        EXPECT_EQ(g_nFWVersion, c.refreshed ? p.main.FirmwareVersion() : 0);
        DeviceClose();
    }
}

// The version read (the memory command's bare 12-byte header for the identity record)
// answered with its status byte left unset: the instrument repeats the header, and
// that answer's status byte is not examined, so the handshake takes its versions.
class VersionStatusUnset : public nvsemu::Responder {
public:
    explicit VersionStatusUnset(std::shared_ptr<nvsemu::Firmware> fw) : fw_(std::move(fw)) {}
    std::vector<nvsemu::Reply> Answer(const nvsemu::Request& request) override {
        std::vector<nvsemu::Reply> replies = fw_->Answer(request);
        const Bytes& r = request.bytes;
        if (r.size() >= 6 && r[0] == 0x12 && r[1] == 0x55 && r[2] == 0xAA && r[3] == 0x00 &&
            (r[5] == 0x01 || r[5] == 0x13)) {
            for (nvsemu::Reply& reply : replies)
                if (reply.bytes.size() > 4)
                    reply.bytes[4] = 0x00;
        }
        return replies;
    }

private:
    std::shared_ptr<nvsemu::Firmware> fw_;
};

TEST_F(CrossCheck, AVersionReadWithItsStatusByteUnsetConnects) {
    for (const char* name : {"yb-2001", "main-4031"}) {
        SCOPED_TRACE(name);
        DeviceClose();
        ResetProtocolState();
        const Profile p = ProfileNamed(name);
        fw_ = std::make_shared<nvsemu::Firmware>(p);
        emu_.SetResponder(std::make_shared<VersionStatusUnset>(fw_));
        ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(0)));
        ASSERT_EQ(FindDevice(0), 1);
        EXPECT_EQ(g_ECGModuleHWInfo.nFWMajor, p.main.fwMajor);
        EXPECT_EQ(g_ECGModuleHWInfo.nHWMajor, p.main.hwMajor);
        EXPECT_EQ(g_nFWVersion, p.main.FirmwareVersion());
        DeviceClose();
    }
}

}  // namespace
