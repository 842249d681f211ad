// The emulator's own descriptors: none leaks into programs the host process starts,
// and none is beyond its waits when the process already holds thousands.
#include "Emulator.h"
#include "SlaveClient.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/select.h>
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

std::set<int> OpenDescriptors() {
    std::set<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return fds;
    const int own = dirfd(dir);
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const int fd = std::stoi(e->d_name);
        if (fd != own)
            fds.insert(fd);
    }
    closedir(dir);
    return fds;
}

// Descriptors opened since `before` that a started program would inherit.
std::vector<int> InheritableSince(const std::set<int>& before) {
    std::vector<int> leaks;
    for (const int fd : OpenDescriptors()) {
        const int flags = fcntl(fd, F_GETFD);
        if (before.count(fd) == 0 && flags >= 0 && (flags & FD_CLOEXEC) == 0)
            leaks.push_back(fd);
    }
    return leaks;
}

TEST(EmulatorDescriptors, EveryDescriptorIsCloseOnExec) {
    const std::set<int> before = OpenDescriptors();
    Emulator emulator;
    ASSERT_TRUE(emulator.Start());
    EXPECT_EQ(InheritableSince(before), std::vector<int>{}) << "after Start";
    ASSERT_TRUE(emulator.Replug());
    EXPECT_EQ(InheritableSince(before), std::vector<int>{}) << "after Replug";
    ASSERT_TRUE(emulator.HangUp(0));
    ASSERT_TRUE(emulator.WaitForPlugged(true, kWaitMs));
    EXPECT_EQ(InheritableSince(before), std::vector<int>{}) << "after a hang-up";
    EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { emulator.Stop(); }));
}

// A process that holds more descriptors than select() can name: the emulator's are
// numbered beyond that limit and must still be served.
TEST(EmulatorDescriptors, ServesDescriptorsBeyondTheSelectLimit) {
    constexpr int kHeld = FD_SETSIZE + 200;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_cur < static_cast<rlim_t>(kHeld) + 64) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(kHeld) + 64);
        setrlimit(RLIMIT_NOFILE, &limit);
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
        if (limit.rlim_cur < static_cast<rlim_t>(kHeld) + 64)
            GTEST_SKIP() << "descriptor limit " << limit.rlim_cur << " is below " << kHeld;
    }
    std::vector<int> held;
    while (held.empty() || held.back() < kHeld) {
        const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        held.push_back(fd);
    }
    {
        Emulator emulator;
        ASSERT_TRUE(emulator.Start());
        emulator.SetResponder([](const Request& r) { return std::vector<Reply>{{Accepted(r.bytes), 0}}; });
        EXPECT_GT(emulator.MasterFd(), FD_SETSIZE);
        SlaveClient client(emulator.SlavePath());
        ASSERT_TRUE(client.IsOpen());
        ASSERT_EQ(client.Write(kPresence), 4);
        EXPECT_EQ(client.ReadOnce(kWaitMs), Accepted(kPresence));
        ASSERT_TRUE(emulator.HangUp(0));
        ASSERT_TRUE(emulator.WaitForPlugged(true, kWaitMs));
        SlaveClient fresh(emulator.SlavePath());
        ASSERT_EQ(fresh.Write(kPresence), 4);
        EXPECT_EQ(fresh.ReadOnce(kWaitMs), Accepted(kPresence));
        EXPECT_TRUE(FinishesWithin(kWaitMs, [&] { emulator.Stop(); }));
    }
    for (const int fd : held)
        close(fd);
}

}  // namespace
}  // namespace nvsemu
