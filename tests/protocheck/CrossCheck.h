// Fixture of the cross-check suite: the library's own protocol code, through the real
// serial link and transport, against the emulator's firmware model of one profile.
//
// Nothing here scripts replies: the firmware model (tools/emulator/Firmware.h) answers
// every request from its own state, built from the profile and its factory image, and
// the tests compare what the library made of it with what the model holds (or what the
// model recorded with what the library meant to send).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Emulator.h"
#include "Firmware.h"
#include "LinkSandbox.h"
#include "ProtocolState.h"
#include "Profile.h"

using Bytes = std::vector<uint8_t>;

// Big-endian 16-bit word and little-endian values out of a byte span (for checking the
// model's memory by the stored layouts, independently of the library's readers).
uint16_t BE16(const Bytes& b, size_t at);
uint16_t LE16(const Bytes& b, size_t at);
float LEFloat(const Bytes& b, size_t at);
double LEDouble(const Bytes& b, size_t at);

class CrossCheck : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds the firmware model of the profile, plugs it in as ttyACM<port> of the
    // sandbox and runs the serial link's FindDevice on that port (the real handshake).
    // Returns FindDevice's answer; the requests recorded so far are forgotten.
    int Plug(const nvsemu::Profile& profile, int port = 0);
    // Plug and insist on acceptance.
    void Connect(const nvsemu::Profile& profile, int port = 0);

    // Requests the library sent since the last ClearSent, as bytes.
    std::vector<Bytes> Sent() const;
    void ClearSent() { emu_.ClearRequests(); }
    // How many recorded requests begin with prefix.
    size_t CountSent(const Bytes& prefix) const;

    LinkSandbox sandbox_;
    nvsemu::Emulator emu_;
    std::shared_ptr<nvsemu::Firmware> fw_;
};

// The firmware model's profiles by name, for parameterised tests.
nvsemu::Profile ProfileNamed(const std::string& name);
