// The protocol suite's fixtures.
#include "ExchangeFixture.h"

#include <algorithm>
#include <array>

#include "platform/Device.h"
#include NVS_DEVICE_SEAM_HEADER

nvsemu::ModuleIdentity Identity(char a, char b, uint16_t model, uint16_t serial, uint8_t hwMajor, uint8_t hwMinor,
                                uint8_t fwMajor, uint8_t fwMinor, uint8_t prefix) {
    nvsemu::ModuleIdentity m;
    m.letters[0] = a;
    m.letters[1] = b;
    m.model = model;
    m.serialPrefix = prefix;
    m.serial = serial;
    m.hwMajor = hwMajor;
    m.hwMinor = hwMinor;
    m.fwMajor = fwMajor;
    m.fwMinor = fwMinor;
    return m;
}

Bytes IdentityRecord(char a, char b, uint16_t model, uint16_t serial, uint8_t hwMajor, uint8_t hwMinor, uint8_t fwMajor,
                     uint8_t fwMinor, uint8_t prefix) {
    const auto record = Identity(a, b, model, serial, hwMajor, hwMinor, fwMajor, fwMinor, prefix).Record();
    return Bytes(record.begin(), record.end());
}

nvsemu::Profile BenchUnit() {
    nvsemu::Profile p = nvsemu::Profile::MainUnit4031();
    p.name = "bench";
    p.main = Identity('N', 'V', 0x4031, 0x0011);
    p.fwRevision = 0x07;
    p.fpga = true;
    p.extVersion = {0x12, 0x34};
    return p;
}

nvsemu::Profile BenchUnitAs(const nvsemu::ModuleIdentity& main) {
    nvsemu::Profile p = BenchUnit();
    p.main = main;
    return p;
}

nvsemu::Profile BenchUnitWithModule(const nvsemu::ModuleIdentity& ppg) {
    nvsemu::Profile p = BenchUnitAs(Identity('N', 'V', 0x5001, 0x0011));
    p.separatePpg = true;
    p.ppg = ppg;
    p.extResp = ppg.letters[0] == 'X' && ppg.letters[1] == 'J';
    return p;
}

Bytes AcceptedEcho(const Bytes& request) {
    Bytes reply = request;
    reply.resize(64, 0);
    reply[3] = 0xFF;
    return reply;
}

void ProtocolExchange::SetUp() {
    ResetProtocolState();
    ASSERT_TRUE(emu_.Start());
    UseFirmware(BenchUnit());
    ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(0)));
}

void ProtocolExchange::TearDown() {
    DeviceClose();
    emu_.Stop();
    ResetProtocolState();
}

void ProtocolExchange::UseFirmware(const nvsemu::Profile& profile) {
    fw_ = std::make_shared<nvsemu::Firmware>(profile);
    emu_.SetResponder(fw_);
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
    for (const nvsemu::Request& r : emu_.Requests()) {
        out.push_back(r.bytes);
    }
    return out;
}

Bytes ProtocolExchange::ControlBlock() const {
    const auto block = fw_->ControlBlock();
    return Bytes(block.begin(), block.end());
}

void ProtocolExchange::SetControlBlock(const Bytes& block) {
    std::array<uint8_t, 57> b{};
    std::copy(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(std::min(block.size(), b.size())), b.begin());
    fw_->SetControlBlock(b);
}

Bytes ProtocolExchange::MemoryRange(uint8_t target, uint32_t address, size_t n) const {
    return fw_->MemoryAt(target, address, n);
}

uint8_t ProtocolExchange::Memory(uint8_t target, uint32_t address) const {
    const Bytes b = MemoryRange(target, address, 1);
    return b.empty() ? 0 : b[0];
}

bool ProtocolExchange::Tell(const Bytes& request) { return !fw_->Answer(request).empty(); }
