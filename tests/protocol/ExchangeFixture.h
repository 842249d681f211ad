// Test fixtures of the protocol suite: a scripted instrument behind the emulator's
// pseudo-terminal (ResetProtocolState, in the shared fixtures, resets the globals).
//
// The scripted instrument answers with the bytes the replies are documented to carry:
// identity records in a memory image (erased = 0xFF), the 57-byte control block, the
// operator block, the setting blocks, calibration settings by id. It is not the
// firmware model: it knows only what these tests need, and each test shapes it (or the
// emulator's fault plan) to the case it checks.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Emulator.h"
#include "LinkSandbox.h"
#include "ProtocolState.h"

using Bytes = std::vector<uint8_t>;

// A 12-byte identity record.
Bytes IdentityRecord(char a, char b, uint16_t model, uint16_t serial, uint8_t hwMajor = 3, uint8_t hwMinor = 1,
                     uint8_t fwMajor = 1, uint8_t fwMinor = 16, uint8_t prefix = 0x21);

class ScriptedInstrument {
public:
    ScriptedInstrument();

    // Replies to one request (the emulator's responder).
    std::vector<nvsemu::Reply> Answer(const nvsemu::Request& request);

    // State the tests shape and look at; every accessor locks.
    void SetMainIdentity(const Bytes& record);
    void SetPPGIdentity(const Bytes& record);  // also makes the PPG side a module of its own
    void SetFPGAAlive(bool alive);
    void SetDac16(bool main, bool ppg);
    void SetExtVersion(uint8_t b8High, uint8_t b8Low, uint8_t b9High, uint8_t b9Low);
    // Stop acknowledgement: this many stream packets (byte 4 = 1) come before the 0xAD answer.
    void SetStreamPacketsBeforeStop(int n);
    void SetNeverAcknowledgeStop(bool never);

    uint8_t Memory(uint8_t target, uint32_t address);
    void SetMemory(uint8_t target, uint32_t address, const Bytes& bytes);
    Bytes MemoryRange(uint8_t target, uint32_t address, size_t n);

    Bytes ControlBlock();
    void SetControlBlock(const Bytes& block);  // 57 bytes
    Bytes OperatorBlock();
    void SetOperatorBlock(const Bytes& block);  // 14 bytes

    void SetCalibration(uint8_t id, uint16_t value);
    // Setting blocks as last written (sub-command 01, 02, 03, 08), and the raw packets.
    Bytes SettingBlock(uint8_t sub);
    void SetSettingBlock(uint8_t sub, const Bytes& block);
    // byte 3 of the rate poll stays 0x00 for this many polls (-1: for ever).
    void SetRatePollsBusy(int n);

private:
    std::vector<nvsemu::Reply> Memory(const Bytes& r);

    std::mutex mu_;
    Bytes main_, ppg_;
    bool hasPPG_ = false;
    bool fpgaAlive_ = true;
    bool dac16Main_ = false, dac16PPG_ = false;
    uint8_t ext_[4] = {0x12, 0x34, 0x56, 0x78};
    int streamBeforeStop_ = 0;
    bool neverStop_ = false;
    std::map<std::pair<uint8_t, uint32_t>, uint8_t> memory_;
    Bytes control_;
    Bytes operator_;
    std::map<uint8_t, uint16_t> calibration_;
    std::map<uint8_t, Bytes> settings_;
    int ratePollsBusy_ = 0;
};

// An emulated instrument on ttyACM0 of a sandboxed device folder.
class ProtocolExchange : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens the port with the handshake stood in (only the test's own exchanges run),
    // then forgets the requests recorded so far.
    void OpenPort();
    // The request bytes the library sent since the last ClearRequests.
    std::vector<Bytes> Sent() const;
    void ClearSent() { emu_.ClearRequests(); }

    LinkSandbox sandbox_;
    ScriptedInstrument inst_;
    nvsemu::Emulator emu_;
};

// A 64-byte copy of the request with byte 3 set to 0xFF.
Bytes AcceptedEcho(const Bytes& request);
