// The FPGA image upgrade against the emulated instrument, and the image loader.
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>

#include "UpdateFixture.h"
#include "api/Connection.h"
#include "platform/Device.h"
#include "service/FPGA.h"

namespace {

const Bytes kData = {0xB8, 0xFF, 0x03, 0x00};
const Bytes kControl = {0xB8, 0xFF, 0x01, 0x00};

// A file in the test's temporary folder holding bytes.
class TempFile {
public:
    explicit TempFile(const Bytes& bytes) {
        char name[] = "/tmp/nvs-fpga-XXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            if (!bytes.empty())
                (void)!write(fd, bytes.data(), bytes.size());
            close(fd);
        }
    }
    ~TempFile() { unlink(path_.c_str()); }
    char* Path() { return &path_[0]; }

private:
    std::string path_;
};

int Upgrade() { return ORVUpdateFPGABurn(ProgressLog::Callback); }

int s_loadDuringUpgrade = 1;
char* s_loadPath = nullptr;
void LoadOnFirstErase(int stage, int value) {
    if (stage == 1 && value == 0)
        s_loadDuringUpgrade = ORVUpdateFPGALoadFile(s_loadPath, nullptr, nullptr);
}

// A small geometry for both sides: sectors of 0x100, 0x80 and 0x60 bytes.
struct SmallGeometry : CFPGAConfig {
    SmallGeometry() {
        m_Flash[0] = CHIP_FLASH(0x100, 0);
        m_Flash[1] = CHIP_FLASH(0x80, 0x100);
        m_Flash[2] = CHIP_FLASH(0x60, 0x180);
        m_Flash[3] = CHIP_FLASH(0, 0x1E0);
    }
};
const SmallGeometry kSmall;

}  // namespace

TEST_F(UpdateTest, UpgradesTheFpgaImageEndToEnd) {
    Plug(nvsemu::Profile::WithPpg2012Fpga(true));
    const Bytes image = RandomImage(0xB8000, 5);
    TempFile file(image);
    int length = 0, crc = 0;
    ASSERT_EQ(ORVUpdateFPGALoadFile(file.Path(), &length, &crc), 0);
    EXPECT_EQ(length, 0xB8000);
    EXPECT_EQ(static_cast<uint32_t>(crc), nvsemu::FpgaUpgrade::Crc32(image.data(), image.size()));

    ASSERT_EQ(Upgrade(), 0);

    size_t packets = 0;
    std::vector<std::pair<int, uint32_t>> lastFlags;
    std::vector<std::string> violations;
    fw_->WithFpgaUpgrade([&](nvsemu::FpgaUpgrade& f) {
        size_t at = 0;
        for (int e = 0; e < 3; ++e) {
            EXPECT_TRUE(f.Sector(e) == Bytes(image.begin() + static_cast<long>(at),
                                             image.begin() + static_cast<long>(at + f.SectorSize(e))))
                << "sector " << e;
            at += f.SectorSize(e);
        }
        packets = f.DataPackets();
        lastFlags = f.LastFlags();
        violations = f.Violations();
        EXPECT_FALSE(f.InUpgradeMode());
    });
    EXPECT_EQ(packets, 23552u);
    EXPECT_EQ(lastFlags, (std::vector<std::pair<int, uint32_t>>{{0, 0x33FE0}, {1, 0x27FE0}, {2, 0x5BFE0}}));
    EXPECT_TRUE(violations.empty()) << violations.front();
    EXPECT_EQ(fw_->Restarts(), 1u);

    const auto reports = ProgressLog::Reports();
    ASSERT_EQ(reports.size(), 4u + 23552u + 4u);
    EXPECT_EQ(std::vector<Report>(reports.begin(), reports.begin() + 4),
              (std::vector<Report>{{1, 0}, {1, 33}, {1, 66}, {1, 100}}));
    int previous = 0;
    for (size_t i = 4; i < 4 + 23552; ++i) {
        ASSERT_EQ(reports[i].first, 2) << i;
        EXPECT_GE(reports[i].second, previous) << i;
        previous = reports[i].second;
    }
    EXPECT_EQ(reports[4 + 6656], Report(2, 28));  // after the first chunk of sector 1
    EXPECT_EQ(std::vector<Report>(reports.end() - 4, reports.end()),
              (std::vector<Report>{{2, 100}, {4, 99}, {5, 100}, {6, 0}}));

    EXPECT_EQ(DeviceIsConnected(), 1);  // the found instrument's port stays open
    EXPECT_TRUE(ORVConnect(0, 20000));
}

TEST_F(UpdateTest, FpgaFailuresOnASmallFlash) {
    struct Case {
        const char* name;
        nvsemu::Profile profile;
        std::function<void(nvsemu::FpgaUpgrade&)> plan;
        int code;
    };
    const Case cases[] = {
        {"one refusal is resent", nvsemu::Profile::WithPpg2012Fpga(true),
         [](nvsemu::FpgaUpgrade& f) { f.RefuseData(3, 1); }, 0},
        {"never idle", nvsemu::Profile::WithPpg2012Fpga(true), [](nvsemu::FpgaUpgrade& f) { f.SetBusyPolls(~0u); }, 0},
        {"endless refusals", nvsemu::Profile::WithPpg2012Fpga(true), [](nvsemu::FpgaUpgrade& f) { f.RefuseData(9, 0); },
         -16},
        {"CRC mismatch", nvsemu::Profile::WithPpg2012Fpga(true), [](nvsemu::FpgaUpgrade& f) { f.CorruptCrc(0); }, -9},
        {"control refused", nvsemu::Profile::WithPpg2012Fpga(true),
         [](nvsemu::FpgaUpgrade& f) { f.RefuseControl(true); }, -15},
        {"dead FPGA", nvsemu::Profile::WithPpg2012Fpga(false), nullptr, -14},
        {"no FPGA", nvsemu::Profile::WithPpg2112(), nullptr, -14},
    };
    FPGASetConfigForTest(&kSmall);
    const Bytes image = RandomImage(0x1E0, 6);
    TempFile file(image);
    ASSERT_EQ(ORVUpdateFPGALoadFile(file.Path(), nullptr, nullptr), 0);
    TempFile otherFile(RandomImage(0x1E0, 60));
    s_loadPath = otherFile.Path();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgressLog::Clear();
        // A load from the upgrade's own callback would free the image it reads.
        ProgressLog::OnReport(LoadOnFirstErase);
        Plug(c.profile);
        fw_->SetFpgaGeometry({0x100, 0x80, 0x60});
        if (c.plan)
            fw_->WithFpgaUpgrade(c.plan);
        const size_t sleepsBefore = SeamSleeps().size();
        EXPECT_EQ(Upgrade(), c.code);
        // The upgrade's own failures end it without a result report.
        const auto reports = ProgressLog::Reports();
        const long results = std::count_if(reports.begin(), reports.end(), [](const Report& r) { return r.first == 6; });
        EXPECT_EQ(results, c.code == 0 ? 1 : 0);
        if (c.code == 0) {
            ASSERT_FALSE(reports.empty());
            EXPECT_EQ(reports.back(), Report(6, 0));
        }
        const auto data = SentWith(kData);
        const auto sleeps = SeamSleeps();
        const long resends = std::count(sleeps.begin() + static_cast<long>(sleepsBefore), sleeps.end(), 600u);
        const long polls = std::count(sleeps.begin() + static_cast<long>(sleepsBefore), sleeps.end(), 100u);
        if (c.code != -14) {
            EXPECT_EQ(s_loadDuringUpgrade, -2);
        }
        s_loadDuringUpgrade = 1;
        if (std::string(c.name) == "never idle") {
            EXPECT_EQ(polls, 3 * 9 + 3);  // ten polls an erase step, then the wait after each sector
            EXPECT_EQ(data.size(), 0x1E0u / 32);
        } else if (c.code == 0) {
            EXPECT_EQ(resends, 1);
            ASSERT_GT(data.size(), 4u);
            EXPECT_EQ(data[3], data[4]);  // the same packet again
            EXPECT_EQ(data.size(), 0x1E0u / 32 + 1);
        } else if (c.code == -16) {
            EXPECT_EQ(resends, 10);
            ASSERT_EQ(data.size(), 9u + 11u);
            EXPECT_TRUE(std::all_of(data.begin() + 9, data.end(), [&](const Bytes& d) { return d == data[9]; }));
        } else if (c.code == -9) {
            fw_->WithFpgaUpgrade([](nvsemu::FpgaUpgrade& f) {
                EXPECT_EQ(f.Sector(1), Bytes(0x80, 0xFF));  // later sectors untouched
                EXPECT_EQ(f.Sector(2), Bytes(0x60, 0xFF));
            });
            EXPECT_EQ(SentWith({0xB8, 0xFF, 0x01, 0x00, 0x03, 0x03}).size(), 0u);
        } else {
            EXPECT_TRUE(data.empty());
        }
        ORVFree();
        DeviceClose();
        emu_.Stop();
    }
}

TEST_F(UpdateTest, FpgaLoaderAndUpgradeRefuseBadInput) {
    Plug(nvsemu::Profile::WithPpg2012Fpga(true));
    EXPECT_EQ(Upgrade(), -2);  // no image loaded
    EXPECT_EQ(ProgressLog::Reports(), std::vector<Report>{Report(6, -2)});
    EXPECT_TRUE(emu_.Requests().empty());

    Bytes image = RandomImage(0xB8000 + 100, 7);  // longer than the image: the rest is ignored
    TempFile good(image);
    int length = -1, crc = -1;
    ASSERT_EQ(ORVUpdateFPGALoadFile(good.Path(), &length, &crc), 0);
    EXPECT_EQ(length, 0xB8000);
    const int goodCrc = crc;
    EXPECT_EQ(static_cast<uint32_t>(goodCrc), nvsemu::FpgaUpgrade::Crc32(image.data(), 0xB8000));

    TempFile shortFile(Bytes(0xB8000 - 1, 0));
    char missing[] = "/nonexistent/nvs-fpga.bin";
    char folder[] = "/tmp";
    struct Case {
        char* path;
        int code;
    } cases[] = {{nullptr, -2}, {missing, -17}, {folder, -17}, {shortFile.Path(), -17}};
    for (const Case& c : cases) {
        length = crc = 12345;
        EXPECT_EQ(ORVUpdateFPGALoadFile(c.path, &length, &crc), c.code) << (c.path ? c.path : "null");
        EXPECT_EQ(length, 12345);
    }
    EXPECT_EQ(ORVUpdateFPGALoadFile(good.Path(), nullptr, nullptr), 0);  // null outputs
    // The kept image is still the good one: a reload of nothing changes nothing.
    EXPECT_EQ(FPGAImageCrc(g_pFPGAData, g_nFPGADataSize), static_cast<uint32_t>(goodCrc));
}
