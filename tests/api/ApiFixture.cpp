// The device API suite's fixtures.
#include "ApiFixture.h"

#include "ProtocolState.h"

#include <algorithm>

#include "api/Connection.h"
#include "api/DeviceInfo.h"
#include "api/LedApi.h"
#include "api/PostConnection.h"
#include "output/Output.h"
#include "platform/Device.h"

void ResetApiState() {
    ResetProtocolState();
    ResetConnectionState();
    ResetPostConnectionState();
    ResetLedApiState();
    ResetDeviceInfoState();
    ResetOutputState();
}

ListenerLog& ListenerLog::Instance() {
    static ListenerLog log;
    return log;
}

void ListenerLog::Listener(bool connected) {
    ListenerLog& log = Instance();
    std::lock_guard<std::mutex> lock(log.mu_);
    log.events_.push_back(connected);
    log.cv_.notify_all();
}

void ListenerLog::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    events_.clear();
}

std::vector<bool> ListenerLog::Events() const {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
}

bool ListenerLog::WaitFor(size_t n, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return events_.size() >= n; });
}

void ApiTest::SetUp() {
    ORVFree();
    ResetApiState();
    ListenerLog::Instance().Clear();
}

void ApiTest::TearDown() {
    ORVFree();
    DeviceClose();
    emu_.Stop();
    ResetApiState();
}

void ApiTest::Plug(const nvsemu::Profile& profile, int port) {
    port_ = port;
    fw_ = std::make_shared<nvsemu::Firmware>(profile);
    ASSERT_TRUE(emu_.Start());
    emu_.SetResponder(fw_);
    ASSERT_TRUE(sandbox_.Link(port, emu_.SlavePath()));
}

bool ApiTest::Connect(bool keepRequests) {
    const unsigned loaded = ConnectionLoadCount();
    const bool connected = ORVConnect(static_cast<unsigned>(port_), 20000);
    // The stored calibration data is loaded after the connection is reported.
    if (connected && !WaitUntil([&] { return ConnectionLoadCount() != loaded; }, 30000)) {
        return false;
    }
    if (!keepRequests) {
        emu_.ClearRequests();
    }
    return connected;
}

std::vector<Bytes> ApiTest::Sent() const {
    std::vector<Bytes> out;
    for (const nvsemu::Request& r : emu_.Requests()) {
        out.push_back(r.bytes);
    }
    return out;
}

std::vector<Bytes> ApiTest::SentWith(const Bytes& prefix) const {
    std::vector<Bytes> out;
    for (const Bytes& b : Sent()) {
        if (b.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), b.begin())) {
            out.push_back(b);
        }
    }
    return out;
}

nvsemu::Profile WithMainIdentity(nvsemu::Profile p, uint16_t model, uint8_t prefix, uint16_t serial, uint8_t hwMajor,
                                 uint8_t hwMinor) {
    p.main.model = model;
    p.main.serialPrefix = prefix;
    p.main.serial = serial;
    p.main.hwMajor = hwMajor;
    p.main.hwMinor = hwMinor;
    return p;
}
