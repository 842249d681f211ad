// The nvs-emulator program's options: parsing as data, then what the fault options do
// to the instrument behind a pty.
#include "CommandLine.h"
#include "Emulator.h"
#include "Firmware.h"
#include "SlaveClient.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;
using Args = std::vector<std::string>;

constexpr unsigned kWaitMs = 2000;
constexpr unsigned kQuietMs = 150;

TEST(CommandLine, HeaderBytesInHex) {
    struct Case {
        std::string text;
        bool ok;
        Bytes bytes;
    } cases[] = {
        {"12", true, {0x12}},
        {"55,00", true, {0x55, 0x00}},
        {"0xCC,0x00,0x14", true, {0xCC, 0x00, 0x14}},
        {"cc0014", true, {0xCC, 0x00, 0x14}},
        {"a,B", true, {0x0A, 0x0B}},
        {"ad,01", true, {0xAD, 0x01}},
        {"", false, {}},
        {",", false, {}},
        {"12,", false, {}},
        {",12", false, {}},
        {"zz", false, {}},
        {"123", false, {}},
        {"0x", false, {}},
        {"12 34", false, {}},
        {"-1", false, {}},
        {std::string(130, 'f'), false, {}},  // 65 bytes: longer than any request
    };
    for (const Case& c : cases) {
        Bytes got = {0xEE};
        EXPECT_EQ(ParseHeader(c.text, got), c.ok) << '"' << c.text << '"';
        if (c.ok) {
            EXPECT_EQ(got, c.bytes) << '"' << c.text << '"';
        }
    }
}

TEST(CommandLine, EveryOptionWithItsValue) {
    const Args separate = {"--profile",  "xj",       "--link",  "/tmp/ttyACM0",   "-v",
                           "--silent",   "--refuse", "12",      "--drop",         "55,00",
                           "--drop",     "ad",       "--delay", "12:300",         "--delay",
                           "cc,00,14:0", "--refuse", "cc0010",  "--unplug-after", "5",
                           "--minimal-echo"};
    const Args joined = {"--profile=xj",       "--link=/tmp/ttyACM0", "--verbose",       "--silent",
                         "--refuse=12",        "--drop=55,00",        "--drop=ad",       "--delay=12:300",
                         "--delay=cc,00,14:0", "--refuse=cc0010",     "--unplug-after=5", "--minimal-echo"};
    for (const Args& args : {separate, joined}) {
        CommandLine line;
        std::string error;
        ASSERT_TRUE(ParseCommandLine(args, line, error)) << error;
        EXPECT_EQ(line.profile, "xj");
        EXPECT_EQ(line.link, "/tmp/ttyACM0");
        EXPECT_TRUE(line.verbose);
        EXPECT_TRUE(line.silent);
        EXPECT_FALSE(line.help);
        EXPECT_EQ(line.refuse, (std::vector<Bytes>{{0x12}, {0xCC, 0x00, 0x10}}));
        EXPECT_EQ(line.drop, (std::vector<Bytes>{{0x55, 0x00}, {0xAD}}));
        EXPECT_EQ(line.delay, (std::vector<HeaderDelay>{{{0x12}, 300}, {{0xCC, 0x00, 0x14}, 0}}));
        EXPECT_EQ(line.unplugAfter, std::optional<size_t>(5));
        EXPECT_TRUE(line.minimalEcho);
    }

    CommandLine plain;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({}, plain, error));
    EXPECT_TRUE(plain.profile.empty());
    EXPECT_TRUE(plain.link.empty());
    EXPECT_FALSE(plain.silent);
    EXPECT_FALSE(plain.minimalEcho);
    EXPECT_TRUE(plain.refuse.empty() && plain.drop.empty() && plain.delay.empty());
    EXPECT_FALSE(plain.unplugAfter.has_value());
    ASSERT_TRUE(ParseCommandLine({"--unplug-after", "0", "-h"}, plain, error));
    EXPECT_EQ(plain.unplugAfter, std::optional<size_t>(0));
    EXPECT_TRUE(plain.help);
}

TEST(CommandLine, MalformedOptionsAreRefusedByName) {
    struct Case {
        Args args;
        const char* named;  // the error names it
    } cases[] = {
        {{"--drop"}, "--drop"},
        {{"--drop", "zz"}, "--drop"},
        {{"--refuse", "12,"}, "--refuse"},
        {{"--delay", "12"}, "--delay"},
        {{"--delay", "12:"}, "--delay"},
        {{"--delay", ":300"}, "--delay"},
        {{"--delay", "12:abc"}, "--delay"},
        {{"--delay", "12:-5"}, "--delay"},
        {{"--delay", "12:600001"}, "--delay"},
        {{"--unplug-after", "-1"}, "--unplug-after"},
        {{"--unplug-after", "2x"}, "--unplug-after"},
        {{"--unplug-after", "99999999999"}, "--unplug-after"},
        {{"--unplug-after"}, "--unplug-after"},
        {{"--silent=1"}, "--silent"},
        {{"--link", ""}, "--link"},
        {{"--profile"}, "--profile"},
        {{"--bogus"}, "--bogus"},
        {{"12"}, "12"},
    };
    for (const Case& c : cases) {
        CommandLine line;
        line.link = "kept";
        std::string error;
        EXPECT_FALSE(ParseCommandLine(c.args, line, error)) << c.args[0];
        EXPECT_NE(error.find(c.named), std::string::npos) << error;
        EXPECT_EQ(line.link, "kept");  // nothing half-parsed is handed out
    }
}

TEST(CommandLine, HelpNamesEveryOptionAndTheSignal) {
    const std::string help = UsageText("nvs-emulator");
    for (const char* word :
         {"--profile", "--link", "--silent", "--refuse", "--drop", "--delay", "--unplug-after", "--stream-buffer",
          "--stream-ppm", "--stream-drop-on-end", "SIGUSR1", "SIGTERM", Profile::DefaultName()})
        EXPECT_NE(help.find(word), std::string::npos) << word;
}

TEST(CommandLine, StreamOptions) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({}, line, error));
    EXPECT_EQ(line.stream.bufferPackets, 100u);
    EXPECT_EQ(line.stream.clockPpm, 0.0);
    EXPECT_FALSE(line.stream.dropOnEnd);
    ASSERT_TRUE(ParseCommandLine({"--stream-buffer", "120", "--stream-ppm=-100", "--stream-drop-on-end"}, line, error))
        << error;
    EXPECT_EQ(line.stream.bufferPackets, 120u);
    EXPECT_EQ(line.stream.clockPpm, -100.0);
    EXPECT_TRUE(line.stream.dropOnEnd);
    ASSERT_TRUE(ParseCommandLine({"--stream-ppm", "+12.5"}, line, error)) << error;
    EXPECT_EQ(line.stream.clockPpm, 12.5);

    auto firmware = std::make_shared<Firmware>();
    line.stream.bufferPackets = 7;
    ApplyStreamOptions(line, *firmware);
    EXPECT_EQ(firmware->GetStreamOptions().bufferPackets, 7u);
    EXPECT_EQ(firmware->GetStreamOptions().clockPpm, 12.5);

    for (const Args& bad : std::vector<Args>{{"--stream-buffer", "0"},
                                             {"--stream-buffer", "65536"},
                                             {"--stream-buffer", "-1"},
                                             {"--stream-ppm", "1e3"},
                                             {"--stream-ppm", "100001"},
                                             {"--stream-ppm", "-"},
                                             {"--stream-ppm", "1.2.3"},
                                             {"--stream-ppm"},
                                             {"--stream-drop-on-end=1"}}) {
        EXPECT_FALSE(ParseCommandLine(bad, line, error)) << bad[0];
        EXPECT_NE(error.find(bad[0].substr(0, bad[0].find('='))), std::string::npos) << error;
    }
}

// The options on the instrument: refused (byte 3 0x00), dropped, late, and gone after
// the given number of requests.
TEST(CommandLine, FaultOptionsActOnTheInstrument) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(
        {"--refuse", "cc,00,10", "--drop", "55,00", "--delay", "aa:150", "--unplug-after", "3"}, line, error))
        << error;
    auto firmware = std::make_shared<Firmware>();
    Emulator emulator;
    emulator.SetResponder(firmware);
    PlanFaults(line, emulator, *firmware);
    ASSERT_TRUE(emulator.Start());
    SlaveClient client(emulator.SlavePath());
    ASSERT_TRUE(client.IsOpen());

    const Bytes selection = {0xCC, 0x00, 0x10, 0x00, 0x00};
    const Bytes revision = {0xAA, 0x03};
    Bytes refused = Firmware().Answer(selection).at(0).bytes;
    ASSERT_EQ(refused.at(3), 0xFF);
    refused[3] = 0x00;
    ASSERT_EQ(client.Write(selection), 5);
    EXPECT_EQ(client.ReadOnce(kWaitMs), refused);

    ASSERT_EQ(client.Write({0x55, 0x00, 0x00}), 3);
    EXPECT_TRUE(client.ReadOnce(kQuietMs).empty());

    const uint64_t sent = NowUs();
    ASSERT_EQ(client.Write(revision), 2);
    EXPECT_EQ(client.ReadOnce(kWaitMs), Firmware().Answer(revision).at(0).bytes);
    const uint64_t elapsedMs = (NowUs() - sent) / 1000;
    EXPECT_GE(elapsedMs, 145u);
    EXPECT_LT(elapsedMs, kWaitMs);

    ASSERT_EQ(client.Write(revision), 2);  // the fourth request: the instrument vanishes
    EXPECT_TRUE(client.ReadOnce(kWaitMs).empty());
    EXPECT_TRUE(client.LastRead() == 0 || client.LastErrno() == EIO);
    EXPECT_FALSE(emulator.Plugged());
    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { emulator.Stop(); }));
}

}  // namespace
}  // namespace nvsemu
