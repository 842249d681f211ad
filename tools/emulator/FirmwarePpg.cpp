// The PPG side's families of the firmware model: 0xCC (numbered calibration settings,
// registers of device 0xD0, respiratory-module values, module selection, FPGA presence,
// two measurements) and 0xB0 (signal strength, FPGA report, dynamic LED, ambient light,
// transmission rate, automatic trigger level).
#include "Firmware.h"

#include "FirmwareReplies.h"

namespace nvsemu {

using namespace fw;

namespace {

constexpr uint8_t kRegisterDevice = 0xD0;
constexpr uint8_t kMaxAmbientMode = 14;
constexpr uint8_t kLedTriggerStatusId = 5;        // read: trigger status; written: GPIO mode
constexpr uint16_t kTwoByteSettingsFrom = 0x10F;  // main firmware 1.15

}  // namespace

Firmware::Bytes Firmware::OnPpgModule(const Bytes& r) {
    const bool write = r[1] == 0xFF;
    switch (r[2]) {
        case 0x0A:
            return OnRegister(r);
        case 0x0D: {  // respiratory-module values: four words, big-endian, bytes 4-11
            if (!profile_.extResp || r.size() < 12)
                return Refuse(r);
            if (write) {
                for (size_t i = 0; i < 4; ++i)
                    respirationWords_[i] = Be16(r, 4 + 2 * i);
                return Accept(r);
            }
            Bytes reply = Accept(r);
            for (size_t i = 0; i < 4; ++i)
                PutBe16(reply, 4 + 2 * i, respirationWords_[i]);
            return reply;
        }
        case 0x0E: {  // respiratory baseline bytes a, b at bytes 4 and 5
            if (!profile_.extResp)
                return Refuse(r);
            if (write) {
                respirationBaseline_ = {r[4], r[5]};
                return Accept(r);
            }
            Bytes reply = Accept(r);
            reply[4] = respirationBaseline_[0];
            reply[5] = respirationBaseline_[1];
            return reply;
        }
        case 0x10: {  // PPG-module selection: a module the main unit does not have is refused
            if (write) {
                if (r[4] >= profile_.ppgModules)
                    return Refuse(r);
                selectedModule_ = r[4];
                return Accept(r);
            }
            Bytes reply = Accept(r);
            reply[4] = static_cast<uint8_t>(selectedModule_);
            return reply;
        }
        case 0x14:
            return Status(r, FpgaAnswers() ? kAccepted : kRefused);
        case 0x41: {
            Bytes reply = Accept(r);
            reply[4] = ledFeedbackAdc_;
            return reply;
        }
        case 0x42: {
            Bytes reply = Accept(r);
            reply[4] = usbBusVoltage_;
            return reply;
        }
        default:
            return OnCalibrationSetting(r);
    }
}

// CC 00 id 00 reads setting id (byte 4, or bytes 4-5 low byte first); CC FF id 00 data
// writes it. Main firmware before 1.15 keeps only the low byte.
Firmware::Bytes Firmware::OnCalibrationSetting(const Bytes& r) {
    if (r.size() < 64)
        return Refuse(r);
    const uint8_t id = r[2];
    if (r[1] == 0xFF) {
        uint16_t value = r[4];
        if (profile_.main.FirmwareVersion() >= kTwoByteSettingsFrom)
            value = static_cast<uint16_t>(value | r[5] << 8);
        calibration_[id] = value;
        return Accept(r);
    }
    uint16_t value = 0;
    if (id == kLedTriggerStatusId) {
        value = ledTriggerStatus_;
    } else {
        const auto it = calibration_.find(id);
        if (it != calibration_.end())
            value = it->second;
    }
    Bytes reply = Accept(r);
    reply[4] = static_cast<uint8_t>(value & 0xFF);
    reply[5] = static_cast<uint8_t>(value >> 8);
    return reply;
}

// CC dir 0A st D0 reg n data...: registers of device 0xD0, n data bytes from byte 7
// (the VRef pair: register 0x51, 4 bytes). A read answers the header with the data.
Firmware::Bytes Firmware::OnRegister(const Bytes& r) {
    if (r.size() < 7 || r[4] != kRegisterDevice)
        return Refuse(r);
    const uint8_t reg = r[5];
    const size_t n = r[6];
    if (n > 64 - 7)
        return Refuse(r);
    if (r[1] == 0xFF) {
        if (r.size() < 7 + n)
            return Refuse(r);
        registers_[reg].assign(r.begin() + 7, r.begin() + 7 + static_cast<std::ptrdiff_t>(n));
        return Accept(r);
    }
    Bytes reply = Accept(r);
    Bytes value = registers_[reg];
    value.resize(n, 0);
    std::copy(value.begin(), value.end(), reply.begin() + 7);
    return reply;
}

Firmware::Bytes Firmware::OnPpgFunction(const Bytes& r) {
    const bool write = r[1] == 0xFF;
    switch (r[2]) {
        case 0x01:  // signal-strength detection on/off
            if (!write)
                break;
            signalStrength_ = r[4] != 0;
            return Accept(r);
        case 0x02: {  // FPGA photodiode report: signal bits and levels from byte 8
            if (write || !FpgaAnswers())
                return Refuse(r);
            Bytes reply = Accept(r);
            reply[4] = 0x00;
            ++fpgaPolls_;
            const std::array<uint8_t, 10>& report =
                fpgaReports_.empty() ? fpgaReport_ : fpgaReports_[fpgaNext_++ % fpgaReports_.size()];
            std::copy(report.begin(), report.end(), reply.begin() + 8);
            return reply;
        }
        case 0x03:  // dynamic LED strength on/off
            if (!write)
                break;
            dynamicLed_ = r[4] != 0;
            return Accept(r);
        case 0x10: {  // ambient-light mode 0 to 14
            if (write) {
                if (r[4] > kMaxAmbientMode)
                    return Refuse(r);
                ambientMode_ = r[4];
                return Accept(r);
            }
            Bytes reply = Accept(r);
            reply[4] = ambientMode_;
            return reply;
        }
        case 0x11: {  // ambient-light DC value, big-endian at bytes 4-5
            if (write) {
                ambientDc_ = Be16(r, 4);
                return Accept(r);
            }
            Bytes reply = Accept(r);
            PutBe16(reply, 4, ambientDc_);
            return reply;
        }
        case 0x20: {  // transmission rate: accepted at once, in force after the busy polls
            if (write) {
                pendingRate_ = r[4];
                busyLeft_ = busyPolls_;
                return Accept(r);
            }
            if (busyLeft_ > 0) {
                if (busyLeft_ != kNeverDone)
                    --busyLeft_;
                return Refuse(r);
            }
            rate_ = pendingRate_;
            Bytes reply = Accept(r);
            reply[4] = rate_;
            return reply;
        }
        case 0x30: {  // automatic trigger level on/off, and its status in bytes 4-13
            if (write) {
                autoTrigger_ = r[4] != 0;
                return Accept(r);
            }
            Bytes reply = Accept(r);
            if (autoTrigger_ || autoStatusSet_) {
                std::copy(autoStatus_.begin(), autoStatus_.end(), reply.begin() + 4);
            } else {
                reply[6] = 0x03;  // flags: no trigger levels found
            }
            return reply;
        }
        default:
            break;
    }
    return Refuse(r);
}

}  // namespace nvsemu
