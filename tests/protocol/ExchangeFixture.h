// Fixtures of the protocol suite: the emulator's firmware model (tools/emulator) of a
// bench instrument behind a pseudo-terminal linked as ttyACM0 of a sandboxed device
// folder (ResetProtocolState, in the shared fixtures, resets the library's globals).
//
// The firmware answers every request from its own state; a test shapes that state
// through the model's setters (or by handing it a request directly), plans faults on
// the emulator for silence, short, late, altered and refused replies, and reads back
// what the model holds.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "Emulator.h"
#include "Firmware.h"
#include "LinkSandbox.h"
#include "ProtocolState.h"
#include "Profile.h"

using Bytes = std::vector<uint8_t>;

// One module's identity record.
nvsemu::ModuleIdentity Identity(char a, char b, uint16_t model, uint16_t serial, uint8_t hwMajor = 3,
                                uint8_t hwMinor = 1, uint8_t fwMajor = 1, uint8_t fwMinor = 16, uint8_t prefix = 0x21);
// The same as the 12 bytes the module stores.
Bytes IdentityRecord(char a, char b, uint16_t model, uint16_t serial, uint8_t hwMajor = 3, uint8_t hwMinor = 1,
                     uint8_t fwMajor = 1, uint8_t fwMinor = 16, uint8_t prefix = 0x21);

// The bench instrument: main unit NV 0x4031 serial 0x21-0x0011, hardware 3.1, firmware
// 1.16 revision 7, serving its PPG side itself with six PPG modules; a photodiode FPGA
// whose extension module reports version 12 34 (B8 00 00); 12-bit DACs.
nvsemu::Profile BenchUnit();
// The bench instrument with another main-module identity.
nvsemu::Profile BenchUnitAs(const nvsemu::ModuleIdentity& main);
// The bench instrument as main unit NV 0x5001 (no row of the main-unit table) with a PPG
// module of its own carrying this identity.
nvsemu::Profile BenchUnitWithModule(const nvsemu::ModuleIdentity& ppg);

// A 64-byte copy of the request with byte 3 set to 0xFF.
Bytes AcceptedEcho(const Bytes& request);

// The firmware model of the bench instrument on ttyACM0 of a sandbox.
class ProtocolExchange : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new firmware model of this profile behind the same port (the port stays open).
    void UseFirmware(const nvsemu::Profile& profile);
    // Opens the port with the handshake stood in (only the test's own exchanges run),
    // then forgets the requests recorded so far.
    void OpenPort();
    // The request bytes the library sent since the last ClearSent.
    std::vector<Bytes> Sent() const;
    void ClearSent() { emu_.ClearRequests(); }

    nvsemu::Firmware& Fw() { return *fw_; }
    // The model's control block and memory as byte vectors.
    Bytes ControlBlock() const;
    void SetControlBlock(const Bytes& block);  // 57 bytes
    Bytes MemoryRange(uint8_t target, uint32_t address, size_t n) const;
    uint8_t Memory(uint8_t target, uint32_t address) const;
    // Hands the firmware a request of its own, as if the host had sent it (to shape its
    // state); true when the firmware answered it.
    bool Tell(const Bytes& request);

    LinkSandbox sandbox_;
    std::shared_ptr<nvsemu::Firmware> fw_;
    nvsemu::Emulator emu_;
};
