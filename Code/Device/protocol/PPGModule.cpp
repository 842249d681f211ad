// Exchanges of families 0xCC, 0xB0 and 0xAD: calibration settings, PPG-module functions
// and registers.
#include "protocol/PPGModule.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/Platform.h"
#include "platform/SleepSeam.h"
#include "platform/Transport.h"
#include "protocol/SubsystemHooks.h"
#include "protocol/ControlBlock.h"
#include "protocol/Exchange.h"
#include "protocol/Identity.h"
#include "protocol/Protocol.h"
#include "protocol/StoredRecords.h"
#include "protocol/Wire.h"

uint8_t g_PPGDynamicLEDEnabled = 0;

namespace {

constexpr uint8_t kCC = 0xCC;
constexpr uint8_t kB0 = 0xB0;
constexpr uint8_t kAD = 0xAD;
// The module's pauses below go through the sleep seam (tests scale them).
constexpr unsigned kSettingReadPauseMs = 200;  // the module answers a 16-bit read or a write slowly
constexpr int kSettingReadTries = 3;
constexpr unsigned kPreWritePauseMs = 10;
constexpr unsigned kPostWritePauseMs = 40;
constexpr unsigned kDynamicLEDPauseMs = 200;
constexpr unsigned kACModeSettleMs = 3000;  // the module recalibrates its AC path
constexpr unsigned kRatePollPauseMs = 200;
// The instrument reports a new transmission rate as done within a second or two; one that
// never does must not hold the global lock for ever.
constexpr uint64_t kRatePollBudgetMs = 5000;
constexpr uint16_t kFirstFirmwareWith16BitSettings = 0x10F;
constexpr int kMaxCalibrationData = 60;

bool s_bDynamicLEDKnown = false;            // g_PPGDynamicLEDEnabled is what the instrument holds
uint16_t s_rateSettings[4] = {0, 0, 0, 0};  // last written to settings 1, 2, 25, 26

// A 64-byte reply of the expected family to a request.
proto::Result Ask(const uint8_t* request, int length, uint8_t* reply, uint8_t expected, uint8_t family,
                  unsigned pauseMs = 0) {
    proto::Result r = proto::Transact(request, length, reply, NVS_PACKET_SIZE, expected, pauseMs);
    if (!proto::Ok(r)) {
        return r;
    }
    return reply[0] == family ? proto::Result::Ok : proto::Result::Mismatch;
}

proto::Result Accepted(proto::Result r, const uint8_t* reply) {
    if (!proto::Ok(r)) {
        return r;
    }
    return reply[3] == proto::kAccepted ? proto::Result::Ok : proto::Result::Refused;
}

// Up to three slow reads of the reply to a calibration request already written.
proto::Result ReceiveSlowly(const uint8_t* request, uint8_t* reply) {
    const proto::ReplyMatch match = proto::MatchFor(request, NVS_PACKET_SIZE);
    for (int attempt = 0; attempt < kSettingReadTries; ++attempt) {
        SeamSleep(kSettingReadPauseMs);
        const proto::Result r = proto::Receive(reply, NVS_PACKET_SIZE, NVS_KIND_REPLY, match);
        if (proto::Ok(r)) {
            return r;
        }
        if (r == proto::Result::NotConnected) {
            return r;
        }
    }
    return proto::Result::NoReply;
}

proto::Result ReadSetting16(uint8_t id, uint16_t* value) {
    uint8_t request[NVS_PACKET_SIZE];
    BuildCalibrationRequest(request, false, id, nullptr, 0);
    proto::Result r = proto::Send(request, sizeof request);
    if (!proto::Ok(r)) {
        return r;
    }
    uint8_t reply[NVS_PACKET_SIZE];
    r = Accepted(ReceiveSlowly(request, reply), reply);
    if (proto::Ok(r) && value != nullptr) {
        *value = wire::GetLE16(reply + 4);  // low byte first
    }
    return r;
}

bool Write16(PPGCalibrationSetting id, unsigned short value) {
    uint8_t data[2];
    wire::PutLE16(data, value);
    const int length = g_nFWVersion < kFirstFirmwareWith16BitSettings ? 1 : 2;
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->write0xCC(id, data, length);
    }
    return WriteCalibrationSetting(id, data, length);
}

bool Model2112() { return GetPPGFullModelNumber() == 0x2112; }

}  // namespace

void BuildCalibrationRequest(uint8_t* out, bool write, uint8_t id, const uint8_t* data, int length) {
    memset(out, 0, NVS_PACKET_SIZE);
    out[0] = kCC;
    out[1] = write ? 0xFF : 0x00;
    out[2] = id;
    out[3] = 0x00;
    if (write && data != nullptr && length > 0) {
        memcpy(out + 4, data, static_cast<size_t>(std::min(length, kMaxCalibrationData)));
    }
}

void DecodeAutoTriggerStatus(const uint8_t* reply, AUTO_TRIGGER_STATUS* status) {
    const uint8_t* p = reply + 4;
    status->ucStatus[0] = p[0];
    status->ucStatus[1] = p[1];
    status->ucFlags = p[2];
    memcpy(status->ucReserved, p + 3, 3);
    if ((status->ucFlags & 0x03) == 0x03) {
        status->usLevel1 = 0;
        status->usLevel2 = 0;
    } else {
        status->usLevel1 = wire::GetBE16(p + 6);
        status->usLevel2 = wire::GetBE16(p + 8);
    }
}

double RLDWordToVolts(uint16_t word) { return word * 2.5 / 1023.0; }

void ForgetDynamicLEDState() {
    g_PPGDynamicLEDEnabled = 0;
    s_bDynamicLEDKnown = false;
}

bool ReadCalibrationSetting(PPGCalibrationSetting id, unsigned char* value) {
    uint8_t request[NVS_PACKET_SIZE];
    BuildCalibrationRequest(request, false, id, nullptr, 0);
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(Accepted(Ask(request, sizeof request, reply, NVS_KIND_REPLY, kCC), reply))) {
        return false;
    }
    if (value != nullptr) {
        *value = reply[4];
    }
    return true;
}

bool ReadCalibrationSetting(PPGCalibrationSetting id, unsigned short* value) {
    return proto::Ok(ReadSetting16(id, value));
}

bool WriteCalibrationSetting(PPGCalibrationSetting id, unsigned char* data, int length) {
    if (length < 0 || length > kMaxCalibrationData || (length > 0 && data == nullptr)) {
        return false;
    }
    if (!proto::Connected()) {
        return false;
    }
    SeamSleep(kPreWritePauseMs);
    uint8_t request[NVS_PACKET_SIZE];
    BuildCalibrationRequest(request, true, id, data, length);
    if (!proto::Ok(proto::Send(request, sizeof request))) {
        return false;
    }
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(Accepted(ReceiveSlowly(request, reply), reply))) {
        return false;
    }
    SeamSleep(kPostWritePauseMs);
    return true;
}

bool WriteCalibrationSetting(PPGCalibrationSetting id, unsigned char value) {
    if (const PlaybackHooks* window = OpenCommandWindow()) {
        return window->write0xCC(id, &value, 1);
    }
    return WriteCalibrationSetting(id, &value, 1);
}

bool WriteCalibrationSetting(PPGCalibrationSetting id, unsigned short value) { return Write16(id, value); }

bool SwitchDeviceWorkingMode(unsigned char mode) { return WriteCalibrationSetting(PPG_CAL_WORKING_MODE, mode); }

bool SwitchDeviceWorkingMode() {
    if (g_ECGModuleHWInfo.nFWMajor == 1 && g_ECGModuleHWInfo.nFWMinor <= 10) {
        return SwitchDeviceWorkingMode(static_cast<unsigned char>(IsPPGChannel3Supported() ? 1 : 0));
    }
    return true;
}

bool LoadACMode(int mode) {
    _OPERATOR_MODE_IN block = {};
    block.ucMode = 8;
    block.ucACCalMode[0] = block.ucACCalMode[1] = block.ucACCalMode[2] = static_cast<uint8_t>(mode);
    if (!SetDeviceOperatorMode(&block)) {
        return false;
    }
    SeamSleep(kACModeSettleMs);
    return true;
}

bool UpdateMCUTransmissionRate(unsigned short level1, unsigned short rate1, unsigned short level2,
                               unsigned short rate2) {
    if (!Model2112()) {
        std::fill(std::begin(s_rateSettings), std::end(s_rateSettings), 0);
        return true;
    }
    const PPGCalibrationSetting ids[4] = {PPG_CAL_LED_LEVEL_CH1, PPG_CAL_LED_LEVEL_CH2, PPG_CAL_RATE_PARAM_CH1,
                                          PPG_CAL_RATE_PARAM_CH2};
    const uint16_t values[4] = {level1, level2, rate1, rate2};
    for (int i = 0; i < 4; ++i) {
        if (values[i] == s_rateSettings[i]) {
            continue;
        }
        if (!WriteCalibrationSetting(ids[i], values[i])) {
            return false;
        }
        s_rateSettings[i] = values[i];
    }
    return true;
}

bool ReadRespiratoryModuleSetting(unsigned short* values) {
    if (values == nullptr) {
        return false;
    }
    uint8_t request[NVS_PACKET_SIZE] = {kCC, 0x00, 0x0D, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(Accepted(Ask(request, sizeof request, reply, NVS_KIND_REPLY, kCC), reply))) {
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        values[i] = wire::GetBE16(reply + 4 + 2 * i);
    }
    return true;
}

bool WriteRespiratoryModuleSetting(unsigned short* values) {
    if (values == nullptr) {
        return false;
    }
    uint8_t request[NVS_PACKET_SIZE] = {kCC, 0xFF, 0x0D, 0x00};
    for (int i = 0; i < 4; ++i) {
        wire::PutBE16(request + 4 + 2 * i, values[i]);
    }
    uint8_t reply[NVS_PACKET_SIZE];
    return proto::Ok(Accepted(Ask(request, sizeof request, reply, NVS_KIND_REPLY, kCC), reply));
}

bool ReadRespiratoryBaselineSetting(int* a, int* b) {
    const uint8_t request[6] = {kCC, 0x00, 0x0E, 0x00, 0x00, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(Ask(request, sizeof request, reply, NVS_KIND_REPLY, kCC))) {
        return false;
    }
    if (a != nullptr) {
        *a = reply[4];
    }
    if (b != nullptr) {
        *b = reply[5];
    }
    return true;
}

bool WriteRespiratoryBaselineSetting(int a, int b) {
    const uint8_t request[6] = {kCC, 0xFF, 0x0E, 0x00, static_cast<uint8_t>(a), static_cast<uint8_t>(b)};
    uint8_t reply[NVS_PACKET_SIZE];
    return proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY));
}

int ReadAmbientLightDC() {
    const uint8_t request[4] = {kB0, 0x00, 0x11, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY))) {
        return 0;
    }
    return reply[4] * 256 + reply[5];
}

bool WriteAmbientLightDC(int value) {
    uint8_t request[6] = {kB0, 0xFF, 0x11, 0x00};
    wire::PutBE16(request + 4, static_cast<uint32_t>(value));
    uint8_t reply[NVS_PACKET_SIZE];
    proto::Result r = proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY);
    return proto::Ok(Accepted(r, reply));
}

int PPGModuleGetSelected() {
    const uint8_t request[5] = {kCC, 0x00, 0x10, 0x00, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    proto::Result r = proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, kCC);
    return proto::Ok(Accepted(r, reply)) ? reply[4] : 0;
}

bool PPGModuleSetSelected(int module) {
    const uint8_t request[5] = {kCC, 0xFF, 0x10, 0x00, static_cast<uint8_t>(module)};
    uint8_t reply[NVS_PACKET_SIZE];
    proto::Result r = proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, kCC);
    return proto::Ok(Accepted(r, reply));
}

bool SetAmbientLightMode(PPGAmbientLightMode mode) {
    const int m = std::min(std::max(static_cast<int>(mode), 0), 14);
    const uint8_t request[5] = {kB0, 0xFF, 0x10, 0x00, static_cast<uint8_t>(m)};
    uint8_t reply[NVS_PACKET_SIZE];
    return proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, kB0));
}

int GetAmbientLightMode() {
    const uint8_t request[5] = {kB0, 0x00, 0x10, 0x00, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    proto::Result r = proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, kB0);
    return proto::Ok(Accepted(r, reply)) ? std::min<int>(reply[4], 14) : 0;
}

bool EnableDynamicLEDStrength(int enable) {
    const uint16_t model = GetPPGFullModelNumber();
    if (model != 0x2002 && model != 0x2112) {
        ForgetDynamicLEDState();  // no dynamic LED here; a later instrument starts unknown
        return true;
    }
    const uint8_t wanted = enable != 0 ? 1 : 0;
    if (s_bDynamicLEDKnown && wanted == g_PPGDynamicLEDEnabled) {
        return true;
    }
    const uint8_t request[5] = {kB0, 0xFF, 0x03, 0x00, wanted};
    uint8_t reply[NVS_PACKET_SIZE];
    proto::Result r =
        proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY, kDynamicLEDPauseMs);
    if (!proto::Ok(Accepted(r, reply))) {
        // The instrument may or may not have switched: the next request goes out again.
        s_bDynamicLEDKnown = false;
        return false;
    }
    g_PPGDynamicLEDEnabled = wanted;
    s_bDynamicLEDKnown = true;
    return true;
}

bool ReadPPGVRef(PPGChannel channel, unsigned int* value) {
    // Register 0x51 holds four data bytes: the words of channels 1 and 2, nothing else.
    if ((channel != PPG_CHANNEL_1 && channel != PPG_CHANNEL_2) || value == nullptr) {
        return false;
    }
    const uint8_t request[7] = {kCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(Ask(request, sizeof request, reply, NVS_KIND_REPLY, kCC))) {
        return false;
    }
    *value = wire::GetBE16(reply + 2 * channel + 5);
    return true;
}

bool WritePPGVRef(PPGChannel channel, unsigned int value) {
    if (channel != PPG_CHANNEL_1 && channel != PPG_CHANNEL_2) {
        return false;
    }
    const uint8_t read[11] = {kCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04, 0x00, 0x00, 0x00, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    // The register block is written back whole: it must be the one just read.
    if (!proto::Ok(Ask(read, sizeof read, reply, NVS_KIND_REPLY, kCC))) {
        return false;
    }
    wire::PutBE16(reply + 2 * channel + 5, value);
    reply[1] = 0xFF;
    uint8_t ack[NVS_PACKET_SIZE];
    return proto::Ok(proto::Transact(reply, NVS_PACKET_SIZE, ack, NVS_PACKET_SIZE, NVS_KIND_REPLY));
}

bool FingerReadConfig(unsigned char reg, unsigned short* value) {
    if (value == nullptr) {
        return false;
    }
    const uint8_t request[7] = {kCC, 0x00, 0x0A, 0x00, 0xD0, reg, 0x02};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(Ask(request, sizeof request, reply, NVS_KIND_REPLY, kCC))) {
        return false;
    }
    *value = wire::GetBE16(reply + 7);
    return true;
}

bool FingerWriteConfig(unsigned char reg, unsigned short value) {
    uint8_t request[9] = {kCC, 0xFF, 0x0A, 0x00, 0xD0, reg, 0x02};
    wire::PutBE16(request + 7, value);
    uint8_t reply[NVS_PACKET_SIZE];
    return proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY));
}

int GetLEDOutputFeedbackVoltageADCData() {
    const uint8_t request[3] = {kCC, 0x00, 0x41};
    uint8_t reply[NVS_PACKET_SIZE];
    return proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY)) ? reply[4] : 0;
}

int GetUSBBusVoltage() {
    const uint8_t request[3] = {kCC, 0x00, 0x42};
    uint8_t reply[NVS_PACKET_SIZE];
    return proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY)) ? reply[4] : 0;
}

bool EnableADCControl(unsigned char value) {
    const uint8_t request[6] = {kAD, 0xFF, 0x00, 0x00, value, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    // Any stream packet acknowledges the switch.
    return proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_SAMPLING));
}

bool EnableSignalStrengthDetection(int enable) {
    const uint8_t request[5] = {kB0, 0xFF, 0x01, 0x00, static_cast<uint8_t>(enable != 0 ? 1 : 0)};
    uint8_t reply[NVS_PACKET_SIZE];
    return proto::Ok(Accepted(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, kB0), reply));
}

bool EnableAutoTriggerLevel(int enable) {
    const uint8_t request[5] = {kB0, 0xFF, 0x30, 0x00, static_cast<uint8_t>(enable != 0 ? 1 : 0)};
    uint8_t reply[NVS_PACKET_SIZE];
    return proto::Ok(Accepted(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, kB0), reply));
}

bool GetAutoTriggerLevelStatus(AUTO_TRIGGER_STATUS* status) {
    if (status == nullptr) {
        return false;
    }
    const uint8_t request[4] = {kB0, 0x00, 0x30, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, kB0))) {
        return false;
    }
    DecodeAutoTriggerStatus(reply, status);
    return true;
}

bool SetTransmissionRate(int rate) {
    uint8_t request[5] = {kB0, 0xFF, 0x20, 0x00, static_cast<uint8_t>(rate)};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(Accepted(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, kB0), reply))) {
        return false;
    }
    // The instrument switches its rate in the background; B0 00 20 00 r reports 0xFF in
    // byte 3 once it is done.
    request[1] = 0x00;
    const uint64_t deadline = GetMonotonicMs() + kRatePollBudgetMs;
    for (;;) {
        const proto::Result r = proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, kB0);
        if (!proto::Ok(r)) {
            return false;
        }
        if (reply[3] == proto::kAccepted) {
            return true;
        }
        if (GetMonotonicMs() >= deadline) {
            return false;
        }
        SeamSleep(kRatePollPauseMs);
    }
}

bool ReadLEDMatrixEnableStatus(unsigned char* value) {
    return ReadCalibrationSetting(PPG_CAL_LED_MATRIX_ENABLE, value);
}

bool WriteLEDMatrixEnableStatus(unsigned char value) {
    if (GetPPGFullModelNumber() != 0x2001) {
        return true;  // only model 0x2001 has the LED matrix switch
    }
    return WriteCalibrationSetting(PPG_CAL_LED_MATRIX_ENABLE, value);
}

bool ReadRLDData(double* level1, double* level2) {
    const uint8_t request[6] = {kAD, 0x00, 0x01, 0x00, 0x10, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(
            Accepted(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_SAMPLING), reply))) {
        return false;
    }
    if (level1 != nullptr) {
        *level1 = RLDWordToVolts(wire::GetBE16(reply + 6));
    }
    if (level2 != nullptr) {
        *level2 = RLDWordToVolts(wire::GetBE16(reply + 8));
    }
    return true;
}

bool BackupFactorySetting() {
    FACTORY_SETTING record = {};
    ReadFactorySetting(&record);  // a failed read leaves zeros, an erased record 0xFF bytes

    uint8_t* bytes = reinterpret_cast<uint8_t*>(&record);
    // Low bytes of settings 1, 2, 3, 4, 18, 19 go to bytes 1..6; their high bytes to
    // bytes 7, 8, 10, 11, 9, 12 (the stored order is 1, 2, 18, 3, 4, 19).
    struct Slot {
        PPGCalibrationSetting id;
        int low;
        int high;
    };
    const Slot slots[6] = {{PPG_CAL_LED_LEVEL_CH1, 1, 7},      {PPG_CAL_LED_LEVEL_CH2, 2, 8},
                           {PPG_CAL_TRIGGER_LEVEL_CH1, 3, 10}, {PPG_CAL_TRIGGER_LEVEL_CH2, 4, 11},
                           {PPG_CAL_LED_LEVEL_CH3, 5, 9},      {PPG_CAL_TRIGGER_LEVEL_CH3, 6, 12}};
    const int count = g_DeviceFeature.nPPGChannelNumber > 2 ? 6 : 4;
    for (int i = 0; i < count; ++i) {
        uint16_t value = 0;
        if (!proto::Ok(ReadSetting16(slots[i].id, &value))) {
            return false;
        }
        bytes[slots[i].low] = static_cast<uint8_t>(value);
        bytes[slots[i].high] = static_cast<uint8_t>(value >> 8);
    }
    record.ucValid = 1;
    if (!WriteFactorySetting(&record)) {
        return false;
    }
    if (!Model2112()) {
        return true;
    }
    if (!FactorySettingMCULoaded()) {
        // The AC-mode words go out with the whole cached record, which was not read from
        // this instrument: writing it would store zeros or another instrument's codes.
        return false;
    }
    const uint8_t firstId[3] = {PPG_CAL_AC_RANGE0_CH1, PPG_CAL_AC_RANGE1_CH1, PPG_CAL_AC_RANGE2_CH1};
    for (int m = 0; m < 3; ++m) {
        if (!LoadACMode(m)) {
            return false;
        }
        for (int c = 0; c < 3; ++c) {
            uint16_t value = 0;
            if (!proto::Ok(ReadSetting16(static_cast<uint8_t>(firstId[m] + c), &value))) {
                return false;
            }
            g_FactorySettingMCU.usACModeSetting[3 * c + m] = value;
        }
    }
    return WriteFactorySettingMCU(&g_FactorySettingMCU);  // the instrument stays in AC range 2
}

void ResetPPGModuleState() {
    ForgetDynamicLEDState();
    std::fill(std::begin(s_rateSettings), std::end(s_rateSettings), 0);
}
