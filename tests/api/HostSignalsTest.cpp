// A host's own SIGCHLD handling: a handler that reaps every child (waitpid(-1)) and lets
// system calls be interrupted (no SA_RESTART), or SIGCHLD ignored. Meanwhile the host
// keeps starting children and the signal reaches every thread of the process, the
// library's included. The library connects, talks, outputs, plays and stops as for any
// other host.
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
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
// handling reaps it) and sends SIGCHLD to every thread of the process.
class ChildStorm {
public:
    ChildStorm()
        : thread_([this] {
              while (!stop_.load()) {
                  pid_t child;
                  const char* argv[] = {"true", nullptr};
                  if (posix_spawn(&child, "/bin/true", nullptr, nullptr, const_cast<char**>(argv), environ) == 0)
                      spawned_.fetch_add(1);
                  SignalEveryThread();
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));  // the storm's pace
              }
          }) {}
    ~ChildStorm() {
        stop_.store(true);
        thread_.join();
    }
    int Spawned() const { return spawned_.load(); }

private:
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

    std::atomic<bool> stop_{false};
    std::atomic<int> spawned_{0};
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
