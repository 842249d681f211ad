// Fixtures of the update suite: the firmware model behind the emulator on ttyACM<port>
// of a sandboxed device folder (restarting as the instrument does), the library's fixed
// pauses shortened and recorded through its sleep seam, and a recorder of the progress
// reports.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "Emulator.h"
#include "Firmware.h"
#include "LinkSandbox.h"
#include "api/nvs300.h"

using Bytes = std::vector<uint8_t>;
using Report = std::pair<int, int>;  // (stage, value)

// The progress reports of the update under way, in order; an optional action runs on
// each report (on the updating thread, with the library's lock held).
class ProgressLog {
public:
    static void Callback(int stage, int value);
    static void Clear();
    static std::vector<Report> Reports();
    // Runs action(stage, value) on every report from now on (null: none).
    static void OnReport(void (*action)(int, int));
};

// Every pause asked through the sleep seam, in order; the seam sleeps 1/50 of each.
std::vector<unsigned> SeamSleeps();

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the emulator with the profile's firmware linked as ttyACM<port>; the
    // instrument restarts by `plan` (default: back after 100 ms at the same node).
    void Plug(const nvsemu::Profile& profile, int port = 0);
    nvsemu::Firmware& Fw() { return *fw_; }
    std::vector<Bytes> SentWith(const Bytes& prefix) const;
    // True when this process has no port open and leaves no lock file in the sandbox.
    bool NothingHeld() const;

    LinkSandbox sandbox_;
    std::shared_ptr<nvsemu::Firmware> fw_;
    nvsemu::Emulator emu_;
    int port_ = 0;
};

// A random image of n bytes.
Bytes RandomImage(size_t n, unsigned seed);
