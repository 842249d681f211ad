// The host's descriptors and child processes: a host that already holds thousands of
// open files connects, talks, outputs, plays and reconnects as any other (the port's number is
// then far above what select() can take), and a child process the host starts while
// connected holds neither the port nor its lock file.
#include <atomic>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "api/Connection.h"
#include "platform/Device.h"
#include "playback/PlayControl.h"

extern char** environ;

namespace {

using nvsemu::Profile;

// Holds `count` descriptors of /dev/null, the soft limit on open files raised to the
// hard limit for them; gives both back when destroyed.
class HeldDescriptors {
public:
    explicit HeldDescriptors(int count) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit raised = saved_;
        raised.rlim_cur = raised.rlim_max;
        setrlimit(RLIMIT_NOFILE, &raised);
        for (int i = 0; i < count; ++i) {
            const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                break;
            fds_.push_back(fd);
        }
    }
    ~HeldDescriptors() {
        for (int fd : fds_)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    HeldDescriptors(const HeldDescriptors&) = delete;
    HeldDescriptors& operator=(const HeldDescriptors&) = delete;
    size_t size() const { return fds_.size(); }

private:
    rlimit saved_{};
    std::vector<int> fds_;
};

std::atomic<int> g_samples{0};
std::atomic<bool> g_endMarker{false};

void CountSamples(double, int ac, int dc) {
    if (ac == INT_MIN && dc == INT_MIN)
        g_endMarker = true;
    else
        ++g_samples;
}

ECG_WAVEFORM EcgSine() {
    ECG_WAVEFORM e = {};
    e.nWaveformType = 0;
    e.fFrequency = 1.0;
    e.fAmplitude = 2.0;
    e.nRRInterval = 1000;
    e.nPRInterval = 160;
    e.nQRSWidth = 100;
    e.nQTInterval = 400;
    e.nPacingRate = 60;
    e.fSampleRateKHz = 1.0;
    return e;
}

// A pulse-group round trip: a request and its reply on the port.
void ExpectExchange() {
    PPG_LED_PULSE_GROUP_SETTING written = {{2, 4, 1, 0, 0, 0, 0, 0}, 1234};
    ASSERT_TRUE(ORVWriteLEDPulseGroupSetting(&written));
    PPG_LED_PULSE_GROUP_SETTING read = {};
    ASSERT_TRUE(ORVReadLEDPulseGroupSetting(&read));
    EXPECT_EQ(0, memcmp(&read, &written, sizeof read));
}

class ApiHostDescriptors : public ApiTest {};

TEST_F(ApiHostDescriptors, AHostHoldingFourThousandFilesConnectsTalksOutputsPlaysAndReconnects) {
    // Held before the emulator starts, so that its descriptors, which an unplug frees, are
    // high too: no low one ever comes free for the reopened port to take.
    InstallPlaybackEngineHooks();  // the state reset leaves the common stop without the engine
    HeldDescriptors held(4000);
    if (held.size() < 4000)
        GTEST_SKIP() << "the hard limit on open files leaves room for only " << held.size();
    Plug(Profile::WithPpgYB2001(), 0);
    ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(0)));  // the emulator's unplug and replug move the node

    ListenerLog& log = ListenerLog::Instance();
    const unsigned loaded = ConnectionLoadCount() + 1;
    ASSERT_TRUE(ORVInit(ListenerLog::Listener));
    ASSERT_TRUE(log.WaitFor(1, 20000));
    ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() >= loaded; }, 20000));
    EXPECT_GE(g_hDevice.load(), static_cast<PORT_HANDLE>(FD_SETSIZE));  // beyond select()'s reach
    ExpectExchange();

    g_samples = 0;
    g_endMarker = false;
    ECG_WAVEFORM ecg = EcgSine();
    ASSERT_TRUE(ORVOutputECG(&ecg, CountSamples));
    EXPECT_FALSE(Fw().RawPoints(0).empty());  // the period went out on the port
    ASSERT_TRUE(WaitUntil([] { return g_samples.load() >= 200; }, 10000));
    ORVStopOutputWaveform();
    EXPECT_TRUE(g_endMarker.load());

    // A playback streams on the same high port.
    g_endMarker = false;
    ASSERT_TRUE(ORVPlayECG(&ecg, CountSamples));
    EXPECT_TRUE(Fw().WaitForPacketsPlayed(100, 20000));
    ORVStopPlayRawData();
    EXPECT_TRUE(WaitUntil([] { return g_endMarker.load(); }, 10000));

    // Unplugged and plugged back while the files are still held.
    emu_.Unplug();
    ASSERT_TRUE(log.WaitFor(2, 15000));
    ASSERT_TRUE(emu_.Replug());
    ASSERT_TRUE(log.WaitFor(3, 20000));
    EXPECT_EQ(log.Events(), (std::vector<bool>{true, false, true}));
    ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() > loaded; }, 20000));
    EXPECT_GE(g_hDevice.load(), static_cast<PORT_HANDLE>(FD_SETSIZE));
    ExpectExchange();
    ORVFree();
}

// Runs script with /bin/sh in a child process and returns its exit status (-1 when it
// could not be run).
int RunShell(const std::string& script) {
    const char* argv[] = {"sh", "-c", script.c_str(), nullptr};
    pid_t child;
    if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ApiHostDescriptors, AChildStartedWhileConnectedHoldsNeitherThePortNorItsLockFile) {
    Plug(Profile::WithPpgYB2001(), 0);
    ASSERT_TRUE(Connect());
    const int port = static_cast<int>(g_hDevice.load());
    const int lock = g_nLockFile;
    ASSERT_GE(port, 0);
    ASSERT_GE(lock, 0);
    EXPECT_TRUE(fcntl(port, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(lock, F_GETFD) & FD_CLOEXEC);

    // The child looks at its own descriptors; one that the test leaves inheritable shows
    // that it would see an inherited one.
    const int inherited = open("/dev/null", O_RDONLY);
    ASSERT_GE(inherited, 0);
    const auto present = [](int fd) { return "[ -e /proc/self/fd/" + std::to_string(fd) + " ]"; };
    const std::string script =
        present(inherited) + " || exit 3; " + present(port) + " && exit 1; " + present(lock) + " && exit 2; exit 0";
    const int status = RunShell(script);
    close(inherited);
    EXPECT_EQ(0, status) << "1: the port was inherited, 2: the lock file, 3: no descriptor seen at all";
}

}  // namespace
