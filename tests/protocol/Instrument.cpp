// The protocol suite's fixtures.
#include "Instrument.h"

#include <cstring>

#include "platform/Device.h"
#include "platform/linux/DeviceSeam.h"
#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/PPGModule.h"
#include "protocol/RespirationTables.h"
#include "waveform/Calibration.h"

using nvsemu::Reply;
using nvsemu::Request;

Bytes IdentityRecord(char a, char b, uint16_t model, uint16_t serial, uint8_t hwMajor, uint8_t hwMinor, uint8_t fwMajor,
                     uint8_t fwMinor, uint8_t prefix) {
    return {0x4F,
            static_cast<uint8_t>(a),
            static_cast<uint8_t>(b),
            static_cast<uint8_t>(model >> 8),
            static_cast<uint8_t>(model),
            prefix,
            static_cast<uint8_t>(serial >> 8),
            static_cast<uint8_t>(serial),
            hwMajor,
            hwMinor,
            fwMajor,
            fwMinor};
}

Bytes AcceptedEcho(const Bytes& request) {
    Bytes reply = request;
    reply.resize(64, 0);
    reply[3] = 0xFF;
    return reply;
}

namespace {

Reply Packet(Bytes bytes, unsigned delayMs = 0) {
    Reply r;
    r.bytes = std::move(bytes);
    r.delayMs = delayMs;
    return r;
}

Bytes Zeros(size_t n) { return Bytes(n, 0); }

uint32_t BE32(const Bytes& b, size_t at) {
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

}  // namespace

ScriptedInstrument::ScriptedInstrument()
    : main_(IdentityRecord('N', 'V', 0x4031, 0x0011)), control_(57, 0), operator_(14, 0) {
    operator_[1] = 0x00;
    for (size_t i = 0; i < main_.size(); ++i) {
        memory_[{0x01, static_cast<uint32_t>(i)}] = main_[i];
    }
}

void ScriptedInstrument::SetMainIdentity(const Bytes& record) {
    std::lock_guard<std::mutex> lock(mu_);
    main_ = record;
    for (size_t i = 0; i < record.size(); ++i) {
        memory_[{0x01, static_cast<uint32_t>(i)}] = record[i];
    }
}

void ScriptedInstrument::SetPPGIdentity(const Bytes& record) {
    std::lock_guard<std::mutex> lock(mu_);
    ppg_ = record;
    hasPPG_ = true;
    for (size_t i = 0; i < record.size(); ++i) {
        memory_[{0x13, static_cast<uint32_t>(i)}] = record[i];
    }
}

void ScriptedInstrument::SetFPGAAlive(bool alive) {
    std::lock_guard<std::mutex> lock(mu_);
    fpgaAlive_ = alive;
}

void ScriptedInstrument::SetDac16(bool main, bool ppg) {
    std::lock_guard<std::mutex> lock(mu_);
    dac16Main_ = main;
    dac16PPG_ = ppg;
}

void ScriptedInstrument::SetExtVersion(uint8_t b8High, uint8_t b8Low, uint8_t b9High, uint8_t b9Low) {
    std::lock_guard<std::mutex> lock(mu_);
    ext_[0] = b8High;
    ext_[1] = b8Low;
    ext_[2] = b9High;
    ext_[3] = b9Low;
}

void ScriptedInstrument::SetStreamPacketsBeforeStop(int n) {
    std::lock_guard<std::mutex> lock(mu_);
    streamBeforeStop_ = n;
}

void ScriptedInstrument::SetNeverAcknowledgeStop(bool never) {
    std::lock_guard<std::mutex> lock(mu_);
    neverStop_ = never;
}

uint8_t ScriptedInstrument::Memory(uint8_t target, uint32_t address) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = memory_.find({target, address});
    return it == memory_.end() ? 0xFF : it->second;
}

void ScriptedInstrument::SetMemory(uint8_t target, uint32_t address, const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < bytes.size(); ++i) {
        memory_[{target, address + static_cast<uint32_t>(i)}] = bytes[i];
    }
}

Bytes ScriptedInstrument::MemoryRange(uint8_t target, uint32_t address, size_t n) {
    Bytes out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(Memory(target, address + static_cast<uint32_t>(i)));
    }
    return out;
}

Bytes ScriptedInstrument::ControlBlock() {
    std::lock_guard<std::mutex> lock(mu_);
    return control_;
}

void ScriptedInstrument::SetControlBlock(const Bytes& block) {
    std::lock_guard<std::mutex> lock(mu_);
    control_ = block;
}

Bytes ScriptedInstrument::OperatorBlock() {
    std::lock_guard<std::mutex> lock(mu_);
    return operator_;
}

void ScriptedInstrument::SetOperatorBlock(const Bytes& block) {
    std::lock_guard<std::mutex> lock(mu_);
    operator_ = block;
}

void ScriptedInstrument::SetCalibration(uint8_t id, uint16_t value) {
    std::lock_guard<std::mutex> lock(mu_);
    calibration_[id] = value;
}

Bytes ScriptedInstrument::SettingBlock(uint8_t sub) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = settings_.find(sub);
    return it == settings_.end() ? Bytes() : it->second;
}

void ScriptedInstrument::SetSettingBlock(uint8_t sub, const Bytes& block) {
    std::lock_guard<std::mutex> lock(mu_);
    settings_[sub] = block;
}

void ScriptedInstrument::SetRatePollsBusy(int n) {
    std::lock_guard<std::mutex> lock(mu_);
    ratePollsBusy_ = n;
}

std::vector<Reply> ScriptedInstrument::Memory(const Bytes& r) {
    // Caller holds mu_.
    const uint8_t target = r[5];
    const uint8_t count = r[7];
    const uint32_t address = BE32(r, 8);
    Bytes reply = r;
    reply.resize(64, 0);
    reply[4] = 0xFF;
    if (r[3] == 0x00) {
        memset(reply.data() + 16, 0, 48);
        for (uint8_t i = 0; i < count && i < 48; ++i) {
            auto it = memory_.find({target, address + i});
            reply[16 + i] = it == memory_.end() ? 0xFF : it->second;
        }
    } else if (r[6] == 1) {
        for (auto it = memory_.begin(); it != memory_.end();) {
            it = it->first.first == target ? memory_.erase(it) : std::next(it);
        }
    } else {
        for (uint8_t i = 0; i < count && 16u + i < r.size(); ++i) {
            memory_[{target, address + i}] = r[16 + i];
        }
    }
    return {Packet(reply)};
}

std::vector<Reply> ScriptedInstrument::Answer(const Request& request) {
    const Bytes& r = request.bytes;
    if (r.size() < 2) {
        return {};
    }
    std::lock_guard<std::mutex> lock(mu_);
    switch (r[0]) {
        case 0xAD: {
            if (r[1] == 0xFF && r.size() >= 6) {
                std::vector<Reply> out;
                const int stream = neverStop_ ? 400 : streamBeforeStop_;
                for (int i = 0; i < stream; ++i) {
                    Bytes packet = Zeros(64);
                    packet[0] = 0xAD;
                    packet[4] = 1;  // a stream packet, not the answer to the stop
                    out.push_back(Packet(packet, neverStop_ ? static_cast<unsigned>(10 * i) : 0));
                }
                if (!neverStop_) {
                    Bytes ack = AcceptedEcho(r);
                    ack[4] = r[4];
                    out.push_back(Packet(ack));
                }
                return out;
            }
            Bytes rld = AcceptedEcho(r);  // AD 00 01 FF 10 00, words at 6-7 and 8-9
            rld[6] = 0x03;
            rld[7] = 0xFF;
            rld[8] = 0x01;
            rld[9] = 0xFF;
            return {Packet(rld)};
        }
        case 0x55: {
            Bytes reply = {0x55, 0x00, r.size() > 2 ? r[2] : uint8_t{0}, 0xFF};
            if (r.size() > 2 && (r[2] == 0x80 || r[2] == 0x81)) {
                const bool wide = r[2] == 0x80 ? dac16Main_ : dac16PPG_;
                reply.push_back(wide ? 1 : 0);
                reply.resize(12, 0);
                return {Packet(reply)};
            }
            const Bytes* record = (r.size() > 2 && r[2] == 1) ? (hasPPG_ ? &ppg_ : nullptr) : &main_;
            if (record == nullptr) {
                return {};
            }
            reply.insert(reply.end(), record->begin(), record->begin() + 8);
            return {Packet(reply)};
        }
        case 0xAA:
            return {Packet({0xAA, 0x03, 0x00, 0x07, 0x00})};
        case 0x12:
            if (r.size() >= 12) {
                return Memory(r);
            }
            return {};
        case 0xB8:
        case 0xB9: {
            Bytes reply = AcceptedEcho(r);
            if (r[0] == 0xB9) {
                reply[4] = ext_[2];
                reply[5] = ext_[3];
            } else {
                reply[9] = ext_[0];
                reply[10] = ext_[1];
            }
            return {Packet(reply)};
        }
        case 0xCC: {
            const uint8_t sub = r.size() > 2 ? r[2] : 0;
            Bytes reply = AcceptedEcho(r);
            if (sub == 0x14) {
                reply[3] = fpgaAlive_ ? 0xFF : 0x00;
            } else if (sub == 0x0A || sub == 0x10 || sub == 0x0D || sub == 0x0E || sub == 0x41 || sub == 0x42) {
                // Registers, module selection, respiratory values: the echo, as scripted per test.
            } else if (r[1] == 0x00) {
                const uint16_t v = calibration_.count(sub) ? calibration_[sub] : 0;
                reply[4] = static_cast<uint8_t>(v);
                reply[5] = static_cast<uint8_t>(v >> 8);
            } else {
                calibration_[sub] = static_cast<uint16_t>(r[4] | (r[5] << 8));
            }
            return {Packet(reply)};
        }
        case 0xB0:
            if (r.size() >= 5 && r[1] == 0x00 && r[2] == 0x20) {
                Bytes reply = AcceptedEcho(r);
                if (ratePollsBusy_ != 0) {
                    reply[3] = 0x00;
                    if (ratePollsBusy_ > 0) {
                        --ratePollsBusy_;
                    }
                }
                return {Packet(reply)};
            }
            return {Packet(AcceptedEcho(r))};
        case 0xEA: {
            const uint8_t sub = r.size() > 2 ? r[2] : 0;
            if (sub == 0x00 && r[1] == 0x00) {
                Bytes reply = {0xEA, 0x00, 0x00, 0xFF};
                reply.insert(reply.end(), control_.begin(), control_.end());
                reply.resize(64, 0);
                return {Packet(reply)};
            }
            if (sub == 0x00 && r.size() >= 61) {
                control_.assign(r.begin() + 4, r.begin() + 61);
            }
            if ((sub == 0x01 || sub == 0x02 || sub == 0x03 || sub == 0x08)) {
                if (r[1] == 0xFF) {
                    settings_[sub] = AcceptedEcho(r);
                } else {
                    auto it = settings_.find(sub);
                    return {Packet(it != settings_.end() ? it->second : AcceptedEcho(r))};
                }
            }
            return {Packet(AcceptedEcho(r))};
        }
        case 0x00: {
            if (r[1] == 0x00) {
                Bytes reply = operator_;
                reply.resize(64, 0);
                return {Packet(reply)};
            }
            operator_.assign(r.begin(), r.end());
            operator_.resize(14, 0);
            return {Packet(AcceptedEcho(r))};
        }
        default:
            return {Packet(AcceptedEcho(r))};
    }
}

void ProtocolExchange::SetUp() {
    ResetProtocolState();
    ASSERT_TRUE(emu_.Start());
    emu_.SetResponder([this](const Request& r) { return inst_.Answer(r); });
    ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(0)));
}

void ProtocolExchange::TearDown() {
    DeviceClose();
    emu_.Stop();
    ResetProtocolState();
}

void ProtocolExchange::OpenPort() {
    SetTargetCheckResult(true);
    DeviceSeamSetTargetCheck(StubTargetCheck);
    ASSERT_EQ(1, DoFindDevice(0));
    DeviceSeamSetTargetCheck(nullptr);
    emu_.ClearRequests();
}

std::vector<Bytes> ProtocolExchange::Sent() const {
    std::vector<Bytes> out;
    for (const Request& r : emu_.Requests()) {
        out.push_back(r.bytes);
    }
    return out;
}
