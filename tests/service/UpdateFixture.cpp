#include "UpdateFixture.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <random>
#include <string>
#include <thread>

#include "ProtocolState.h"
#include "api/Connection.h"
#include "api/PostConnection.h"
#include "output/Output.h"
#include "platform/Device.h"
#include "platform/SleepSeam.h"
#include "service/FPGA.h"

namespace {

std::mutex s_mu;
std::vector<Report> s_reports;
void (*s_action)(int, int) = nullptr;
std::vector<unsigned> s_sleeps;

void ShortSleep(unsigned ms) {
    {
        std::lock_guard<std::mutex> lock(s_mu);
        s_sleeps.push_back(ms);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{ms} * 20));
}

}  // namespace

void ProgressLog::Callback(int stage, int value) {
    void (*action)(int, int);
    {
        std::lock_guard<std::mutex> lock(s_mu);
        s_reports.emplace_back(stage, value);
        action = s_action;
    }
    if (action != nullptr)
        action(stage, value);
}

void ProgressLog::Clear() {
    std::lock_guard<std::mutex> lock(s_mu);
    s_reports.clear();
    s_action = nullptr;
}

std::vector<Report> ProgressLog::Reports() {
    std::lock_guard<std::mutex> lock(s_mu);
    return s_reports;
}

void ProgressLog::OnReport(void (*action)(int, int)) {
    std::lock_guard<std::mutex> lock(s_mu);
    s_action = action;
}

std::vector<unsigned> SeamSleeps() {
    std::lock_guard<std::mutex> lock(s_mu);
    return s_sleeps;
}

void UpdateTest::SetUp() {
    ORVFree();
    ProgressLog::Clear();
    {
        std::lock_guard<std::mutex> lock(s_mu);
        s_sleeps.clear();
    }
    SetSleepSeam(ShortSleep);
}

void UpdateTest::TearDown() {
    ORVFree();
    DeviceClose();
    emu_.Stop();
    SetSleepSeam(nullptr);
    FPGASetConfigForTest(nullptr);
    ORVUpdateLoadBinFile(nullptr, 0);
    ResetProtocolState();
    ResetConnectionState();
    ResetPostConnectionState();
    ResetOutputState();
    ProgressLog::Clear();
}

void UpdateTest::Plug(const nvsemu::Profile& profile, int port) {
    port_ = port;
    fw_ = std::make_shared<nvsemu::Firmware>(profile);
    ASSERT_TRUE(emu_.Start());
    emu_.SetResponder(fw_);
    nvsemu::Emulator* emu = &emu_;
    fw_->SetRestartHandler([emu] { emu->Restart(); });
    ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(port)));
}

std::vector<Bytes> UpdateTest::SentWith(const Bytes& prefix) const {
    std::vector<Bytes> out;
    for (const nvsemu::Request& r : emu_.Requests())
        if (r.bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), r.bytes.begin()))
            out.push_back(r.bytes);
    return out;
}

bool UpdateTest::NothingHeld() const {
    if (DeviceIsConnected() != 0)
        return false;
    DIR* dir = opendir(sandbox_.LockDir().c_str());
    if (dir == nullptr)
        return true;
    bool none = true;
    while (dirent* entry = readdir(dir))
        none = none && std::string(entry->d_name).rfind("orvane.", 0) != 0;
    closedir(dir);
    return none;
}

Bytes RandomImage(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    Bytes out(n);
    for (auto& b : out)
        b = static_cast<uint8_t>(rng());
    return out;
}
