// Fixtures of the device API suite: the library's process-wide state put back to its
// load-time values, the firmware model behind the emulator on ttyACM<port> of a sandboxed
// device folder, and a recorder for the connection listener.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "Emulator.h"
#include "Firmware.h"
#include "LinkSandbox.h"
#include "api/nvs300.h"

using Bytes = std::vector<uint8_t>;

// Every global of the protocol, the waveform model's calibration state, the API and the
// simulated output back to its load-time value, through each component's own reset (the
// connection handling and any output must be ended first).
void ResetApiState();

// The connection listener's notices, in order.
class ListenerLog {
public:
    static ListenerLog& Instance();
    static void Listener(bool connected);  // records into Instance()

    void Clear();
    std::vector<bool> Events() const;
    // Waits until at least n notices arrived; false at the deadline.
    bool WaitFor(size_t n, unsigned timeoutMs) const;

private:
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<bool> events_;
};

// The firmware model of a profile on ttyACM<port> of a sandbox.
class ApiTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;  // ORVFree, then the emulator stops

    // Starts the emulator with the profile's firmware linked as ttyACM<port>.
    void Plug(const nvsemu::Profile& profile, int port = 0);
    // ORVConnect on the plugged port; afterwards the requests recorded so far are
    // forgotten unless keepRequests.
    bool Connect(bool keepRequests = false);
    nvsemu::Firmware& Fw() { return *fw_; }
    std::vector<Bytes> Sent() const;
    void ClearSent() { emu_.ClearRequests(); }
    // Requests whose bytes start with prefix.
    std::vector<Bytes> SentWith(const Bytes& prefix) const;

    LinkSandbox sandbox_;
    std::shared_ptr<nvsemu::Firmware> fw_;
    nvsemu::Emulator emu_;
    int port_ = 0;
};

// Polls cond every 5 ms until it holds; false at the deadline.
template <class Cond>
bool WaitUntil(Cond cond, unsigned timeoutMs);

#include <chrono>
#include <thread>
template <class Cond>
bool WaitUntil(Cond cond, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A profile whose main module carries the given identity numbers.
nvsemu::Profile WithMainIdentity(nvsemu::Profile p, uint16_t model, uint8_t prefix, uint16_t serial, uint8_t hwMajor,
                                 uint8_t hwMinor);
