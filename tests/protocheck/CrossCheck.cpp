#include "CrossCheck.h"

#include <cstring>

#include "platform/Device.h"
#include NVS_DEVICE_SEAM_HEADER
#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/PPGModule.h"
#include "protocol/RespirationTables.h"
#include "waveform/Calibration.h"

uint16_t BE16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) << 8 | b.at(at + 1)); }
uint16_t LE16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | b.at(at + 1) << 8); }

float LEFloat(const Bytes& b, size_t at) {
    uint32_t bits = 0;
    for (int i = 3; i >= 0; --i) {
        bits = bits << 8 | b.at(at + static_cast<size_t>(i));
    }
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

double LEDouble(const Bytes& b, size_t at) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) {
        bits = bits << 8 | b.at(at + static_cast<size_t>(i));
    }
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

void CrossCheck::SetUp() {
    ResetProtocolState();
    DeviceSeamSetTargetCheck(nullptr);  // the protocol's own handshake
    ASSERT_TRUE(emu_.Start());
}

void CrossCheck::TearDown() {
    DeviceClose();
    emu_.Stop();
    ResetProtocolState();
}

int CrossCheck::Plug(const nvsemu::Profile& profile, int port) {
    DeviceClose();
    fw_ = std::make_shared<nvsemu::Firmware>(profile);
    emu_.SetResponder(fw_);
    EXPECT_TRUE(emu_.LinkAs(sandbox_.NodePath(port)));
    const int found = FindDevice(port);
    emu_.ClearRequests();
    return found;
}

void CrossCheck::Connect(const nvsemu::Profile& profile, int port) {
    ASSERT_EQ(Plug(profile, port), 1) << "profile " << profile.name << " not accepted";
}

std::vector<Bytes> CrossCheck::Sent() const {
    std::vector<Bytes> out;
    for (const nvsemu::Request& r : emu_.Requests()) {
        out.push_back(r.bytes);
    }
    return out;
}

size_t CrossCheck::CountSent(const Bytes& prefix) const {
    size_t n = 0;
    for (const Bytes& r : Sent()) {
        if (r.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), r.begin())) {
            ++n;
        }
    }
    return n;
}

nvsemu::Profile ProfileNamed(const std::string& name) {
    nvsemu::Profile p;
    EXPECT_TRUE(nvsemu::Profile::ByName(name, p)) << name;
    return p;
}
