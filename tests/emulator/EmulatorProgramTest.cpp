// The nvs-emulator program as a host developer runs it: its first line names the port,
// SIGUSR1 pulls the instrument out and plugs it back in, SIGTERM stops it.
#include "SlaveClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr unsigned kWaitMs = 5000;  // the program may run under a user-mode emulator
const Bytes kRevision = {0xAA, 0x03};

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        const size_t end = text.find(separator, start);
        words.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return words;
}

// The program run with its standard output on a pipe; killed (by its pid) if the test
// ends before it has exited.
class Program {
public:
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
    }

    bool Start(const std::vector<std::string>& options) {
        std::vector<std::string> words = Split(NVS_EMULATOR_RUNNER, '|');
        words.push_back(NVS_EMULATOR_PROGRAM);
        words.insert(words.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);

        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        const int rc = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
        if (rc != 0)
            pid_ = -1;
        return rc == 0;
    }

    pid_t Pid() const { return pid_; }

    // The next line of standard output; empty when none came within the deadline.
    std::string ReadLine(unsigned timeoutMs) {
        const int64_t deadline = NowMs() + timeoutMs;
        for (;;) {
            const size_t newline = buffer_.find('\n');
            if (newline != std::string::npos) {
                const std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                return line;
            }
            if (!Fill(deadline))
                return {};
        }
    }

    // Waits for the program to exit (its output ends), then reaps it.
    bool Exited(unsigned timeoutMs, int& status) {
        const int64_t deadline = NowMs() + timeoutMs;
        while (Fill(deadline)) {
        }
        if (!eof_)
            return false;
        if (waitpid(pid_, &status, 0) != pid_)
            return false;
        pid_ = -1;
        return true;
    }

private:
    // Reads what is there before the deadline; false at end of output or time-out.
    bool Fill(int64_t deadline) {
        pollfd p{out_, POLLIN, 0};
        const int64_t left = deadline - NowMs();
        const int ready = poll(&p, 1, static_cast<int>(left > 0 ? left : 0));
        if (ready < 0 && errno == EINTR)
            return true;
        if (ready <= 0)
            return false;
        char chunk[256];
        const ssize_t n = read(out_, chunk, sizeof chunk);
        if (n <= 0) {
            eof_ = n == 0;
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    bool eof_ = false;
    std::string buffer_;
};

// Descriptors of process `pid` beyond standard input, output and error that a program
// it starts would inherit (from /proc/<pid>/fdinfo: flags in octal), except those it
// was handed at its start (`handed`).
std::vector<int> InheritableDescriptors(pid_t pid, const std::vector<int>& handed) {
    std::vector<int> leaks;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fdinfo";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return {-1};
    while (const dirent* e = readdir(d)) {
        const int fd = std::atoi(e->d_name);
        if (e->d_name[0] == '.' || fd <= 2 || std::find(handed.begin(), handed.end(), fd) != handed.end())
            continue;
        std::ifstream info(dir + "/" + e->d_name);
        std::string key;
        std::string value;
        while (info >> key >> value)
            if (key == "flags:" && (std::strtoul(value.c_str(), nullptr, 8) & O_CLOEXEC) == 0)
                leaks.push_back(fd);
    }
    closedir(d);
    return leaks;
}

// This process's descriptors that a started program inherits (the test runner's).
std::vector<int> OwnInheritable() {
    std::vector<int> fds;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return fds;
    while (const dirent* e = readdir(d)) {
        const int fd = std::atoi(e->d_name);
        const int flags = e->d_name[0] == '.' ? -1 : fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
            fds.push_back(fd);
    }
    closedir(d);
    return fds;
}

// What a host's read sees of a port whose master has closed.
bool ReadsAsGone(SlaveClient& client) {
    const Bytes got = client.ReadOnce(kWaitMs);
    return got.empty() && (client.LastRead() == 0 || (client.LastRead() < 0 && client.LastErrno() == EIO));
}

class EmulatorProgram : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/nvsemu-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        node_ = dir_ + "/ttyACM120";
    }
    void TearDown() override {
        unlink(node_.c_str());
        rmdir(dir_.c_str());
    }

    static void ExpectAnswered(SlaveClient& client) {
        ASSERT_TRUE(client.IsOpen());
        ASSERT_EQ(client.Write(kRevision), 2);
        const Bytes reply = client.ReadExactly(5, kWaitMs);
        ASSERT_EQ(reply.size(), 5u);
        EXPECT_EQ(reply[0], 0xAA);
        EXPECT_EQ(reply[1], 0x03);
    }

    std::string dir_;
    std::string node_;
};

TEST_F(EmulatorProgram, SignalUnplugsAndPlugsBackIn) {
    const std::vector<int> handed = OwnInheritable();
    Program program;
    ASSERT_TRUE(program.Start({"--link", node_}));
    const std::string first = program.ReadLine(kWaitMs);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(LinkTarget(node_), first);
    SlaveClient old(node_);
    ExpectAnswered(old);
    if (std::string(NVS_EMULATOR_RUNNER).empty()) {  // else the runner's own descriptors show
        EXPECT_EQ(InheritableDescriptors(program.Pid(), handed), std::vector<int>{});
    }

    ASSERT_EQ(kill(program.Pid(), SIGUSR1), 0);
    EXPECT_TRUE(ReadsAsGone(old));
    EXPECT_FALSE(Exists(node_));

    ASSERT_EQ(kill(program.Pid(), SIGUSR1), 0);
    const std::string second = program.ReadLine(kWaitMs);  // printed once it is back
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(LinkTarget(node_), second);
    SlaveClient fresh(node_);
    ExpectAnswered(fresh);
    EXPECT_TRUE(ReadsAsGone(old));

    ASSERT_EQ(kill(program.Pid(), SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(program.Exited(kWaitMs, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_FALSE(Exists(node_));
}

}  // namespace
// One command line to the program's control port; the answer line ("" when none came).
std::string Control(unsigned port, const std::string& command) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    std::string answer;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const std::string line = command + "\n";
        if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
            char c;
            while (read(fd, &c, 1) == 1 && c != '\n')
                answer += c;
        }
    }
    if (fd >= 0)
        close(fd);
    return answer;
}

// The control port does what the signal does, plus silence and counts; a command it does
// not know is refused by name and the port stays usable.
TEST_F(EmulatorProgram, ControlPortUnplugsSilencesAndCounts) {
    Program program;
    ASSERT_TRUE(program.Start({"--control", "--link", node_}));
    ASSERT_FALSE(program.ReadLine(kWaitMs).empty());
    const std::string control = program.ReadLine(kWaitMs);
    ASSERT_EQ(control.rfind("control ", 0), 0u) << control;
    const unsigned port = static_cast<unsigned>(std::atoi(control.c_str() + 8));
    SlaveClient client(node_);
    ExpectAnswered(client);

    EXPECT_EQ(Control(port, "requests"), "ok 1");
    EXPECT_EQ(Control(port, "fillers"), "ok 0");
    EXPECT_EQ(Control(port, "silent on"), "ok");
    ASSERT_EQ(client.Write(kRevision), 2);
    EXPECT_TRUE(client.ReadOnce(300).empty());
    EXPECT_EQ(Control(port, "silent off"), "ok");
    ExpectAnswered(client);
    EXPECT_EQ(Control(port, "jump"), "error unknown command");

    EXPECT_EQ(Control(port, "unplug"), "ok");
    EXPECT_TRUE(ReadsAsGone(client));
    EXPECT_FALSE(Exists(node_));
    EXPECT_EQ(Control(port, "replug\r"), "ok");
    const std::string back = program.ReadLine(kWaitMs);
    EXPECT_EQ(LinkTarget(node_), back);
    SlaveClient fresh(node_);
    ExpectAnswered(fresh);
}

}  // namespace nvsemu
