// Two host processes and one instrument: processes that scan and connect at the same
// moment never hold the port together, and a holder killed outright leaves a lock that
// the next scan takes over. The competitors are separate programs (host/PortRaceHost.cpp)
// over this test's emulated instrument.
//
// NVS_PORT_RACE_ROUNDS sets the rounds of the race (a few by default, so that the suites
// stay quick; 200 for a long run by hand).
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ApiFixture.h"
#include "api/Connection.h"
#include "platform/Device.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using nvsemu::Profile;

constexpr unsigned kLong = 30000;  // ms: generous deadlines for conditions

// A competitor: its process and the read end of its standard output.
struct Competitor {
    pid_t pid = -1;
    int out = -1;
};

// Starts the host program with `args`, its standard input from `in`, its standard
// output into a pipe (under the cross build's user-mode emulator where there is one).
Competitor Start(const std::vector<std::string>& args, int in) {
    std::vector<std::string> words;
    const std::string runner = NVS_UNLOAD_RUNNER;
    for (size_t at = 0; !runner.empty() && at <= runner.size();) {
        const size_t bar = std::min(runner.find('|', at), runner.size());
        words.push_back(runner.substr(at, bar - at));
        at = bar + 1;
    }
    words.emplace_back(NVS_PORT_RACE_HOST);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) {
        argv.push_back(&w[0]);
    }
    argv.push_back(nullptr);

    Competitor c;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        return c;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (posix_spawnp(&c.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        c.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    c.out = out[0];
    return c;
}

// What the competitor wrote up to its end of output or the deadline (up to one line
// ending `until` when that is not 0).
std::string ReadOutput(const Competitor& c, unsigned timeoutMs, char until = 0) {
    std::string text;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        pollfd p = {c.out, POLLIN, 0};
        const int left =
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (poll(&p, 1, left > 0 ? left : 0) <= 0) {
            continue;
        }
        char buffer[256];
        const ssize_t got = read(c.out, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(got));
        if (until != 0 && text.find(until) != std::string::npos) {
            break;
        }
    }
    return text;
}

// The competitor's exit status; it is killed at the deadline (-1).
int Finish(Competitor& c, unsigned timeoutMs) {
    int status = -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) {
            break;
        }
        if ((r < 0 && errno != EINTR) || Clock::now() >= deadline) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &status, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    close(c.out);
    c.out = -1;
    return status;
}

int Rounds() {
    const char* rounds = std::getenv("NVS_PORT_RACE_ROUNDS");
    return rounds != nullptr && std::atoi(rounds) > 0 ? std::atoi(rounds) : 3;
}

class PortRace : public ApiTest {
protected:
    std::string NodePattern() const {
        std::string pattern = sandbox_.NodePath(0);
        pattern.pop_back();
        return pattern + "%d";
    }
    std::string Marker() const { return sandbox_.LockDir() + "/../holder"; }
};

// Each round two fresh processes are let go at the same moment and scan five times each.
TEST_F(PortRace, TwoProcessesScanningAtOnceNeverHoldTheInstrumentTogether) {
    Plug(Profile::WithPpgYB2001());
    const int rounds = Rounds();
    const auto began = Clock::now();
    int heldInAll = 0, failedInAll = 0;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        int start[2];
        ASSERT_EQ(pipe2(start, O_CLOEXEC), 0);
        Competitor c[2];
        for (Competitor& one : c) {
            one = Start({"race", NodePattern(), sandbox_.LockDir(), Marker(), "5"}, start[0]);
            ASSERT_GT(one.pid, 0);
        }
        close(start[0]);
        close(start[1]);  // both see the end of their input: the start
        int held = 0;
        for (Competitor& one : c) {
            const std::string said = ReadOutput(one, kLong);
            int h = -1, m = -1, f = -1;
            EXPECT_EQ(std::sscanf(said.c_str(), "held %d missed %d failed %d", &h, &m, &f), 3) << said;
            EXPECT_EQ(h + m, 5) << said;
            held += h;
            failedInAll += f;
            EXPECT_EQ(Finish(one, kLong), 0) << "3: two holders, 4: a foreign lock";
        }
        heldInAll += held;
        EXPECT_GE(held, 1) << "someone held the instrument";
        EXPECT_FALSE(sandbox_.LockExists(0)) << "the last holder deleted its lock";
        // Two processes talking at once would mix their requests: the instrument would
        // receive bytes that frame no request, or a request cut short.
        for (const nvsemu::Request& r : emu_.Requests()) {
            EXPECT_EQ(r.kind, nvsemu::FrameKind::Known) << "a request of mixed bytes";
        }
        emu_.ClearRequests();
        if (HasFailure()) {
            break;
        }
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
    std::printf("%d rounds in %lld ms: held %d times, %d handshakes failed on a locked port\n", rounds,
                static_cast<long long>(ms), heldInAll, failedInAll);
}

// A holder killed outright cannot delete its lock: its process id no longer exists, so
// the next scan deletes the stale lock and takes the port.
TEST_F(PortRace, AKilledHolderFreesThePortForTheNextScan) {
    Plug(Profile::WithPpgYB2001());
    const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devNull, 0);
    Competitor holder = Start({"hold", NodePattern(), sandbox_.LockDir()}, devNull);
    close(devNull);
    ASSERT_GT(holder.pid, 0);
    ASSERT_EQ(ReadOutput(holder, kLong, '\n'), "held\n");
    EXPECT_TRUE(sandbox_.LockExists(0));
    // Under a user-mode emulator the holder's process is the emulator's: its id is the
    // one the lock names either way.
    EXPECT_EQ(sandbox_.LockOwner(0), holder.pid);
    {
        // Another process's scan meanwhile: the holder is alive, the port is not free.
        int start[2];
        ASSERT_EQ(pipe2(start, O_CLOEXEC), 0);
        Competitor other = Start({"race", NodePattern(), sandbox_.LockDir(), Marker(), "1"}, start[0]);
        close(start[0]);
        close(start[1]);
        EXPECT_EQ(ReadOutput(other, kLong), "held 0 missed 1 failed 0\n");
        EXPECT_EQ(Finish(other, kLong), 0);
    }

    kill(holder.pid, SIGKILL);
    EXPECT_EQ(Finish(holder, kLong), SIGKILL);  // reaped: its id names no process now
    EXPECT_TRUE(sandbox_.LockExists(0)) << "nobody deleted the killed holder's lock";
    ASSERT_TRUE(Connect());
    EXPECT_EQ(sandbox_.LockOwner(0), getpid());
}

}  // namespace
