// The macOS serial link and timers, on the dispatch stand-in: listing order and parsing,
// lock folder, record lock, descriptors after scans, time-outs without waits, timers.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "LinkSandbox.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"
#include "platform/Transport.h"
#include "platform/macos/DeviceSeam.h"

namespace {

class MacLink : public ::testing::Test {
protected:
    void SetUp() override {
        SetTargetCheckResult(false);
        DeviceSetTargetCheck(StubTargetCheck);
    }
    void TearDown() override { DeviceSeamSetListingCommand(nullptr); }
    // The node path's text before the number.
    std::string Prefix() const {
        const std::string zero = sandbox.NodePath(0);
        return zero.substr(0, zero.size() - 1);
    }
    // A listing that prints these lines, in this order.
    void ListLines(const std::vector<std::string>& lines) {
        std::string command = "printf '%s\\n'";
        for (const std::string& line : lines)
            command += " '" + line + "'";
        DeviceSeamSetListingCommand(command.c_str());
    }
    std::vector<int> Listed() {
        int ports[64];
        const int count = DeviceListPorts(ports, 64);
        return std::vector<int>(ports, ports + count);
    }
    LinkSandbox sandbox;
    RawPty pty;
};

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr)
        ++count;
    if (dir != nullptr)
        closedir(dir);
    return count;
}

// What a process of its own sees of the port's record lock: true when it is held.
bool RecordLockHeldSeenFromChild(const std::string& path) {
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        struct flock region = {};
        region.l_type = F_WRLCK;
        region.l_whence = SEEK_SET;
        const int result = fd < 0 ? -1 : fcntl(fd, F_SETLK, &region);
        _exit(fd < 0 ? 2 : result == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2);
    return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

TEST_F(MacLink, ScanTriesPortsInListingOrderAndSkipsNamesWithoutANumber) {
    for (int port : {1421, 14101})
        ASSERT_TRUE(sandbox.Link(port, pty.SlavePath()));
    ASSERT_EQ(0, symlink(pty.SlavePath().c_str(), (Prefix() + "FD121").c_str()));
    // The shell's listing sorts by name: 14101 comes before 1421.
    EXPECT_EQ(Listed(), (std::vector<int>{14101, 1421}));
    // Fed the other order, the scan follows it.
    ListLines({Prefix() + "1421", Prefix() + "FD121", Prefix() + "14101"});
    EXPECT_EQ(Listed(), (std::vector<int>{1421, 14101}));
    EXPECT_EQ(0, FindDevice(-1));
    EXPECT_EQ(2, TargetCheckCalls());  // FD121 never opened
    SetTargetCheckResult(true);
    ASSERT_EQ(1, FindDevice(-1));
    EXPECT_EQ(sandbox.NodePath(1421), g_szDevicePath);
    EXPECT_EQ(1, DeviceIsAlive());
    ListLines({Prefix() + "14101"});
    EXPECT_EQ(0, DeviceIsAlive());  // no longer listed
}

TEST_F(MacLink, OddListingLinesAreSkipped) {
    const std::string p = Prefix();
    struct Case {
        std::string line;
        std::vector<int> ports;
    } cases[] = {
        {"", {}},
        {"   ", {}},
        {p, {}},                                // prefix without a number
        {p + "-5", {}},                         // negative
        {p + "-1", {}},                         // would mean "every port"
        {p + "99999999999", {}},                // overflows
        {p + "2147483648", {}},                 // just past the largest int
        {p + "12abc", {}},                      // trailing text
        {p + "0012", {}},                       // leading zeros
        {p + "FD121", {}},                      // no number
        {"/elsewhere/cu.usbmodem7", {}},        // another folder
        {std::string(600, 'x') + p + "8", {}},  // over 511 characters: skipped whole
        {std::string(505, ' ') + p + "9", {}},  // long before trimming
        {" \t" + p + "7 \r", {7}},              // white space trimmed
        {p + "0", {0}},
    };
    for (const Case& c : cases) {
        ListLines({c.line});
        EXPECT_EQ(Listed(), c.ports) << "[" << c.line << "]";
    }
    // A line of several reads' length does not spill into the next line.
    ListLines({std::string(1500, 'y') + p + "3", p + "4"});
    EXPECT_EQ(Listed(), (std::vector<int>{4}));
}

// A host's signal handler installed without SA_RESTART interrupts the reads of the
// listing's pipe (EINTR): the lines after the interruption are still listed.
TEST_F(MacLink, ListingReadsOnWhenASignalInterruptsIt) {
    struct sigaction action = {}, saved = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = [](int) {};
    ASSERT_EQ(0, sigaction(SIGUSR2, &action, &saved));
    const std::string p = Prefix();
    // The listing prints one line, pauses and prints the other: the signal comes while
    // the scan waits on the pipe.
    DeviceSeamSetListingCommand(("printf '%s\\n' '" + p + "5'; sleep 0.3; printf '%s\\n' '" + p + "6'").c_str());
    const pthread_t lister = pthread_self();
    std::atomic<bool> done{false};
    std::thread signaller([&] {
        while (!done.load()) {
            pthread_kill(lister, SIGUSR2);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const std::vector<int> listed = Listed();
    done = true;
    signaller.join();
    sigaction(SIGUSR2, &saved, nullptr);
    EXPECT_EQ(listed, (std::vector<int>{5, 6}));
}

TEST_F(MacLink, NoDescriptorPipeOrProcessLeftAfterAHundredScans) {
    for (int port : {1, 2, 3})
        ASSERT_TRUE(sandbox.Link(port, pty.SlavePath()));
    const int before = OpenDescriptors();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(0, FindDevice(-1));
    EXPECT_EQ(300, TargetCheckCalls());
    EXPECT_EQ(before, OpenDescriptors());
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG));  // every listing process reaped
    EXPECT_EQ(ECHILD, errno);
}

TEST_F(MacLink, LockFolderIsMadeWhenMissingAndSkippedWhenItCannotBe) {
    ASSERT_TRUE(sandbox.Link(5, pty.SlavePath()));
    SetTargetCheckResult(true);
    const std::string folder = sandbox.LockDir() + "/orvane/lock";
    DeviceSeamSetLockDirectory(folder.c_str());
    ASSERT_EQ(1, DoFindDevice(5));
    struct stat st;
    ASSERT_EQ(0, stat((sandbox.LockDir() + "/orvane").c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    ASSERT_EQ(0, stat(folder.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 0777);
    EXPECT_EQ(0, access((folder + "/orvane.ACM5.lock").c_str(), F_OK));
    DeviceClose();

    // A folder nobody can make: the record lock alone keeps others off the port.
    DeviceSeamSetLockDirectory("/proc/nvs-no-such-folder/lock");
    ASSERT_EQ(1, DoFindDevice(5));
    EXPECT_EQ(-1, g_nLockFile);
    EXPECT_TRUE(RecordLockHeldSeenFromChild(sandbox.NodePath(5)));
    DeviceClose();

    // A lock folder path that is a file: the lock fails, the port is refused.
    const std::string file = sandbox.LockDir() + "/plain";
    close(open(file.c_str(), O_CREAT | O_WRONLY, 0600));
    DeviceSeamSetLockDirectory(file.c_str());
    EXPECT_EQ(0, DoFindDevice(5));
    EXPECT_EQ(0, DeviceIsConnected());
    DeviceSeamSetLockDirectory(sandbox.LockDir().c_str());
}

TEST_F(MacLink, RecordLockHeldWhileConnectedAndAcrossAnOldDescriptorsClose) {
    ASSERT_TRUE(sandbox.Link(6, pty.SlavePath()));
    SetTargetCheckResult(true);
    const std::string node = sandbox.NodePath(6);
    ASSERT_EQ(1, DoFindDevice(6));
    EXPECT_TRUE(RecordLockHeldSeenFromChild(node));
    {
        CDevicePort old;  // a reader still on the first descriptor
        DeviceClose();
        EXPECT_FALSE(RecordLockHeldSeenFromChild(node));
        ASSERT_EQ(1, DoFindDevice(6));  // reopened: a second descriptor of the port
        EXPECT_TRUE(RecordLockHeldSeenFromChild(node));
    }  // the old descriptor's last borrower lets go
    EXPECT_TRUE(RecordLockHeldSeenFromChild(node));
    const int before = OpenDescriptors();
    DeviceClose();
    EXPECT_FALSE(RecordLockHeldSeenFromChild(node));
    EXPECT_EQ(before - 3, OpenDescriptors());  // port, lock file and the old descriptor closed
}

TEST_F(MacLink, TimeoutsAreStoredWithoutWaitingAndTheNextReadUsesThem) {
    ASSERT_TRUE(sandbox.Link(7, pty.SlavePath()));
    SetTargetCheckResult(true);
    ASSERT_EQ(1, DoFindDevice(7));
    const uint64_t start = GetMonotonicMs();
    SetDeviceTimeoutSetting(70, 10000);
    EXPECT_LT(GetMonotonicMs() - start, 20u);
    unsigned char reply[8];
    const uint64_t readStart = GetMonotonicMs();
    EXPECT_EQ(0, ReadData(reply, sizeof reply, 0xFF));  // nothing comes
    const uint64_t readMs = GetMonotonicMs() - readStart;
    EXPECT_GE(readMs, 65u);
    EXPECT_LT(readMs, 1000u);
    SetDeviceTimeoutSetting(0, 0);
    SetDeviceTimeoutSetting(100, 200);
    DeviceClose();
}

// Waits for the next mark by polling, as the paced threads do; the ms it took.
uint64_t MsToNextMark(CEvent& event) {
    const uint64_t start = GetMonotonicUs();
    CEvent* events[] = {&event};
    EXPECT_EQ(0u, WaitForMultipleObjects(1, events, 0, 5000));
    return (GetMonotonicUs() - start) / 1000;
}

TEST(MacTimers, NumbersThirtyAndThirtyOneMarkAtOnceThenEveryPeriod) {
    struct Case {
        unsigned int number;
        CEvent* marked;
        CEvent* other;
    } cases[] = {{30, &g_hSigTimer1Event, &g_hSigTimer2Event}, {31, &g_hSigTimer2Event, &g_hSigTimer1Event}};
    for (const Case& c : cases) {
        c.marked->ResetEvent();
        c.other->ResetEvent();
        unsigned int number = c.number;
        TIMER_HANDLE timer = CreateNewTimer(20, number);
        ASSERT_NE(nullptr, timer);
        EXPECT_LT(MsToNextMark(*c.marked), 15u) << c.number;  // at once
        const uint64_t start = GetMonotonicUs();
        for (int i = 0; i < 10; ++i)
            MsToNextMark(*c.marked);
        const uint64_t ms = (GetMonotonicUs() - start) / 1000;
        EXPECT_GE(ms, 175u) << c.number;
        EXPECT_LT(ms, 2000u) << c.number;
        DeleteTimer(number, timer);
        EXPECT_EQ(nullptr, timer);
        EXPECT_EQ(NVS_WAIT_TIMEOUT, c.other->WaitTimeout(0)) << c.number;
    }
}

TEST(MacTimers, OtherNumbersRunAndMarkNothingAndDeleteIsFinal) {
    g_hSigTimer1Event.ResetEvent();
    g_hSigTimer2Event.ResetEvent();
    unsigned int number = 32;
    TIMER_HANDLE silent = CreateNewTimer(5, number);
    ASSERT_NE(nullptr, silent);
    unsigned int thirty = 30;
    EXPECT_EQ(nullptr, CreateNewTimer(0, thirty));  // period 0: no timer
    // A private event's timer: after the delete no mark lands, however busy the ticks.
    for (int i = 0; i < 20; ++i) {
        std::unique_ptr<CAutoResetEvent> event(new CAutoResetEvent);
        TIMER_HANDLE timer = CreateTimerForEvent(1, event.get());
        ASSERT_NE(nullptr, timer);
        MsToNextMark(*event);
        DeleteTimerForEvent(timer);
        EXPECT_EQ(nullptr, timer);
        event.reset();  // a tick landing now would touch freed memory
    }
    DeleteTimer(number, silent);
    EXPECT_EQ(NVS_WAIT_TIMEOUT, g_hSigTimer1Event.WaitTimeout(0));
    EXPECT_EQ(NVS_WAIT_TIMEOUT, g_hSigTimer2Event.WaitTimeout(0));
    TIMER_HANDLE none = nullptr;
    DeleteTimer(number, none);
    DeleteTimer(number, silent);  // twice: the handle is null now
    EXPECT_EQ(nullptr, silent);
}

TEST(MacWaits, TimeOutResultIsSixtyAfterTheWaitsTime) {
    EXPECT_EQ(60u, NVS_WAIT_TIMEOUT);
    CAutoResetEvent event;
    const uint64_t start = GetMonotonicMs();
    EXPECT_EQ(60u, event.WaitTimeout(40));
    const uint64_t ms = GetMonotonicMs() - start;
    EXPECT_GE(ms, 39u);
    EXPECT_LT(ms, 2000u);
}

}  // namespace
