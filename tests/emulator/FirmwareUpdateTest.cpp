// The instrument's side of the firmware updates: the restart after 0xDD, program memory
// with a flipped byte, and the FPGA's upgrade interface with its violation log.
#include "Emulator.h"
#include "Firmware.h"
#include "FpgaUpgrade.h"
#include "SlaveClient.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Data(uint32_t offset, int length, uint8_t last, uint8_t fill = 0x5A) {
    Bytes p(64, 0);
    p[0] = 0xB8;
    p[1] = 0xFF;
    p[2] = 0x03;
    p[4] = static_cast<uint8_t>(length);
    p[5] = static_cast<uint8_t>(offset >> 16);
    p[6] = static_cast<uint8_t>(offset >> 8);
    p[7] = static_cast<uint8_t>(offset);
    p[8] = last;
    for (int i = 0; i < length; ++i)
        p[16 + static_cast<size_t>(i)] = fill;
    return p;
}

const Bytes kEnter = {0xB8, 0xFF, 0x00, 0x00, 0x01};
const Bytes kLeave = {0xB8, 0xFF, 0x00, 0x00, 0x00};
const Bytes kStatus = {0xB8, 0x00, 0x02, 0x00, 0x00, 0x00};
Bytes Control(uint8_t mode, uint8_t sector) { return {0xB8, 0xFF, 0x01, 0x00, mode, sector}; }

std::string LinkTarget(const std::string& link) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

TEST(FpgaUpgradeModel, WritesSectorsReportsCrcAndLogsViolations) {
    FpgaUpgrade f({64, 32, 32});
    bool left = false;
    EXPECT_EQ(f.Answer(Data(0, 32, 0), true, &left)[3], 0x00);  // outside upgrade mode
    ASSERT_EQ(f.Violations().size(), 1u);
    EXPECT_EQ(f.Answer(kEnter, false, &left)[3], 0x00);  // no FPGA that takes upgrades
    ASSERT_EQ(f.Answer(kEnter, true, &left)[3], 0xFF);

    f.SetBusyPolls(1);
    EXPECT_EQ(f.Answer(Control(1, 2), true, &left)[3], 0xFF);
    EXPECT_EQ(f.Answer(Control(1, 5), true, &left)[3], 0x00);  // no sector 5
    EXPECT_EQ(f.Answer(kStatus, true, &left)[4], 0x00);        // busy after the erase
    EXPECT_EQ(f.Answer(kStatus, true, &left)[4], 0x80);
    ASSERT_EQ(f.Answer(Control(3, 2), true, &left)[3], 0xFF);

    f.RefuseData(2, 1);  // packets are counted from the one refused outside upgrade mode
    EXPECT_EQ(f.Answer(Data(0, 32, 0x00, 0x11), true, &left)[3], 0xFF);
    EXPECT_EQ(f.Answer(Data(32, 32, 0xFF, 0x22), true, &left)[3], 0x00);  // refused, not written
    EXPECT_EQ(f.Sector(0)[32], 0xFF);
    const Bytes reply = f.Answer(Data(32, 32, 0xFF, 0x22), true, &left);
    EXPECT_EQ(reply.size(), 64u);
    EXPECT_EQ(reply[0], 0xB8);
    EXPECT_EQ(reply[3], 0xFF);
    Bytes sector(64, 0x11);
    std::fill(sector.begin() + 32, sector.end(), 0x22);
    EXPECT_EQ(f.Sector(0), sector);
    const Bytes status = f.Answer(kStatus, true, &left);
    const uint32_t crc = FpgaUpgrade::Crc32(sector.data(), sector.size());
    EXPECT_EQ(Bytes(status.begin() + 8, status.begin() + 12),
              (Bytes{uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)}));
    EXPECT_EQ(f.Violations().size(), 1u);

    // Violations: a skipped offset, a wrong last flag, padding not zero.
    ASSERT_EQ(f.Answer(Control(3, 3), true, &left)[3], 0xFF);
    Bytes padded = Data(0, 16, 0xFF);
    padded[40] = 1;
    f.Answer(padded, true, &left);
    f.Answer(Data(20, 8, 0x00), true, &left);
    EXPECT_EQ(f.Violations().size(), 1u + 1u + 2u);
    EXPECT_FALSE(left);
    f.Answer(kLeave, true, &left);
    EXPECT_TRUE(left);
    EXPECT_FALSE(f.InUpgradeMode());

    f.CorruptCrc(1);
    f.Answer(kEnter, true, &left);
    f.Answer(Control(3, 3), true, &left);
    f.Answer(Data(0, 32, 0xFF), true, &left);
    const Bytes bad = f.Answer(kStatus, true, &left);
    Bytes written(32, 0x5A);
    const uint32_t good = FpgaUpgrade::Crc32(written.data(), 32);  // AND-ed into 0x5A: flash
    EXPECT_NE(Bytes(bad.begin() + 8, bad.begin() + 12),
              (Bytes{uint8_t(good >> 24), uint8_t(good >> 16), uint8_t(good >> 8), uint8_t(good)}));
}

TEST(FirmwareUpdate, FpgaUpgradeOnlyOnALiveFpga) {
    struct Case {
        Profile profile;
        uint8_t status;
    } cases[] = {{Profile::WithPpg2012Fpga(true), 0xFF},
                 {Profile::WithPpg2012Fpga(false), 0x00},
                 {Profile::WithPpg2112(), 0x00},
                 {Profile::MainUnit4031(), 0x00}};
    for (const Case& c : cases) {
        Firmware fw(c.profile);
        const auto replies = fw.Answer(kEnter);
        ASSERT_EQ(replies.size(), 1u) << c.profile.name;
        EXPECT_EQ(replies[0].bytes.size(), 64u);
        EXPECT_EQ(replies[0].bytes[0], 0xB8);
        EXPECT_EQ(replies[0].bytes[3], c.status) << c.profile.name;
    }
}

TEST(FirmwareUpdate, AFlippedProgramByteReadsBackWrong) {
    Firmware fw;
    fw.FlipProgramByte(0x105);
    Bytes write = {0x12, 0x55, 0xAA, 0xFF, 0x00, 0x03, 0x00, 16, 0x00, 0x00, 0x01, 0x00};
    write.resize(64, 0);
    for (size_t i = 0; i < 16; ++i)
        write[16 + i] = static_cast<uint8_t>(0x40 + i);
    fw.Erase(0x03);
    ASSERT_EQ(fw.Answer(write)[0].bytes[4], 0xFF);
    Bytes want(write.begin() + 16, write.begin() + 32);
    want[5] ^= 0x01;
    EXPECT_EQ(fw.MemoryAt(0x03, 0x100, 16), want);
    ASSERT_EQ(fw.Answer(write)[0].bytes[4], 0xFF);  // once only: a rewrite cannot set the bit again
    EXPECT_EQ(fw.MemoryAt(0x03, 0x100, 16), want);
}

TEST(FirmwareUpdate, RestartVanishesAndReturnsElsewhereKeepingMemory) {
    char dir[] = "/tmp/nvsemu-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string first = std::string(dir) + "/ttyACM120";
    const std::string second = std::string(dir) + "/ttyACM121";
    auto fw = std::make_shared<Firmware>();
    Emulator emu;
    ASSERT_TRUE(emu.Start());
    emu.SetResponder(fw);
    fw->SetRestartHandler([&emu] { emu.Restart(); });
    emu.SetRestartPlan({5, 50, second});
    ASSERT_TRUE(emu.LinkAs(first));
    ASSERT_TRUE(fw->SetMemory(0x03, 0x10, {1, 2, 3}));
    const auto block = fw->ControlBlock();
    auto changed = block;
    changed[0] = 0x7F;
    fw->SetControlBlock(changed);
    {
        SlaveClient client(first);
        ASSERT_TRUE(client.IsOpen());
        ASSERT_EQ(client.Write({0xDD}), 1);
        EXPECT_TRUE(emu.WaitForPlugged(false, 2000));
    }
    EXPECT_TRUE(emu.WaitForPlugged(true, 2000));
    EXPECT_EQ(LinkTarget(second), emu.SlavePath());
    EXPECT_TRUE(LinkTarget(first).empty());
    EXPECT_EQ(fw->Restarts(), 1u);
    EXPECT_EQ(fw->MemoryAt(0x03, 0x10, 3), (Bytes{1, 2, 3}));  // program memory survives
    EXPECT_EQ(fw->ControlBlock(), block);                      // volatile state back to power-up

    emu.SetRestartPlan({5, -1, ""});
    {
        SlaveClient client(second);
        ASSERT_EQ(client.Write({0xDD}), 1);
        EXPECT_TRUE(emu.WaitForPlugged(false, 2000));
    }
    EXPECT_FALSE(emu.WaitForPlugged(true, 300));  // never comes back
    emu.Stop();
    rmdir(dir);
}

}  // namespace
}  // namespace nvsemu
