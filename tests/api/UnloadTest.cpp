// Unloading the built shared library without ORVFree, in every state, by a host program
// in a child process (a crash ends the child, not this suite): the child survives the
// unload, no thread of the library is left, and a second load connects again. The
// emulator runs here, on /dev/ttyACM126 where the shipped library looks; needs root.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <spawn.h>
#include <algorithm>
#include <string>
#include <vector>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "Emulator.h"
#include "Firmware.h"
#include "LinkSandbox.h"

extern char** environ;

namespace {

constexpr int kPort = 126;

std::string Node() { return "/dev/ttyACM" + std::to_string(kPort); }
std::string LockFile() { return "/var/lock/orvane.ACM" + std::to_string(kPort) + ".lock"; }

// Runs the host program; its wait status, or -1 when it had to be killed at the deadline.
int RunHost(const std::string& state, unsigned deadlineMs) {
    const std::string port = std::to_string(kPort);
    // The runner's words ('|'-separated; empty on a native build), then the host program.
    std::vector<std::string> words;
    const std::string runner = NVS_UNLOAD_RUNNER;
    for (size_t at = 0; !runner.empty() && at <= runner.size();) {
        const size_t bar = std::min(runner.find('|', at), runner.size());
        words.push_back(runner.substr(at, bar - at));
        at = bar + 1;
    }
    for (const char* word : {NVS_UNLOAD_HOST, NVS_SHARED_LIBRARY, state.c_str(), port.c_str()}) {
        words.emplace_back(word);
    }
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(w.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        ADD_FAILURE() << "cannot start " << NVS_UNLOAD_HOST;
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    int status = 0;
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return status;
        }
        if (r < 0 && errno != EINTR) {
            ADD_FAILURE() << "waitpid: " << strerror(errno);
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class UnloadWithoutFree : public ::testing::TestWithParam<const char*> {
protected:
    ShippedPathsLock shippedPaths_;  // first: held for the whole test

    void SetUp() override {
        NVS_SKIP_UNLESS_LINUX("the shipped Linux paths /dev/ttyACM<N> and /var/lock");
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root for /dev/ttyACM<N> and /var/lock";
        }
        fw_ = std::make_shared<nvsemu::Firmware>(
            WithMainIdentity(nvsemu::Profile::WithPpgYB2001(), 0x2001, 0, 4243, 2, 1));
        ASSERT_TRUE(emu_.Start());
        emu_.SetResponder(fw_);
        ASSERT_TRUE(emu_.LinkAs(Node()));
    }

    void TearDown() override {
        emu_.Stop();
        unlink(Node().c_str());
        unlink(LockFile().c_str());
    }

    std::shared_ptr<nvsemu::Firmware> fw_;
    nvsemu::Emulator emu_;
};

TEST_P(UnloadWithoutFree, HostSurvivesNoThreadIsLeftAndASecondLoadConnects) {
    const int status = RunHost(GetParam(), 60000);
    ASSERT_NE(status, -1) << "the host program hung";
    ASSERT_FALSE(WIFSIGNALED(status)) << "the host program died of signal " << WTERMSIG(status) << " ("
                                      << strsignal(WTERMSIG(status)) << ")";
    ASSERT_TRUE(WIFEXITED(status));
    // 3: state not reached, 4: still loaded, 5: threads left, 6: no second connection.
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_NE(0, access(LockFile().c_str(), F_OK)) << "the port's lock file outlived the unload";
}

INSTANTIATE_TEST_SUITE_P(EveryState, UnloadWithoutFree,
                         ::testing::Values("idle", "init", "connected", "output", "playback"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
