// Device nodes, unplugging and stopping: what the library sees of an instrument that
// vanishes from the listing, is pulled out, comes back, or whose emulator stops.
#include "Emulator.h"
#include "SlaveClient.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned kWaitMs = 2000;
const Bytes kPresence = {0xCC, 0x00, 0x14, 0x00};

Bytes Accepted(const Bytes& request) {
    Bytes reply = request;
    reply.resize(64, 0);
    reply[3] = 0xFF;
    return reply;
}

std::string LinkTarget(const std::string& link) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// What a host's read sees of a port whose master has closed: end of file, or, for a
// moment while the terminal hangs up, EIO.
::testing::AssertionResult ReadsAsGone(SlaveClient& client) {
    const Bytes got = client.ReadOnce(kWaitMs);
    if (!got.empty())
        return ::testing::AssertionFailure() << got.size() << " bytes read";
    if (client.LastRead() == 0 || (client.LastRead() < 0 && client.LastErrno() == EIO))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "read " << client.LastRead() << ", errno " << client.LastErrno();
}

// Device nodes go to a private directory: the /dev/ttyACM12x names belong to the
// library's own transport tests, which may run at the same time.
class EmulatorPlug : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/nvsemu-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        node_ = dir_ + "/ttyACM120";
        ASSERT_TRUE(emulator_.Start());
        emulator_.SetResponder([](const Request& r) { return std::vector<Reply>{{Accepted(r.bytes), 0}}; });
    }
    void TearDown() override {
        EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { emulator_.Stop(); }));
        unlink(node_.c_str());
        rmdir(dir_.c_str());
    }

    // One request and its reply through a client.
    static void ExpectAnswered(SlaveClient& client) {
        ASSERT_EQ(client.Write(kPresence), 4);
        EXPECT_EQ(client.ReadOnce(kWaitMs), Accepted(kPresence));
    }

    std::string dir_;
    std::string node_;
    Emulator emulator_;
};

TEST_F(EmulatorPlug, LinkNamesTheSlaveAndUnlinkLeavesThePortWorking) {
    ASSERT_TRUE(emulator_.LinkAs(node_));
    EXPECT_EQ(LinkTarget(node_), emulator_.SlavePath());
    SlaveClient client(node_);
    ASSERT_TRUE(client.IsOpen());
    ExpectAnswered(client);

    emulator_.Unlink();
    EXPECT_FALSE(Exists(node_));
    EXPECT_TRUE(emulator_.Plugged());
    ExpectAnswered(client);
}

TEST_F(EmulatorPlug, LinkReplacesAStaleLinkButNoOtherFile) {
    ASSERT_EQ(symlink("/dev/pts/does-not-exist", node_.c_str()), 0);
    ASSERT_TRUE(emulator_.LinkAs(node_));
    EXPECT_EQ(LinkTarget(node_), emulator_.SlavePath());

    const std::string file = dir_ + "/ttyACM121";
    const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_FALSE(emulator_.LinkAs(file));
    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    unlink(file.c_str());
}

// The library closes the port and opens it again (every scan does); the emulator's
// own slave descriptor keeps the master from seeing EIO in between.
TEST_F(EmulatorPlug, PortSurvivesTheHostClosingAndReopening) {
    {
        SlaveClient first(emulator_.SlavePath());
        ExpectAnswered(first);
    }
    SlaveClient second(emulator_.SlavePath());
    ASSERT_TRUE(second.IsOpen());
    ExpectAnswered(second);
    EXPECT_EQ(emulator_.Requests().size(), 2u);
}

TEST_F(EmulatorPlug, UnplugLooksLikeAPulledCableAndReplugComesBack) {
    ASSERT_TRUE(emulator_.LinkAs(node_));
    SlaveClient old(node_);
    ExpectAnswered(old);

    emulator_.Unplug();
    EXPECT_FALSE(emulator_.Plugged());
    EXPECT_FALSE(Exists(node_));
    EXPECT_EQ(emulator_.MasterFd(), -1);
    EXPECT_TRUE(ReadsAsGone(old));  // at once, and again
    EXPECT_TRUE(ReadsAsGone(old));
    EXPECT_EQ(old.Write(kPresence), -1);
    EXPECT_EQ(old.LastErrno(), EIO);
    EXPECT_FALSE(emulator_.Inject({0x01, 0x55}));

    ASSERT_TRUE(emulator_.Replug());
    EXPECT_TRUE(emulator_.Plugged());
    EXPECT_EQ(LinkTarget(node_), emulator_.SlavePath());
    SlaveClient fresh(node_);
    ASSERT_TRUE(fresh.IsOpen());
    ExpectAnswered(fresh);
    EXPECT_TRUE(ReadsAsGone(old));
}

// Unplugged at the fourth packet of a stream: the first three are answered, the
// fourth gets nothing but the end of the port.
TEST_F(EmulatorPlug, UnplugMidStream) {
    ASSERT_TRUE(emulator_.LinkAs(node_));
    emulator_.FaultOnRequest(3, Fault::Unplug());
    SlaveClient client(node_);
    for (uint8_t seq = 0; seq < 4; ++seq) {
        Bytes packet(64, 0);
        packet[0] = 0x01;
        packet[1] = 0x01;
        packet[5] = 0x38;
        packet[7] = seq;
        ASSERT_EQ(client.Write(packet), 64);
        if (seq < 3)
            EXPECT_EQ(client.ReadOnce(kWaitMs), Accepted(packet));
        else
            EXPECT_TRUE(ReadsAsGone(client));
    }
    EXPECT_EQ(emulator_.Requests().size(), 4u);
    EXPECT_FALSE(Exists(node_));
    EXPECT_FALSE(emulator_.Plugged());
}

// A host that writes and never reads fills its own input queue; the emulator then
// cannot write, and must still stop (and unplug) within a deadline.
TEST_F(EmulatorPlug, StopsWhileTheHostDoesNotRead) {
    ASSERT_TRUE(emulator_.LinkAs(node_));
    SlaveClient client(node_);
    Bytes packet(64, 0);
    packet[0] = 0x01;
    packet[1] = 0x01;
    constexpr size_t kPackets = 4000;  // 256 KB of replies, far beyond a pty's queue
    for (size_t i = 0; i < kPackets; ++i) {
        for (;;) {
            if (client.Write(packet) == 64)
                break;
            ASSERT_EQ(client.LastErrno(), EAGAIN);
            pollfd room{client.Fd(), POLLOUT, 0};  // the emulator reads on; wait for it
            ASSERT_EQ(poll(&room, 1, kWaitMs), 1);
        }
    }
    ASSERT_TRUE(emulator_.WaitForRequests(kPackets, 10 * kWaitMs));
    EXPECT_LT(emulator_.Written().size(), kPackets);  // replies are waiting for room
    EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { emulator_.Unplug(); }));
    EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { emulator_.Stop(); }));
    EXPECT_FALSE(Exists(node_));
}

TEST_F(EmulatorPlug, StopRemovesTheLinkAndStartOpensANewPort) {
    ASSERT_TRUE(emulator_.LinkAs(node_));
    EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { emulator_.Stop(); }));
    EXPECT_FALSE(Exists(node_));
    EXPECT_FALSE(emulator_.Running());
    EXPECT_TRUE(emulator_.SlavePath().empty());

    ASSERT_TRUE(emulator_.Start());
    EXPECT_TRUE(emulator_.Requests().empty());
    SlaveClient client(emulator_.SlavePath());
    ExpectAnswered(client);
}

bool IsLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A port that drops and comes back under the same name (a USB reset): the host's
// descriptor hangs up, the node stays, and after the delay the node leads to a new
// port served by the same firmware state.
TEST_F(EmulatorPlug, HangUpKeepsTheNodeAndComesBackUnderIt) {
    for (const unsigned backMs : {0u, 300u}) {
        SCOPED_TRACE(backMs);
        // The responder's state, kept across the hang-up.
        emulator_.SetResponder([answered = 0u](const Request& r) mutable {
            Bytes reply = Accepted(r.bytes);
            reply[4] = static_cast<uint8_t>(++answered);
            return std::vector<Reply>{{reply, 0}};
        });
        emulator_.ClearRequests();
        ASSERT_TRUE(emulator_.LinkAs(node_));
        SlaveClient old(node_);
        ASSERT_EQ(old.Write(kPresence), 4);
        EXPECT_EQ(old.ReadOnce(kWaitMs).at(4), 1);
        const std::string oldSlave = emulator_.SlavePath();

        const uint64_t hungUp = NowUs();
        ASSERT_TRUE(emulator_.HangUp(backMs));
        EXPECT_TRUE(ReadsAsGone(old));
        if (backMs > 0) {
            EXPECT_FALSE(emulator_.Plugged());
            EXPECT_TRUE(IsLink(node_));
            EXPECT_EQ(LinkTarget(node_), oldSlave);
        }
        ASSERT_TRUE(emulator_.WaitForPlugged(true, backMs + kWaitMs));
        const uint64_t backAfterMs = (NowUs() - hungUp) / 1000;
        EXPECT_GE(backAfterMs + 5, backMs);
        EXPECT_LT(backAfterMs, backMs + kWaitMs);
        EXPECT_EQ(LinkTarget(node_), emulator_.SlavePath());

        SlaveClient fresh(node_);
        ASSERT_TRUE(fresh.IsOpen());
        ASSERT_EQ(fresh.Write(kPresence), 4);
        EXPECT_EQ(fresh.ReadOnce(kWaitMs).at(4), 2);
        EXPECT_EQ(emulator_.Requests().size(), 2u);
        EXPECT_TRUE(ReadsAsGone(old));
    }
}

// Planned at a request: that request gets no reply but the hang-up.
TEST_F(EmulatorPlug, HangUpAtARequest) {
    ASSERT_TRUE(emulator_.LinkAs(node_));
    emulator_.FaultOnRequest(1, Fault::HangUp(100));
    SlaveClient old(node_);
    ExpectAnswered(old);
    ASSERT_EQ(old.Write(kPresence), 4);
    EXPECT_TRUE(ReadsAsGone(old));
    EXPECT_TRUE(IsLink(node_));
    ASSERT_TRUE(emulator_.WaitForPlugged(true, kWaitMs));
    SlaveClient fresh(node_);
    ExpectAnswered(fresh);
    EXPECT_EQ(emulator_.Written().size(), 2u);
}

// While the port is away, an unplug makes it stay away (and takes the node), and a
// stop removes the node a hang-up left.
TEST_F(EmulatorPlug, UnplugOrStopDuringAHangUp) {
    ASSERT_TRUE(emulator_.LinkAs(node_));
    ASSERT_TRUE(emulator_.HangUp(150));
    EXPECT_FALSE(emulator_.HangUp(150));  // nothing open to hang up
    emulator_.Unplug();
    EXPECT_FALSE(Exists(node_));
    EXPECT_FALSE(emulator_.WaitForPlugged(true, 400));
    EXPECT_FALSE(Exists(node_));

    ASSERT_TRUE(emulator_.Replug());
    EXPECT_EQ(LinkTarget(node_), emulator_.SlavePath());
    ASSERT_TRUE(emulator_.HangUp(10 * kWaitMs));
    EXPECT_TRUE(IsLink(node_));
    EXPECT_TRUE(FinishesWithin(kWaitMs, [this] { emulator_.Stop(); }));
    EXPECT_FALSE(Exists(node_));
}

}  // namespace
}  // namespace nvsemu
