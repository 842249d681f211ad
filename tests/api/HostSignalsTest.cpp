// A host's own SIGCHLD handling: a handler that reaps every child (waitpid(-1)) and lets
// system calls be interrupted (no SA_RESTART), or SIGCHLD ignored. Meanwhile the host
// keeps starting children and the signal reaches every thread of the process, the
// library's included. The library connects, talks, outputs, plays and stops as for any
// other host.
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "Pace.h"
#include "Watchdog.h"
#include "WaveformRecords.h"
#include "playback/PlayControl.h"

extern char** environ;

namespace {

std::atomic<int> g_reaped{0};

void ReapEveryChild(int) {
    const int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0)
        g_reaped.fetch_add(1);
    errno = saved;
}

// Until destroyed: starts /bin/true again and again (never waiting for it: the host's
// handling reaps it) and sends SIGCHLD to every thread of the process, every 2 ms.
//
// Under user-mode emulation (the cross presets' qemu) a child is started one in 25
// rounds, every 50 ms. There a spawn is a fork of the whole emulated process (qemu turns
// posix_spawn's vfork into fork), which holds up every thread of the test, the library's
// and the in-process emulator's alike, for the length of the fork, far past the reply
// time-outs at 500 forks a second; and now and then the forked copy deadlocks in the
// emulator before it runs /bin/true, keeping the test's output pipes open so that ctest
// waits out the time-out of a test that passed. The signals keep their full rate there,
// and a child still running when the storm ends is killed.
class ChildStorm {
public:
    ChildStorm()
        : spawnEvery_(PaceChecked() ? 1 : 25), thread_([this] {
              for (int round = 0; !stop_.load(); ++round) {
                  if (round % spawnEvery_ == 0) {
                      pid_t child;
                      const char* argv[] = {"true", nullptr};
                      if (posix_spawn(&child, "/bin/true", nullptr, nullptr, const_cast<char**>(argv), environ) == 0) {
                          spawned_.fetch_add(1);
                          children_.push_back(child);
                      }
                  }
                  SignalEveryThread();
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the storm's pace
              }
          }) {}
    ~ChildStorm() {
        stop_.store(true);
        thread_.join();
        // The host's handling reaps the children (or the kernel does, SIGCHLD ignored);
        // one that has not ended within 10 s is stuck before its exec.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (pid_t child : children_) {
            while (Running(child) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (Running(child))
                kill(child, SIGKILL);
        }
    }
    int Spawned() const { return spawned_.load(); }

private:
    // True while the child has not ended (a zombie has ended: its state is Z).
    static bool Running(pid_t child) {
        if (kill(child, 0) != 0)
            return false;
        char path[64];
        snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(child));
        FILE* stat = fopen(path, "r");
        if (stat == nullptr)
            return false;
        char state = '?';
        const int fields = fscanf(stat, "%*d %*s %c", &state);
        fclose(stat);
        return fields == 1 && state != 'Z' && state != 'X';
    }

    static void SignalEveryThread() {
        DIR* dir = opendir("/proc/self/task");
        if (dir == nullptr)
            return;
        while (const dirent* e = readdir(dir)) {
            if (e->d_name[0] != '.')
                syscall(SYS_tgkill, getpid(), atoi(e->d_name), SIGCHLD);
        }
        closedir(dir);
    }

    const int spawnEvery_;
    std::atomic<bool> stop_{false};
    std::atomic<int> spawned_{0};
    std::vector<pid_t> children_;  // the storm thread's until it is joined
    std::thread thread_;
};

std::atomic<int> g_samples{0};
std::atomic<int> g_markers{0};
void CountSamples(double, int ac, int dc) {
    if (ac == INT_MIN && dc == INT_MIN)
        g_markers.fetch_add(1);
    else
        g_samples.fetch_add(1);
}

struct Handling {
    const char* name;
    bool reap;  // true: the reaping handler; false: SIG_IGN
};

class HostSignals : public ApiTest, public ::testing::WithParamInterface<Handling> {
protected:
    void SetUp() override {
        NVS_SKIP_UNLESS_LINUX("signals sent to each thread through /proc/self/task");
        ApiTest::SetUp();
        InstallPlaybackEngineHooks();  // the state reset leaves the common stop without the engine
        struct sigaction action = {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_NOCLDSTOP;  // no SA_RESTART: the host's calls may be interrupted
        action.sa_handler = GetParam().reap ? ReapEveryChild : SIG_IGN;
        ASSERT_EQ(0, sigaction(SIGCHLD, &action, &saved_));
        installed_ = true;
    }
    void TearDown() override {
        ApiTest::TearDown();
        if (installed_) {
            sigaction(SIGCHLD, &saved_, nullptr);
            while (waitpid(-1, nullptr, WNOHANG) > 0) {
            }
        }
    }

    struct sigaction saved_ = {};
    bool installed_ = false;
};

TEST_P(HostSignals, ConnectsTalksOutputsPlaysAndStops) {
    Plug(nvsemu::Profile::WithPpgYB2001());
    g_reaped = 0;
    RunWithWatchdog(
        [&] {
            ChildStorm storm;
            ASSERT_TRUE(Connect());
            PPG_LED_PULSE_GROUP_SETTING written = {{2, 4, 1, 0, 0, 0, 0, 0}, 1234}, read = {};
            ASSERT_TRUE(ORVWriteLEDPulseGroupSetting(&written));
            ASSERT_TRUE(ORVReadLEDPulseGroupSetting(&read));
            EXPECT_EQ(0, memcmp(&read, &written, sizeof read));

            g_samples = 0;
            g_markers = 0;
            ECG_WAVEFORM ecg = records::EcgSine(1.0, 1.0);
            ASSERT_TRUE(ORVOutputECG(&ecg, CountSamples));
            ASSERT_TRUE(WaitUntil([] { return g_samples.load() >= 200; }, 20000));
            ORVStopOutputWaveform();
            EXPECT_EQ(g_markers.load(), 1);

            g_markers = 0;
            ASSERT_TRUE(ORVPlayECG(&ecg, CountSamples));
            EXPECT_TRUE(Fw().WaitForPacketsPlayed(100, 20000));
            ORVStopPlayRawData();
            EXPECT_TRUE(WaitUntil([] { return g_markers.load() == 1; }, 10000));
            ORVFree();
            EXPECT_GT(storm.Spawned(), 0);
        },
        120, GetParam().name);
    if (GetParam().reap) {
        EXPECT_GT(g_reaped.load(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryHandling, HostSignals,
                         ::testing::Values(Handling{"ReapingHandler", true}, Handling{"Ignored", false}),
                         [](const ::testing::TestParamInfo<Handling>& info) { return std::string(info.param.name); });

}  // namespace
