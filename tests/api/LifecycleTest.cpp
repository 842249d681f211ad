// The connection lifecycle against the firmware model in a sandboxed device folder:
// connection by port and by scan, the listener's notices, the teardown's requests,
// unplugging and replugging, ORVFree in every state and concurrent lifecycle calls.
#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "api/Connection.h"
#include "api/PostConnection.h"
#include "platform/Device.h"
#include "platform/Monitor.h"
#include "protocol/Identity.h"
#include "waveform/Calibration.h"

namespace {

using Clock = std::chrono::steady_clock;
using nvsemu::Profile;

const Bytes kOperatorMode0 = {0x00, 0xFF, 0x00};
const Bytes kOperatorMode8 = {0x00, 0xFF, 0x08};

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class ApiLifecycle : public ApiTest {};

TEST_F(ApiLifecycle, ConnectByPortPreparesTheInstrumentBeforeTheListenerHearsTrue) {
    Plug(Profile::WithPpgYB2001(), 3);
    ASSERT_TRUE(Connect(true));
    // Operator mode 8, then the default status (electrode, impedance, pacing, respiration
    // through control-block writes, ambient light 0), in that order after the handshake.
    const std::vector<Bytes> sent = Sent();
    size_t mode8 = sent.size(), ambient = sent.size();
    for (size_t i = 0; i < sent.size(); ++i) {
        if (sent[i].size() >= 3 && Bytes(sent[i].begin(), sent[i].begin() + 3) == kOperatorMode8 &&
            mode8 == sent.size())
            mode8 = i;
        if (sent[i].size() >= 5 && sent[i][0] == 0xB0 && sent[i][1] == 0xFF && sent[i][2] == 0x10 &&
            ambient == sent.size())
            ambient = i;
    }
    ASSERT_LT(mode8, sent.size());
    ASSERT_LT(ambient, sent.size());
    EXPECT_LT(mode8, ambient);
    EXPECT_EQ(sent[ambient][4], 0);
    const auto block = Fw().ControlBlock();
    EXPECT_EQ(block[1], 0);  // impedance
    EXPECT_EQ(block[3], 0);  // electrode
    EXPECT_EQ(block[4], 0);  // pacing
    EXPECT_EQ(block[5], 0);  // respiration
    EXPECT_EQ(Fw().OperatorBlock()[2], 8);
    EXPECT_TRUE(ConnectionIsUp());
    EXPECT_EQ(std::string(g_szDevicePath), sandbox_.NodePath(3));
}

TEST_F(ApiLifecycle, ScanFindsTheInstrumentAndTheListenerHearsTrueOnceFalseOnceAtFree) {
    Plug(Profile::MainUnit4031(), 5);
    ASSERT_TRUE(ORVInit(ListenerLog::Listener));
    ASSERT_TRUE(ListenerLog::Instance().WaitFor(1, 20000));
    EXPECT_EQ(std::string(g_szDevicePath), sandbox_.NodePath(5));
    ORVFree();
    // The false notice arrives before ORVFree returns, after the records were cleared.
    EXPECT_EQ(ListenerLog::Instance().Events(), (std::vector<bool>{true, false}));
    EXPECT_EQ(0, DeviceIsConnected());
    EXPECT_EQ(g_ECGModelInfo.cProductName[0], 0);
    EXPECT_EQ(g_DeviceFeature.nPPGModuleNumber, 0);
    EXPECT_EQ(g_nFWVersion, 0);
    EXPECT_EQ(g_hConnectDeviceThread.load(), 0u);
    EXPECT_EQ(nullptr, PPGPDSamplingTable(0, 0));  // the tables go with the thread
    // Operator mode 0 went out before the port closed.
    EXPECT_FALSE(SentWith(kOperatorMode0).empty());
    EXPECT_EQ(Fw().OperatorBlock()[2], 0);
    EXPECT_STREQ(ORVGetSerialNumber(), "");
}

TEST_F(ApiLifecycle, UnplugGivesFalseWithinTheMonitorWindowAndReplugGivesTrueAndReloads) {
    Plug(Profile::WithPpgYB2001(), 0);
    const unsigned loaded = ConnectionLoadCount() + 1;
    ASSERT_TRUE(ORVInit(ListenerLog::Listener));
    ASSERT_TRUE(ListenerLog::Instance().WaitFor(1, 20000));
    ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() >= loaded; }, 20000));

    sandbox_.Unlink(0);  // the node leaves the listing; the monitor closes the port
    const auto unplugged = Clock::now();
    ASSERT_TRUE(ListenerLog::Instance().WaitFor(2, 15000));
    EXPECT_LT(ElapsedMs(unplugged), 8000);
    EXPECT_EQ(ListenerLog::Instance().Events(), (std::vector<bool>{true, false}));
    DEVICE_FEATURE feature;
    ORVGetDeviceFeature(&feature);
    const DEVICE_FEATURE zero = {};
    EXPECT_EQ(0, memcmp(&feature, &zero, sizeof zero));
    EXPECT_FALSE(g_AutoMonitor.IsMonitored());
    EXPECT_NE(nullptr, PPGPDSamplingTable(0, 0));  // the tables stay while the thread runs

    // The stored table changes while unplugged: the reconnection loads the new one.
    Fw().SetMemory(0x13, 0x0400, Bytes{0x00, 0x07});
    ASSERT_TRUE(sandbox_.Link(0, emu_.SlavePath()));
    ASSERT_TRUE(ListenerLog::Instance().WaitFor(3, 20000));
    EXPECT_EQ(ListenerLog::Instance().Events(), (std::vector<bool>{true, false, true}));
    ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() > loaded; }, 20000));
    EXPECT_EQ(PPGPDSamplingTable(0, 0)[0], 7);
    EXPECT_STRNE(ORVGetSerialNumber(), "");
}

TEST_F(ApiLifecycle, ConnectWithoutInstrumentReturnsFalseAfterItsTimeOutAndFrees) {
    const auto start = Clock::now();
    EXPECT_FALSE(ORVConnect(9, 1500));
    const long took = ElapsedMs(start);
    // The time-out, then ORVFree waits for the current attempt and its 1 s pause.
    EXPECT_GE(took, 1500);
    EXPECT_LT(took, 6000);
    EXPECT_EQ(g_hConnectDeviceThread.load(), 0u);
    EXPECT_TRUE(ListenerLog::Instance().Events().empty());
}

TEST_F(ApiLifecycle, FreeFromIdleAndTwiceDoesNothing) {
    ORVFree();
    ORVFree();
    EXPECT_EQ(g_hConnectDeviceThread.load(), 0u);
    Plug(Profile::MainUnit4031(), 0);
    ASSERT_TRUE(Connect());
    ORVFree();
    ORVFree();
    EXPECT_EQ(0, DeviceIsConnected());
}

TEST_F(ApiLifecycle, SecondInitKeepsTheThreadReplacesTheListenerAndRestoresTheECGDefaults) {
    Plug(Profile::WithPpgYB2001(), 0);
    ASSERT_TRUE(Connect());
    const THREAD_HANDLE thread = g_hConnectDeviceThread.load();
    EXPECT_EQ(g_ECGDCVariableCalibrationData[1000], 2048 + 3);  // the stored table is in force
    ASSERT_TRUE(ORVInit(ListenerLog::Listener));
    EXPECT_EQ(g_hConnectDeviceThread.load(), thread);
    EXPECT_EQ(g_ECGDCVariableCalibrationData[1000], 2048);
    EXPECT_EQ(g_Callback.load(), &ListenerLog::Listener);
    ORVFree();
    EXPECT_EQ(ListenerLog::Instance().Events(), (std::vector<bool>{false}));  // no true: it came before
}

TEST_F(ApiLifecycle, ConnectWhileConnectedOnThatPortIsTrueAtOnce) {
    Plug(Profile::MainUnit4031(), 2);
    ASSERT_TRUE(Connect());
    const auto start = Clock::now();
    EXPECT_TRUE(ORVConnect(2, 5000));
    EXPECT_TRUE(ORVConnect(0xFFFFFFFFu, 5000));
    EXPECT_LT(ElapsedMs(start), 2000);
    EXPECT_TRUE(ConnectionIsUp());
}

TEST_F(ApiLifecycle, PortOfTheLastConnectStaysForInitEx) {
    Plug(Profile::MainUnit4031(), 1);
    EXPECT_FALSE(ORVConnect(3, 300));  // nothing on 3
    ASSERT_TRUE(ORVInitEx(0, ListenerLog::Listener));
    EXPECT_FALSE(ListenerLog::Instance().WaitFor(1, 2500));  // port 1 is not tried
    ASSERT_TRUE(sandbox_.Link(3, emu_.SlavePath()));
    EXPECT_TRUE(ListenerLog::Instance().WaitFor(1, 20000));
    EXPECT_EQ(std::string(g_szDevicePath), sandbox_.NodePath(3));
}

TEST_F(ApiLifecycle, SerialFilterOfInitExRejectsOtherInstruments) {
    Plug(WithMainIdentity(Profile::MainUnit4031(), 0x4031, 1, 1234, 1, 2), 0);
    ASSERT_TRUE(ORVInitEx(1235, ListenerLog::Listener));
    EXPECT_FALSE(ListenerLog::Instance().WaitFor(1, 2500));
    ORVFree();
    ASSERT_TRUE(ORVInitEx(1234, ListenerLog::Listener));
    EXPECT_TRUE(ListenerLog::Instance().WaitFor(1, 20000));
}

// A listener that calls the lifecycle from the connection thread.
std::atomic<int> s_reentrantCalls{0};
void ReentrantListener(bool connected) {
    if (connected) {
        EXPECT_FALSE(ORVConnect(0, 50));              // would wait for its own thread: false at once
        EXPECT_TRUE(ORVInit(ListenerLog::Listener));  // replaces the listener
        s_reentrantCalls.fetch_add(1);
    }
}

TEST_F(ApiLifecycle, LifecycleCallsFromTheListenerDoNotWaitForTheirOwnThread) {
    Plug(Profile::MainUnit4031(), 0);
    ASSERT_TRUE(ORVInit(ReentrantListener));
    ASSERT_TRUE(WaitUntil([] { return s_reentrantCalls.load() == 1; }, 20000));
    EXPECT_TRUE(ConnectionIsUp());
    ORVFree();
    EXPECT_EQ(ListenerLog::Instance().Events(), (std::vector<bool>{false}));
}

TEST_F(ApiLifecycle, ConcurrentLifecycleCallsFromHostThreadsNeverHang) {
    Plug(Profile::MainUnit4031(), 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t) {
        hosts.emplace_back([t, &stop] {
            for (int i = 0; !stop.load(); ++i) {
                switch ((t + i) % 3) {
                    case 0:
                        ORVInit(ListenerLog::Listener);
                        break;
                    case 1:
                        ORVConnect(0, 200);
                        break;
                    default:
                        ORVFree();
                        break;
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(4));
    stop.store(true);
    const auto joinStart = Clock::now();
    for (std::thread& h : hosts) {
        h.join();
    }
    ORVFree();
    EXPECT_LT(ElapsedMs(joinStart), 30000);
    EXPECT_EQ(g_hConnectDeviceThread.load(), 0u);
    EXPECT_EQ(0, DeviceIsConnected());
    // The notices need not pair up here: ORVConnect and ORVInit keep swapping the
    // listener of the running thread, so a true can go to ORVConnect's handler and the
    // matching false to the host's listener.
}

TEST_F(ApiLifecycle, HostRequestsDuringTheHandshakeNeitherBreakItNorGetItsReplies) {
    Plug(Profile::WithPpgYB2001(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread host([&] {
        while (!stop.load()) {
            const int v = ORVGetUSBBusVoltage();  // 0xC8 from this instrument, 0 without one
            if (v != 0 && v != 0xC8)
                wrong.fetch_add(1);
        }
    });
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ListenerLog::Instance().Clear();
        ASSERT_TRUE(ORVInit(ListenerLog::Listener));
        ASSERT_TRUE(ListenerLog::Instance().WaitFor(1, 20000));
        MODEL_INFORMATION main = {};
        ORVGetDeviceInformation(&main);
        EXPECT_EQ(main.ucGeneration, 0x20);
        EXPECT_EQ(main.ucModel, 0x01);
        ORVFree();
    }
    stop.store(true);
    host.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
