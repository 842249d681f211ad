// Pure builders and readers: identity replies, the handshake's verdict, the memory
// command, the control block and the PPG-module replies.
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/MemoryCommand.h"
#include "protocol/PPGModule.h"
#include "protocol/StoredRecords.h"
#include "waveform/Calibration.h"
#include "ExchangeFixture.h"

namespace {

Bytes ModelReply(char a, char b, uint16_t serial, uint8_t module = 0, uint8_t status = 0xFF) {
    const Bytes id = IdentityRecord(a, b, 0x2001, serial);
    Bytes reply(12, 0);
    reply[0] = 0x55;
    reply[2] = module;
    reply[3] = status;
    std::copy(id.begin(), id.begin() + 8, reply.begin() + 4);
    return reply;
}

TEST(ProtocolIdentityCodec, ModelReplySignExtendsTheSerialAndChecksItsHeader) {
    MODEL_INFORMATION m = {};
    Bytes reply = ModelReply('Y', 'B', 0x9C40, 1);
    ASSERT_TRUE(ParseModelRecordReply(reply.data(), 1, &m));
    EXPECT_EQ(m.iSerialNumber, -25536);
    EXPECT_EQ(m.cProductName[0], 'Y');
    EXPECT_EQ(m.cProductName[1], 'B');
    EXPECT_EQ(m.ucGeneration, 0x20);
    EXPECT_EQ(m.ucModel, 0x01);
    EXPECT_EQ(m.nSerialPrefix, 0x21);

    MODEL_INFORMATION untouched = {};
    untouched.iSerialNumber = 77;
    EXPECT_FALSE(ParseModelRecordReply(reply.data(), 0, &untouched));  // asked for module 0
    reply[3] = 0x00;
    EXPECT_FALSE(ParseModelRecordReply(reply.data(), 1, &untouched));  // not accepted
    EXPECT_EQ(untouched.iSerialNumber, 77);
}

TEST(ProtocolIdentityCodec, HandshakeVerdictByLettersAndFilter) {
    using V = HandshakeVerdict;
    struct Case {
        char a, b;
        uint16_t serial;
        int32_t filter;
        V verdict;
    } cases[] = {
        {'N', 'V', 0x0011, 0, V::Identify},
        {'K', 'Q', 0x0011, 0, V::Reject},  // other main units are not accepted
        {'N', 'V', 1234, 1234, V::Identify},
        {'N', 'V', 1235, 1234, V::Reject},  // the serial decides before the letters
        {'K', 'Q', 1234, 1234, V::Reject},
        {'N', 'V', 8999, 0x8000, V::RangeAccept},
        {'N', 'V', 9000, 0x8000, V::RangeReject},
        {'K', 'Q', 8999, 0x8000, V::RangeAccept},    // the range modes never look at the letters
        {'N', 'V', 0x9C40, 0x8000, V::RangeAccept},  // negative: counts as at most 8999
        {'N', 'V', 8999, 0x10000, V::RangeReject},
        {'Z', 'M', 9000, 0x10000, V::RangeAccept},
        {'N', 'V', 0x9C40, 0x10000, V::RangeReject},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << c.b << " serial " << c.serial << " filter " << c.filter);
        const Bytes reply = ModelReply(c.a, c.b, c.serial);
        EXPECT_EQ(JudgeHandshakeReply(reply.data(), c.filter), c.verdict);
    }
    // Byte 3 must be 0xFF and the marker 0x4F, except in the range modes.
    Bytes refused = ModelReply('N', 'V', 17, 0, 0x00);
    EXPECT_EQ(JudgeHandshakeReply(refused.data(), 0), V::Reject);
    EXPECT_EQ(JudgeHandshakeReply(refused.data(), 0x8000), V::RangeAccept);
}

TEST(ProtocolMemoryCodec, RequestLayout) {
    uint8_t out[64];
    const uint8_t data[3] = {1, 2, 3};
    BuildMemoryRequest(out, MemoryOp::Write, 0x13, 3, 0x00012345, data);
    const uint8_t head[16] = {0x12, 0x55, 0xAA, 0xFF, 0x00, 0x13, 0x00, 0x03, 0x00, 0x01, 0x23, 0x45, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(out, head, 16));
    EXPECT_EQ(out[16], 1);
    EXPECT_EQ(out[18], 3);
    EXPECT_EQ(out[19], 0);

    BuildMemoryRequest(out, MemoryOp::Erase, 0x01, 9, 0x10, nullptr);
    EXPECT_EQ(out[3], 0xFF);
    EXPECT_EQ(out[6], 1);
    EXPECT_EQ(out[7], 0);  // an erase carries no count
    BuildMemoryRequest(out, MemoryOp::Read, 0x12, 32, 0x10000, nullptr);
    EXPECT_EQ(out[3], 0x00);
    EXPECT_EQ(out[7], 32);
}

TEST(ProtocolMemoryCodec, ReplyMustEchoTheRequestAndCarryTheSuccessMark) {
    uint8_t good[64];
    BuildMemoryRequest(good, MemoryOp::Read, 0x13, 32, 0x1400, nullptr);
    good[4] = 0xFF;
    EXPECT_EQ(CheckMemoryReply(good, MemoryOp::Read, 0x13, 32, 0x1400), proto::Result::Ok);
    struct Case {
        int byte;
        uint8_t value;
        proto::Result result;
    } cases[] = {
        {4, 0x00, proto::Result::Refused},   {0, 0x13, proto::Result::Mismatch},
        {3, 0xFF, proto::Result::Mismatch},   // a write's reply is not a read's
        {5, 0x12, proto::Result::Mismatch},   // another target
        {7, 16, proto::Result::Mismatch},     // another count
        {11, 0x20, proto::Result::Mismatch},  // another address (the next packet's)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.byte);
        uint8_t reply[64];
        memcpy(reply, good, sizeof reply);
        reply[c.byte] = c.value;
        EXPECT_EQ(CheckMemoryReply(reply, MemoryOp::Read, 0x13, 32, 0x1400), c.result);
    }
}

TEST(ProtocolControlBlockCodec, OperatorModeAndBlockWriteLayouts) {
    uint8_t out[kOperatorModeLength];
    const uint8_t ac[3] = {0, 1, 2};
    BuildOperatorModeRequest(out, 8, 1, 1, 1, 1000, ac);
    const uint8_t expected[kOperatorModeLength] = {0x00, 0xFF, 8, 0x03, 0xE8, 1, 1, 1, 0, 1, 2, 0, 0, 0};
    EXPECT_EQ(0, memcmp(out, expected, sizeof out));

    _DEVICE_CONTROL_SETTING block = {};
    block.ucRespirationEnable = 1;  // read back as 1: goes out as 0
    block.ucAmbientLightMode = 9;
    uint8_t write[kControlRequestLength];
    BuildControlBlockWrite(write, block, 1);
    EXPECT_EQ(write[0], 0xEA);
    EXPECT_EQ(write[1], 0xFF);
    EXPECT_EQ(write[2], 0x00);
    EXPECT_EQ(write[3], 1);
    EXPECT_EQ(write[4 + 5], 0);
    EXPECT_EQ(write[4 + 56], 9);
    block.ucRespirationEnable = 0xFF;
    BuildControlBlockWrite(write, block, 0);
    EXPECT_EQ(write[3], 0);
    EXPECT_EQ(write[4 + 5], 0xFF);
}

_DEVICE_CONTROL_SETTING Filled(uint8_t v) {
    _DEVICE_CONTROL_SETTING b;
    memset(&b, v, sizeof b);
    return b;
}

ECG_WAVEFORM PacedECG() {
    ECG_WAVEFORM w = {};
    w.nImpedance = 2;
    w.nElectrode = 5;
    w.bPacingEnable = 1;
    w.nPacingRate = 60;
    w.fPacingWidth = 2.0;
    w.fPacingAmplitude = 500.0;
    w.fSampleRateKHz = 10.0;
    w.nSampleFraction = 300;
    return w;
}

TEST(ProtocolControlBlockCodec, ECGRecordIntoTheBlock) {
    SetDefaultECGDCVariableCalibrationData();
    g_nFWVersion = 0x105;
    ECG_WAVEFORM w = PacedECG();
    _DEVICE_CONTROL_SETTING b = Filled(0xAA);
    ToDeviceControlSetting(&w, b);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&b);
    EXPECT_EQ(p[0], 0xAA);  // output enable is not the record's
    EXPECT_EQ(p[1], 2);
    EXPECT_EQ(p[2], 0);
    EXPECT_EQ(p[3], 5);
    EXPECT_EQ(p[4], 0xFF);
    EXPECT_EQ(p[5], 0);
    EXPECT_EQ(p[6], 0x27);  // 10000 per second
    EXPECT_EQ(p[7], 0x10);
    EXPECT_EQ(p[8], 0x01);
    EXPECT_EQ(p[9], 0x2C);
    EXPECT_EQ(p[10], 0x00);  // 2 ms in 25 us steps: 80
    EXPECT_EQ(p[11], 0x50);
    EXPECT_EQ(p[12], 0x00);  // 2400000 mod 60
    EXPECT_EQ(p[13], 0x00);
    const unsigned dac =
        static_cast<uint16_t>(g_ECGDCVariableCalibrationData[1500] - g_ECGDCVariableCalibrationData[1000]);
    EXPECT_EQ(p[14], dac >> 8);
    EXPECT_EQ(p[15], dac & 0xFF);
    const uint8_t period[4] = {0x00, 0x00, 0x9C, 0x40};  // 40000 steps: one beat a second
    EXPECT_EQ(0, memcmp(p + 16, period, 4));
    for (int i = 20; i < 57; ++i) {
        EXPECT_EQ(p[i], 0xAA) << i;
    }

    // Firmware 1.4 has no pacing fields: bytes 10..19 keep what the block held.
    g_nFWVersion = 0x104;
    b = Filled(0xAA);
    ToDeviceControlSetting(&w, b);
    for (int i = 10; i < 20; ++i) {
        EXPECT_EQ(p[i], 0xAA) << i;
    }

    // No pacing, no variable DC: width 0, the default 2 s period, 12..15 kept.
    g_nFWVersion = 0x105;
    w.bPacingEnable = 0;
    w.nRespirationMode = 0x80;
    b = Filled(0xAA);
    ToDeviceControlSetting(&w, b);
    EXPECT_EQ(p[4], 0);
    EXPECT_EQ(p[5], 0xFF);
    EXPECT_EQ(p[10], 0);
    EXPECT_EQ(p[11], 0);
    EXPECT_EQ(p[12], 0xAA);
    EXPECT_EQ(p[15], 0xAA);
    const uint8_t defaultPeriod[4] = {0x00, 0x01, 0x38, 0x80};
    EXPECT_EQ(0, memcmp(p + 16, defaultPeriod, 4));
    w.nRespirationMode = 0x81;
    ToDeviceControlSetting(&w, b);
    EXPECT_EQ(p[5], 0);
    g_nFWVersion = 0;
}

TEST(ProtocolControlBlockCodec, DCOffsetAndPacingBytes) {
    struct Case {
        int variable, offset, pacing;
        uint8_t dcByte, pacingByte;
    } cases[] = {
        {0, 300, 0, 1, 0}, {0, -300, 0, 2, 0},   {0, 150, 0, 0, 0},
        {0, 0, 0, 0, 0},   {1, 300, 0, 0, 0xFF},  // the variable offset goes through the DC DAC, with pacing's switch
        {1, 0, 0, 0, 0},   {0, 300, 1, 1, 0xFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.variable << " " << c.offset << " " << c.pacing);
        ECG_WAVEFORM w = {};
        w.bVariableDCOffset = c.variable;
        w.nDCOffset = c.offset;
        w.bPacingEnable = c.pacing;
        _DEVICE_CONTROL_SETTING b = Filled(0);
        ToDeviceControlSetting(&w, b);
        EXPECT_EQ(b.ucDCOffset, c.dcByte);
        EXPECT_EQ(b.ucPacingEnable, c.pacingByte);
    }
    EXPECT_EQ(DCOffsetCode(300), 1);
    EXPECT_EQ(DCOffsetCode(-300), 2);
    EXPECT_EQ(DCOffsetCode(299), 0);
}

TEST(ProtocolControlBlockCodec, PPGRecordIntoTheBlock) {
    PPG_WAVEFORM w = {};
    w.fSampleRateKHz = 1.0;
    w.nSampleFraction = 5;
    _DEVICE_CONTROL_SETTING b = Filled(0xAA);
    ToDeviceControlSetting(&w, b);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&b);
    EXPECT_EQ(p[0], 0xAA);
    for (int i = 1; i <= 5; ++i) {
        EXPECT_EQ(p[i], 0) << i;
    }
    EXPECT_EQ(p[6], 0x03);
    EXPECT_EQ(p[7], 0xE8);
    EXPECT_EQ(p[9], 5);
    EXPECT_EQ(p[10], 0);
    EXPECT_EQ(p[12], 0xAA);
    EXPECT_EQ(p[17], 0x01);
    EXPECT_EQ(p[20], 0xAA);
}

TEST(ProtocolControlBlockCodec, LEDPulseGroupReadBack) {
    struct Case {
        uint8_t noPeriod;
        uint16_t period;
        uint8_t slots[8];
        uint16_t expectPeriod;
        uint8_t expectSlots[8];
    } cases[] = {
        {1, 0x1234, {0, 0, 4, 1, 2, 0, 0, 0}, 0, {4, 1, 2, 0, 0, 0, 0, 0}},
        {1, 0, {1, 2, 4, 1, 2, 0, 0, 0}, 0, {4, 1, 2, 0, 0, 0, 0, 0}},
        // The shift keeps the last k slots as they were.
        {1, 0, {1, 4, 2, 0, 0, 0, 0, 2}, 0, {4, 2, 0, 0, 0, 0, 2, 2}},
        {1, 0, {4, 1, 2, 0, 0, 0, 0, 0}, 0, {4, 1, 2, 0, 0, 0, 0, 0}},
        {0, 500, {0, 0, 4, 1, 2, 0, 0, 0}, 500, {0, 0, 4, 1, 2, 0, 0, 0}},     // with a period: as stored
        {0, 500, {3, 8, 4, 1, 2, 0xFF, 0, 0}, 500, {0, 0, 4, 1, 2, 0, 0, 0}},  // unknown LEDs read as none
    };
    for (const Case& c : cases) {
        _DEVICE_CONTROL_SETTING b = Filled(0);
        b.ucLEDNoPeriod = c.noPeriod;
        b.usLEDPulsePeriod[0] = static_cast<uint8_t>(c.period >> 8);
        b.usLEDPulsePeriod[1] = static_cast<uint8_t>(c.period);
        memcpy(b.ucLEDPulseSlot, c.slots, 8);
        PPG_LED_PULSE_GROUP_SETTING g = {};
        DecodeLEDPulseGroup(b, &g);
        EXPECT_EQ(g.usPeriod, c.expectPeriod);
        EXPECT_EQ(0, memcmp(g.ucSlot, c.expectSlots, 8));
    }
}

TEST(ProtocolControlBlockCodec, LEDPulseGroupWrite) {
    _DEVICE_CONTROL_SETTING b = Filled(0x77);
    PPG_LED_PULSE_GROUP_SETTING g = {{2, 4, 1, 0, 0, 0, 0, 3}, 0};
    EncodeLEDPulseGroup(g, b);
    EXPECT_EQ(b.ucLEDNoPeriod, 1);
    EXPECT_EQ(b.usLEDPulsePeriod[0], 0x77);               // the period bytes keep their value
    EXPECT_EQ(0, memcmp(b.ucLEDPulseSlot, g.ucSlot, 8));  // slots go out unchanged
    g.usPeriod = 0x0102;
    EncodeLEDPulseGroup(g, b);
    EXPECT_EQ(b.ucLEDNoPeriod, 0);
    EXPECT_EQ(b.usLEDPulsePeriod[0], 0x01);
    EXPECT_EQ(b.usLEDPulsePeriod[1], 0x02);
}

TEST(ProtocolPPGModuleCodec, AutoTriggerStatusAndRLD) {
    uint8_t reply[64] = {0xB0, 0x00, 0x30, 0xFF, 0x11, 0x22, 0x01, 9, 8, 7, 0x01, 0xF4, 0x00, 0x64};
    AUTO_TRIGGER_STATUS s = {};
    DecodeAutoTriggerStatus(reply, &s);
    EXPECT_EQ(s.ucStatus[0], 0x11);
    EXPECT_EQ(s.ucStatus[1], 0x22);
    EXPECT_EQ(s.ucReserved[2], 7);
    EXPECT_EQ(s.usLevel1, 500);
    EXPECT_EQ(s.usLevel2, 100);
    reply[6] = 0x03;  // no trigger levels found
    DecodeAutoTriggerStatus(reply, &s);
    EXPECT_EQ(s.usLevel1, 0);
    EXPECT_EQ(s.usLevel2, 0);

    EXPECT_DOUBLE_EQ(RLDWordToVolts(0x03FF), 2.5);
    EXPECT_DOUBLE_EQ(RLDWordToVolts(0), 0.0);
}

TEST(ProtocolPPGModuleCodec, CalibrationRequestLayout) {
    uint8_t out[64];
    memset(out, 0xEE, sizeof out);
    const uint8_t data[2] = {0x34, 0x12};
    BuildCalibrationRequest(out, true, 25, data, 2);
    EXPECT_EQ(out[0], 0xCC);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 25);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(out[4], 0x34);
    EXPECT_EQ(out[5], 0x12);
    EXPECT_EQ(out[6], 0);
    EXPECT_EQ(out[63], 0);
    BuildCalibrationRequest(out, false, 3, nullptr, 0);
    EXPECT_EQ(out[1], 0x00);
    EXPECT_EQ(out[4], 0);
}

TEST(ProtocolStoredRecordCodec, RespirationRecordMarkerIsExact) {
    const double coefficients[4] = {101.5, 102.25, -3.0, 7.0};
    uint8_t record[64];
    BuildRespirationRWA(coefficients, record);
    double back[4] = {};
    ASSERT_TRUE(ParseRespirationRWA(record, back));
    EXPECT_EQ(0, memcmp(back, coefficients, sizeof back));
    for (int i = 40; i < 64; ++i) {
        EXPECT_EQ(record[i], 0) << i;
    }
    const double nearly = 0.609910001;
    memcpy(record, &nearly, sizeof nearly);
    EXPECT_FALSE(ParseRespirationRWA(record, back));
    memset(record, 0xFF, 8);  // erased: NaN
    EXPECT_FALSE(ParseRespirationRWA(record, back));
}

TEST(ProtocolStoredRecordCodec, LEDSettingBaseAddresses) {
    EXPECT_EQ(GetPPGLEDSettingBaseAddress(0), 0x1500u);
    EXPECT_EQ(GetPPGLEDSettingBaseAddress(8), 0x3500u);
    EXPECT_EQ(GetPPGLEDSettingBaseAddress(9), 0u);
    EXPECT_EQ(GetPPGLEDSettingBaseAddress(-1), 0u);
}

}  // namespace
