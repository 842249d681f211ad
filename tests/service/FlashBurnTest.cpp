// The microcontroller firmware burn against the emulated instrument.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "UpdateFixture.h"
#include "api/Connection.h"
#include "platform/Device.h"

namespace {

const Bytes kErase = {0x12, 0x55, 0xAA, 0xFF, 0x00, 0x03, 0x01};
const Bytes kWrite = {0x12, 0x55, 0xAA, 0xFF, 0x00, 0x03, 0x00};
const Bytes kVerify = {0x12, 0x55, 0xAA, 0x00, 0x00, 0x03, 0x00};

uint32_t Address(const Bytes& r) {
    return static_cast<uint32_t>(r[8]) << 24 | static_cast<uint32_t>(r[9]) << 16 | static_cast<uint32_t>(r[10]) << 8 |
           r[11];
}

// The reports of a stage, with the percentages a burn reports.
std::vector<Report> StageReports(int stage, uint32_t total, uint32_t step) {
    std::vector<Report> out;
    for (uint32_t offset = 0; offset < total; offset += step)
        out.emplace_back(stage, static_cast<int>(uint64_t{offset} * 100 / total));
    out.emplace_back(stage, 100);
    return out;
}

int Burn(FlashBlock block) { return ORVUpdateBurnFlashBlock(block, ProgressLog::Callback); }

// ORVConnect, then the wait for the stored calibration data's loading that follows.
bool ConnectAndLoad() {
    const unsigned loaded = ConnectionLoadCount();
    if (!ORVConnect(0, 20000))
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ConnectionLoadCount() == loaded) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

double SecondsOf(const std::function<void()>& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(UpdateTest, BurnsAThousandBytesIntoBlockZero) {
    Plug(nvsemu::Profile::WithPpg2112());
    Bytes image = RandomImage(1000, 1);
    ASSERT_EQ(ORVUpdateLoadBinFile(image.data(), static_cast<unsigned>(image.size())), 1000);
    image[0] ^= 0xFF;  // the library burns its own copy
    image[0] ^= 0xFF;

    ASSERT_EQ(ORVUpdateFwBurnBinFile(ProgressLog::Callback), 0);

    const auto erases = SentWith(kErase);
    ASSERT_EQ(erases.size(), 120u);
    for (size_t k = 0; k < erases.size(); ++k)
        EXPECT_EQ(Address(erases[k]), k * 1024) << k;
    const auto writes = SentWith(kWrite);
    const auto verifies = SentWith(kVerify);
    ASSERT_EQ(writes.size(), 21u);
    ASSERT_EQ(verifies.size(), 21u);
    for (size_t c = 0; c < 21; ++c) {
        EXPECT_EQ(writes[c][7], c < 20 ? 48 : 40);
        EXPECT_EQ(Address(writes[c]), c * 48);
        EXPECT_EQ(verifies[c][7], c < 20 ? 48 : 40);
        EXPECT_EQ(Address(verifies[c]), c * 48);
    }
    // The restart byte follows the last verify.
    const auto requests = emu_.Requests();
    size_t lastVerify = 0, restart = 0;
    for (const auto& r : requests) {
        if (r.bytes.size() == 64 && std::equal(kVerify.begin(), kVerify.end(), r.bytes.begin()))
            lastVerify = r.index;
        if (r.bytes == Bytes{0xDD})
            restart = r.index;
    }
    EXPECT_GT(restart, lastVerify);
    EXPECT_EQ(fw_->Restarts(), 1u);

    std::vector<Report> want = StageReports(1, 0x1E000, 1024);
    for (int stage : {2, 3}) {
        const auto part = StageReports(stage, 1000, 48);
        want.insert(want.end(), part.begin(), part.end());
    }
    want.insert(want.end(), {{4, 99}, {5, 100}, {6, 0}});
    EXPECT_EQ(ProgressLog::Reports(), want);

    EXPECT_EQ(fw_->MemoryAt(0x03, 0, 1000), image);
    EXPECT_EQ(fw_->MemoryAt(0x03, 1000, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    // Pauses: one 40 ms pause a page, then the 5 s restart wait; the rest are the
    // search's one-second pauses.
    const auto sleeps = SeamSleeps();
    ASSERT_GE(sleeps.size(), 121u);
    EXPECT_EQ(std::vector<unsigned>(sleeps.begin(), sleeps.begin() + 120), std::vector<unsigned>(120, 40));
    EXPECT_EQ(sleeps[120], 5000u);
    for (size_t i = 121; i < sleeps.size(); ++i)
        EXPECT_EQ(sleeps[i], 1000u);
    EXPECT_TRUE(NothingHeld());
    EXPECT_FALSE(ConnectionIsUp());
}

namespace {
std::atomic<int> s_loadDuringBurn{1};
void LoadOnFirstWrite(int stage, int value) {
    static unsigned char other[4] = {1, 2, 3, 4};
    if (stage == 2 && value == 0)
        s_loadDuringBurn.store(ORVUpdateLoadBinFile(other, 4));
}
}  // namespace

TEST_F(UpdateTest, BurnsBlockOneInOnePage) {
    Plug(nvsemu::Profile::WithPpg2112());
    Bytes image = RandomImage(1024, 2);
    ASSERT_EQ(ORVUpdateLoadBinFile(image.data(), 1024), 1024);
    // A load from the burn's own callback would free the image the burn reads.
    ProgressLog::OnReport(LoadOnFirstWrite);
    ASSERT_EQ(Burn(FLASH_BLOCK_1), 0);
    EXPECT_EQ(s_loadDuringBurn.load(), -2);
    const auto erases = SentWith(kErase);
    ASSERT_EQ(erases.size(), 1u);
    EXPECT_EQ(Address(erases[0]), 0x3F000u);
    const auto reports = ProgressLog::Reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[0], Report(1, 0));
    EXPECT_EQ(reports[1], Report(1, 100));
    EXPECT_EQ(fw_->MemoryAt(0x03, 0x3F000, 1024), image);
    EXPECT_TRUE(NothingHeld());
}

namespace {
nvsemu::Emulator* s_unplugAtRestart = nullptr;
void UnplugAtRestart(int stage, int) {
    if (stage == 4 && s_unplugAtRestart != nullptr)
        s_unplugAtRestart->Unplug();
}
}  // namespace

TEST_F(UpdateTest, BurnFailuresEndWithTheirCodeAndLeaveNothingHeld) {
    struct Case {
        const char* name;
        std::function<void(nvsemu::Emulator&, nvsemu::Firmware&)> plan;  // null: no instrument at all
        int code;
    };
    const Case cases[] = {
        {"no instrument", nullptr, -3},
        {"unplugged mid-write",
         []([[maybe_unused]] nvsemu::Emulator& emu, [[maybe_unused]] nvsemu::Firmware& fw) {
             emu.FaultOnHeader(kWrite, nvsemu::Fault::Unplug(), 1, 5);
         },
         -6},
        {"erase reply dropped",
         []([[maybe_unused]] nvsemu::Emulator& emu, [[maybe_unused]] nvsemu::Firmware& fw) {
             emu.FaultOnHeader(kErase, nvsemu::Fault::Drop(), 1, 7);
         },
         -6},
        {"verify reply dropped",
         []([[maybe_unused]] nvsemu::Emulator& emu, [[maybe_unused]] nvsemu::Firmware& fw) {
             emu.FaultOnHeader(kVerify, nvsemu::Fault::Drop(), 1, 3);
         },
         -8},
        {"flipped byte",
         []([[maybe_unused]] nvsemu::Emulator& emu, [[maybe_unused]] nvsemu::Firmware& fw) { fw.FlipProgramByte(100); },
         -9},
        {"port gone before the restart",
         []([[maybe_unused]] nvsemu::Emulator& emu, [[maybe_unused]] nvsemu::Firmware& fw) {
             s_unplugAtRestart = &emu;
             ProgressLog::OnReport(UnplugAtRestart);
         },
         -10},
        {"no return",
         []([[maybe_unused]] nvsemu::Emulator& emu, [[maybe_unused]] nvsemu::Firmware& fw) {
             emu.SetRestartPlan({5, -1, ""});
         },
         -11},
    };
    const Bytes image = RandomImage(300, 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgressLog::Clear();
        if (c.plan) {
            Plug(nvsemu::Profile::WithPpg2112());
            c.plan(emu_, *fw_);
        }
        ASSERT_EQ(ORVUpdateLoadBinFile(const_cast<uint8_t*>(image.data()), 300), 300);
        int code = 0;
        const double seconds = SecondsOf([&] { code = Burn(FLASH_BLOCK_0); });
        EXPECT_EQ(code, c.code);
        // Every failure is reported but the unsent restart, after which the burn is done.
        const auto reports = ProgressLog::Reports();
        const bool reported = c.code != -10;
        ASSERT_FALSE(reports.empty());
        if (reported)
            EXPECT_EQ(reports.back(), Report(6, c.code));
        else
            EXPECT_EQ(reports.back(), Report(4, 99));
        EXPECT_EQ(std::count_if(reports.begin(), reports.end(), [](const Report& r) { return r.first == 6; }),
                  reported ? 1 : 0);
        EXPECT_TRUE(NothingHeld());
        EXPECT_LT(seconds, 20.0);
        s_unplugAtRestart = nullptr;
        emu_.Stop();
    }
}

TEST_F(UpdateTest, ComesBackOnAnotherNodeAndLeavesAnotherProcesssLockAlone) {
    RawPty other;  // a node below the instrument's, locked by a living process
    ASSERT_TRUE(sandbox_.Link(1, other.SlavePath()));
    sandbox_.WriteLock(1, 1);  // process 1 is always alive
    Plug(nvsemu::Profile::WithPpg2112(), 2);
    emu_.SetRestartPlan({5, 100, sandbox_.NodePath(3)});
    const Bytes image = RandomImage(100, 4);
    ASSERT_EQ(ORVUpdateLoadBinFile(const_cast<uint8_t*>(image.data()), 100), 100);

    ASSERT_EQ(Burn(FLASH_BLOCK_0), 0);
    EXPECT_EQ(ProgressLog::Reports().back(), Report(6, 0));
    EXPECT_EQ(sandbox_.LockOwner(1), 1);
    EXPECT_FALSE(sandbox_.LockExists(2));
    EXPECT_FALSE(sandbox_.LockExists(3));
    EXPECT_EQ(DeviceIsConnected(), 0);
}

TEST_F(UpdateTest, RefusesABurnThatCannotBeDoneBeforeAnythingIsSent) {
    Plug(nvsemu::Profile::WithPpg2112());
    ASSERT_TRUE(ConnectAndLoad());
    emu_.ClearRequests();
    unsigned char byte = 0x5A;
    const Bytes big(0x1E001, 0);

    EXPECT_EQ(Burn(FLASH_BLOCK_0), -2);  // nothing loaded
    EXPECT_EQ(ORVUpdateLoadBinFile(nullptr, 10), -2);
    EXPECT_EQ(ORVUpdateLoadBinFile(const_cast<uint8_t*>(big.data()), 0x1E001), -2);
    EXPECT_EQ(Burn(FLASH_BLOCK_0), -2);  // the refused loads kept nothing
    ASSERT_EQ(ORVUpdateLoadBinFile(nullptr, 0), 0);
    EXPECT_EQ(Burn(FLASH_BLOCK_0), -2);  // empty
    const Bytes page(1025, 1);
    ASSERT_EQ(ORVUpdateLoadBinFile(const_cast<uint8_t*>(page.data()), 1025), 1025);
    EXPECT_EQ(Burn(FLASH_BLOCK_1), -2);  // larger than the block
    ASSERT_EQ(ORVUpdateLoadBinFile(&byte, 1), 1);
    EXPECT_EQ(Burn(static_cast<FlashBlock>(2)), -2);
    EXPECT_EQ(Burn(static_cast<FlashBlock>(-1)), -2);
    EXPECT_EQ(ORVUpdateBurnFlashBlock(static_cast<FlashBlock>(7), nullptr), -2);  // no reports, no crash

    EXPECT_EQ(ProgressLog::Reports(), std::vector<Report>(6, Report(6, -2)));
    EXPECT_TRUE(emu_.Requests().empty());
    EXPECT_TRUE(ConnectionIsUp());  // the connection is left as it was

    EXPECT_EQ(ORVUpdateMCULoadBinFile(nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(ORVUpdateMCUBurnBinFile(ProgressLog::Callback), -1);
    int a = 7;
    EXPECT_EQ(ORVUpdateFwLoadBinFile(nullptr, &a, &a, &a), 0);
    EXPECT_EQ(a, 7);
}

namespace {
std::atomic<int> s_listenerResult{1};
void BurnFromListener(bool connected) {
    if (connected)
        s_listenerResult.store(Burn(FLASH_BLOCK_0));
}
}  // namespace

TEST_F(UpdateTest, ABurnFromTheListenerIsRefused) {
    Plug(nvsemu::Profile::WithPpg2112());
    unsigned char byte = 0x5A;
    ASSERT_EQ(ORVUpdateLoadBinFile(&byte, 1), 1);
    s_listenerResult.store(1);
    ASSERT_TRUE(ORVInit(BurnFromListener));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (s_listenerResult.load() == 1 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(s_listenerResult.load(), -2);
    EXPECT_EQ(ProgressLog::Reports(), std::vector<Report>{Report(6, -2)});
    EXPECT_TRUE(SentWith(kErase).empty());
    EXPECT_TRUE(ConnectionIsUp());
}

namespace {
std::thread s_racer;
std::atomic<int64_t> s_racerReturnedUs{0};
int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
std::atomic<int64_t> s_resultReportUs{0};
void StartRacerOnFirstWrite(int stage, int value) {
    if (stage == 6)
        s_resultReportUs.store(NowUs());  // still inside the burn
    if (stage == 2 && value == 0 && !s_racer.joinable()) {
        s_racer = std::thread([] {
            ORVInit(nullptr);
            s_racerReturnedUs.store(NowUs());
        });
    }
}
}  // namespace

TEST_F(UpdateTest, OtherThreadsLifecycleCallsWaitForTheBurn) {
    Plug(nvsemu::Profile::WithPpg2112());
    const Bytes image = RandomImage(500, 8);
    ASSERT_EQ(ORVUpdateLoadBinFile(const_cast<uint8_t*>(image.data()), 500), 500);
    ProgressLog::OnReport(StartRacerOnFirstWrite);
    s_racerReturnedUs.store(0);
    EXPECT_EQ(Burn(FLASH_BLOCK_0), 0);
    ASSERT_TRUE(s_racer.joinable());
    s_racer.join();
    EXPECT_GT(s_racerReturnedUs.load(), s_resultReportUs.load());
    EXPECT_EQ(fw_->MemoryAt(0x03, 0, 500), image);
}
