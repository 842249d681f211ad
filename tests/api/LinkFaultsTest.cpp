// What a host sees when the instrument's link misbehaves under a live connection: a
// port that hangs up while its node stays (a device that resets on the bus and comes
// back under the same name), and a stream of sampling and notification packets that no
// run of this library asked for.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "api/Connection.h"
#include "platform/Transport.h"

namespace {

using Clock = std::chrono::steady_clock;
using nvsemu::Fault;
using nvsemu::Profile;

const Bytes kUsbVoltageRequest = {0xCC, 0x00, 0x42};

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int ParkedPackets() {
    CAutoCriticalSection lock(g_ReadCriticalSection);
    return g_iQueueCount;
}

class ApiLinkFaults : public ApiTest {};

// The hang-up is noticed either by the presence monitor (the host idle) or by the read of
// the request it hit; either way the listener hears false once, and the instrument back
// under its node is connected again with its own identity, and takes settings.
TEST_F(ApiLinkFaults, HungUpPortWithItsNodeKeptIsDroppedOnceAndConnectedAgainWhenBack) {
    Plug(Profile::WithPpgYB2001(), 0);
    ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(0)));  // the emulator keeps the node across a hang-up
    const unsigned loaded = ConnectionLoadCount() + 1;
    ASSERT_TRUE(ORVInit(ListenerLog::Listener));
    ASSERT_TRUE(ListenerLog::Instance().WaitFor(1, 20000));
    ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() >= loaded; }, 20000));
    const std::string serial = ORVGetSerialNumber();
    ASSERT_FALSE(serial.empty());

    struct Case {
        const char* name;
        unsigned backAfterMs;
        bool atRequest;  // hung up at the host's next request, else at once with the host idle
        int electrode;
        uint8_t electrodeByte;
    } cases[] = {
        {"back at once, host idle", 0, false, 7, 0xFF},
        {"back after 1 s, at a getter", 1000, true, 0, 0x00},
    };
    std::vector<bool> expected = {true};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = Clock::now();
        if (c.atRequest) {
            emu_.FaultOnHeader(kUsbVoltageRequest, Fault::HangUp(c.backAfterMs));
            ORVGetUSBBusVoltage();  // meets the hang-up: 0, or the value when the port ends late
        } else {
            ASSERT_TRUE(emu_.HangUp(c.backAfterMs));
        }
        expected.push_back(false);
        ASSERT_TRUE(ListenerLog::Instance().WaitFor(expected.size(), 15000));
        EXPECT_LT(ElapsedMs(start), 8000);
        ASSERT_TRUE(emu_.WaitForPlugged(true, c.backAfterMs + 5000));
        expected.push_back(true);
        ASSERT_TRUE(ListenerLog::Instance().WaitFor(expected.size(), 20000));
        EXPECT_STREQ(ORVGetSerialNumber(), serial.c_str());
        EXPECT_EQ(ORVGetUSBBusVoltage(), 0xC8);
        EXPECT_TRUE(ORVDeviceSetElectrode(c.electrode));
        EXPECT_EQ(Fw().ControlBlock()[3], c.electrodeByte);
        EXPECT_EQ(ListenerLog::Instance().Events(), expected);
    }
}

// Sampling and notification packets arrive around every reply while nobody samples or
// plays: they are dropped, not parked, and every getter still gets its own value.
TEST_F(ApiLinkFaults, UnaskedStreamPacketsAreDroppedWhileGettersRun) {
    Plug(Profile::WithPpgYB2001(), 0);
    ASSERT_TRUE(Connect());
    Bytes sampling(64, 0x11);
    sampling[0] = NVS_KIND_SAMPLING;
    Bytes notification(64, 0x22);
    notification[0] = NVS_KIND_NOTIFY;
    for (const Bytes& packet : {sampling, notification}) {
        emu_.FaultOnHeader({}, Fault::UnsolicitedBefore(packet), 0);
        emu_.FaultOnHeader({}, Fault::Unsolicited(packet), 0);
        emu_.FaultOnHeader({}, Fault::Unsolicited(packet, 1), 0);
    }
    int mostParked = 0;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(ORVGetUSBBusVoltage(), 0xC8) << i;
        ASSERT_EQ(ORVGetLEDOutputFeedbackVoltageADCData(), 0x9A) << i;
        mostParked = std::max(mostParked, ParkedPackets());
    }
    EXPECT_EQ(mostParked, 0);
    EXPECT_GE(emu_.Written().size(), 6u * 200u);  // the packets did go out
}

}  // namespace
