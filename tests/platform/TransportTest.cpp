// The packet transport and its reply queue, with the test playing the instrument on the
// master side of a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "LinkSandbox.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Packet(unsigned char first, unsigned char tag = 0, size_t length = 64) {
    Bytes p(length, 0);
    p[0] = first;
    if (length > 1)
        p[1] = tag;
    return p;
}

// Connected to the pty, with readers of both stream kinds registered (as while sampling
// and a playback run), so that stream packets are parked.
class Transport : public ::testing::Test {
protected:
    void SetUp() override {
        SetTargetCheckResult(true);
        DeviceSetTargetCheck(StubTargetCheck);
        ASSERT_TRUE(sandbox.Link(0, pty.SlavePath()));
        ASSERT_EQ(1, FindDevice(0));
        ClearReplyQueue();
        TransportSetStreamReader(NVS_KIND_SAMPLING, true);
        TransportSetStreamReader(NVS_KIND_NOTIFY, true);
    }
    void TearDown() override {
        TransportSetStreamReader(NVS_KIND_SAMPLING, false);
        TransportSetStreamReader(NVS_KIND_NOTIFY, false);
        g_nDeviceReadTimeout = 100;
        g_nDeviceWriteTimeout = 200;
        DeviceClose();
        ClearReplyQueue();
    }
    void Send(const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(pty.master(), bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
    }
    // Everything the library wrote, gathered until the line has been quiet for quietMs.
    Bytes Received(int quietMs = 50) {
        Bytes got;
        unsigned char chunk[4096];
        pollfd pfd{pty.master(), POLLIN, 0};
        while (poll(&pfd, 1, quietMs) > 0) {
            const ssize_t n = read(pty.master(), chunk, sizeof chunk);
            if (n <= 0)
                break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }
    LinkSandbox sandbox;
    RawPty pty;
};

TEST(TransportNoPort, EveryCallFailsAndNothingIsWritten) {
    ASSERT_EQ(0, DeviceIsConnected());
    unsigned char buffer[64] = {1, 2, 3};
    EXPECT_EQ(0, ReadData(buffer, 64, 0xFF));
    EXPECT_EQ(0, WriteData(buffer, 3, 1));
    EXPECT_EQ(-1, SendCommand(buffer, 3, buffer, 64));
    EXPECT_EQ(0, SendCommand(0x55));
}

TEST_F(Transport, BadArgumentsAreRefusedWithoutTraffic) {
    unsigned char buffer[64] = {0};
    EXPECT_EQ(0, ReadData(nullptr, 64, 0xFF));
    EXPECT_EQ(0, ReadData(buffer, 0, 0xFF));
    EXPECT_EQ(0, ReadData(buffer, -4, 0xFF));
    EXPECT_EQ(0, WriteData(nullptr, 4, 1));
    EXPECT_EQ(0, WriteData(buffer, -1, 1));
    EXPECT_EQ(-1, SendCommand(nullptr, 4, buffer, 64));
    EXPECT_EQ(-1, SendCommand(buffer, 4, buffer, -1));
    EXPECT_TRUE(Received(30).empty());
}

TEST_F(Transport, LongRequestGoesOutWhole) {
    Bytes request(100);
    for (size_t i = 0; i < request.size(); ++i)
        request[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(100, WriteData(request.data(), 100, 1));
    EXPECT_EQ(request, Received());
}

TEST_F(Transport, UnansweredReadCostsTheTimeOutAndWritesThreeFillerBytes) {
    unsigned char buffer[64];
    const uint64_t start = GetMonotonicMs();
    EXPECT_EQ(0, ReadData(buffer, 64, 0xFF));
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_GE(took, 120u);
    EXPECT_LT(took, 2000u);
    EXPECT_EQ(Bytes({0x38, 0x38, 0x38}), Received());
}

TEST_F(Transport, ReaderGetsItsKindAndOthersWaitParked) {
    Send(Packet(0xAD, 1));
    Send(Packet(0x55, 2));
    unsigned char buffer[64];
    ASSERT_EQ(64, ReadData(buffer, 64, 0xFF));
    EXPECT_EQ(0x55, buffer[0]);
    ASSERT_EQ(1, g_iQueueCount);

    // The parked stream packet is taken from the queue without touching the port: the
    // packet is the one parked, and no empty read wrote a filler byte.
    Send(Packet(0xAD, 2));  // on the line behind it: a port read would find this one
    ASSERT_EQ(64, ReadData(buffer, 64, 0xAD));
    EXPECT_EQ(Bytes({0xAD, 1}), Bytes(buffer, buffer + 2));
    EXPECT_EQ(0, g_iQueueCount);
    EXPECT_TRUE(Received(30).empty());
    ASSERT_EQ(64, ReadData(buffer, 64, 0xAD));
    EXPECT_EQ(Bytes({0xAD, 2}), Bytes(buffer, buffer + 2));
}

TEST_F(Transport, ParkedPacketsOfOneKindComeOutInOrder) {
    g_nDeviceReadTimeout = 2000;
    Send(Packet(0x01, 1));
    Send(Packet(0xAD, 9));
    Send(Packet(0x01, 2));
    Send(Packet(0x77, 3));
    unsigned char buffer[64];
    ASSERT_EQ(64, ReadData(buffer, 64, 0xFF));
    EXPECT_EQ(0x77, buffer[0]);
    ASSERT_EQ(3, g_iQueueCount);
    ASSERT_EQ(64, ReadData(buffer, 64, 0x01));
    EXPECT_EQ(1, buffer[1]);
    ASSERT_EQ(64, ReadData(buffer, 64, 0x01));
    EXPECT_EQ(2, buffer[1]);
    ASSERT_EQ(64, ReadData(buffer, 64, 0xAD));
    EXPECT_EQ(9, buffer[1]);
}

TEST_F(Transport, FamilyReaderTakesAParkedReplyOfItsFamily) {
    g_nDeviceReadTimeout = 2000;
    Send(Packet(0xB0, 4));
    Send(Packet(0x01, 5));
    unsigned char buffer[64];
    ASSERT_EQ(64, ReadData(buffer, 64, 0x01));  // parks the 0xB0 reply
    ASSERT_EQ(1, g_iQueueCount);
    ASSERT_EQ(64, ReadData(buffer, 64, 0xB0));
    EXPECT_EQ(Bytes({0xB0, 4}), Bytes(buffer, buffer + 2));
    EXPECT_TRUE(Received(30).empty());  // no empty reads: it came from the queue
}

TEST_F(Transport, ShortReaderNeverGetsMoreThanItAsked) {
    g_nDeviceReadTimeout = 2000;
    // A parked 64-byte packet taken by a 5-byte reader: five bytes, nothing past them.
    Send(Packet(0xAD, 7));
    Send(Packet(0x55, 8));
    unsigned char buffer[64];
    ASSERT_EQ(64, ReadData(buffer, 64, 0xFF));
    unsigned char small[16];
    for (unsigned char& b : small)
        b = 0xEE;
    ASSERT_EQ(5, ReadData(small, 5, 0xAD));
    EXPECT_EQ(7, small[1]);
    EXPECT_EQ(0xEE, small[5]);

    // A 12-byte read parks a 12-byte packet: the rest of its slot is zero, not bytes from
    // beyond the reader's buffer.
    Send(Packet(0xAD, 9, 12));
    Send(Packet(0x56, 1, 12));
    ASSERT_EQ(12, ReadData(small, 12, 0xFF));
    EXPECT_EQ(0x56, small[0]);
    EXPECT_EQ(0xEE, small[12]);
    ASSERT_EQ(64, ReadData(buffer, 64, 0xAD));
    EXPECT_EQ(9, buffer[1]);
    for (int i = 12; i < 64; ++i)
        ASSERT_EQ(0, buffer[i]) << i;
}

TEST_F(Transport, QueueGrowsPastItsCapacityAndKeepsOrder) {
    g_nDeviceReadTimeout = 20000;
    const int capacity = g_iQueueMaxCount;
    // Command replies of one family, parked by a reader of another: unlike stream
    // packets they have no bound of their own below the queue's memory bound.
    auto parkedPacket = [](int index) {
        Bytes p = Packet(0x77);
        p[2] = static_cast<unsigned char>(index >> 8);
        p[3] = static_cast<unsigned char>(index);
        return p;
    };
    auto feed = [&](int from, int to) {
        std::thread feeder([&, from, to] {
            for (int i = from; i < to; ++i)
                Send(parkedPacket(i));
            Send(Packet(0xB0));
        });
        unsigned char buffer[64];
        EXPECT_EQ(64, ReadData(buffer, 64, 0xB0));
        feeder.join();
    };
    auto take = [&](int index) {
        unsigned char buffer[64];
        ASSERT_EQ(64, ReadData(buffer, 64, 0xFF));
        ASSERT_EQ(index, buffer[2] * 256 + buffer[3]);
    };
    feed(0, 10);
    for (int i = 0; i < 5; ++i)
        take(i);  // the oldest slot is no longer the first of the buffer
    feed(10, capacity + 6);
    EXPECT_EQ(capacity + 1, g_iQueueCount);
    EXPECT_EQ(capacity * 2, g_iQueueMaxCount);
    for (int i = 5; i < capacity + 6; ++i)
        take(i);
    EXPECT_EQ(0, g_iQueueCount);
}

// While no run reads a stream kind, its packets that a reply reader comes across are
// dropped; a kind with a reader keeps them parked.
TEST_F(Transport, StreamPacketsOfAKindWithoutAReaderAreDroppedNotParked) {
    g_nDeviceReadTimeout = 2000;
    TransportSetStreamReader(NVS_KIND_SAMPLING, false);
    TransportSetStreamReader(NVS_KIND_NOTIFY, false);
    unsigned char buffer[64];
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 10; ++i) {
            Send(Packet(0xAD, static_cast<unsigned char>(i)));
            Send(Packet(0x01, static_cast<unsigned char>(i)));
        }
        Send(Packet(0x55, static_cast<unsigned char>(round)));
        ASSERT_EQ(64, ReadData(buffer, 64, 0xFF));
        EXPECT_EQ(Bytes({0x55, static_cast<unsigned char>(round)}), Bytes(buffer, buffer + 2));
        ASSERT_EQ(0, g_iQueueCount);
    }
    TransportSetStreamReader(NVS_KIND_NOTIFY, true);
    Send(Packet(0xAD, 1));
    Send(Packet(0x01, 2));
    Send(Packet(0x55, 3));
    ASSERT_EQ(64, ReadData(buffer, 64, 0xFF));
    ASSERT_EQ(1, g_iQueueCount);
    ASSERT_EQ(64, ReadData(buffer, 64, 0x01));
    EXPECT_EQ(2, buffer[1]);
}

// A stream kind with a reader keeps its newest 4096 packets; a withdrawn reader leaves
// nothing of its kind parked, and the other kinds' packets keep their order.
TEST_F(Transport, ARegisteredStreamKeepsItsNewestPacketsWithinTheBound) {
    g_nDeviceReadTimeout = 20000;
    constexpr int kBound = 4096;
    constexpr int kSent = kBound + 10;
    for (const unsigned char kind : {NVS_KIND_SAMPLING, NVS_KIND_NOTIFY}) {
        SCOPED_TRACE(static_cast<int>(kind));
        std::thread feeder([&] {
            Send(Packet(0x77, 1));  // a reply the reader does not want, parked first
            for (int i = 0; i < kSent; ++i) {
                Bytes p = Packet(kind);
                p[2] = static_cast<unsigned char>(i >> 8);
                p[3] = static_cast<unsigned char>(i);
                Send(p);
            }
            Send(Packet(0xB0, 2));
        });
        unsigned char buffer[64];
        ASSERT_EQ(64, ReadData(buffer, 64, 0xB0));
        feeder.join();
        ASSERT_EQ(kBound + 1, g_iQueueCount);
        for (int i = kSent - kBound; i < kSent; ++i) {
            ASSERT_EQ(64, ReadData(buffer, 64, kind));
            ASSERT_EQ(i, buffer[2] * 256 + buffer[3]);
        }
        ASSERT_EQ(1, g_iQueueCount);
        Send(Packet(kind, 9));
        Send(Packet(0xB0, 3));
        ASSERT_EQ(64, ReadData(buffer, 64, 0xB0));
        ASSERT_EQ(2, g_iQueueCount);
        TransportSetStreamReader(kind, false);
        EXPECT_EQ(1, g_iQueueCount);
        ASSERT_EQ(64, ReadData(buffer, 64, 0xFF));
        EXPECT_EQ(Bytes({0x77, 1}), Bytes(buffer, buffer + 2));
        TransportSetStreamReader(kind, true);
    }
}

TEST_F(Transport, HungUpPortEndsTheRead) {
    pty.CloseMaster();
    unsigned char buffer[64];
    const uint64_t start = GetMonotonicMs();
    EXPECT_EQ(0, ReadData(buffer, 64, 0xFF));
    EXPECT_LT(GetMonotonicMs() - start, 2000u);
}

// A hang-up with the node kept (the link still leads to a path): whichever call meets it
// first closes the port, the seam reports it, and the connection thread is woken.
TEST_F(Transport, HangUpClosesThePortWithItsNodeKeptAndWakesTheConnection) {
    struct Case {
        const char* name;
        std::function<void()> call;
        bool closes;  // the presence check only reports; the monitor closes
    } cases[] = {
        {"read",
         [] {
             unsigned char buffer[64];
             EXPECT_EQ(0, ReadData(buffer, 64, 0xFF));
         },
         true},
        {"write",
         [] {
             unsigned char request[4] = {0xCC, 0x00, 0x42, 0x00};
             EXPECT_LT(WriteData(request, 4, 1), 4);
         },
         true},
        {"discard", [] { DiscardStaleReplies(); }, true},
        {"presence check", [] { EXPECT_EQ(0, DeviceIsAlive()); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawPty fresh;
        ASSERT_TRUE(sandbox.Link(0, fresh.SlavePath()));
        ASSERT_EQ(1, FindDevice(0));
        g_hReconnectEvent.ResetEvent();
        {
            CDevicePort port;
            EXPECT_FALSE(PortHungUp(port.handle()));
            EXPECT_EQ(1, DeviceIsAlive());
            fresh.CloseMaster();
            EXPECT_TRUE(PortHungUp(port.handle()));
        }
        c.call();
        EXPECT_EQ(c.closes ? 0 : 1, DeviceIsConnected());
        EXPECT_EQ(c.closes ? 0u : NVS_WAIT_TIMEOUT, g_hReconnectEvent.WaitTimeout(0));
        EXPECT_EQ(0, DeviceIsAlive());
        DeviceClose();
    }
}

TEST_F(Transport, WriteToAPortThatTakesNothingGivesUp) {
    Bytes flood(1 << 20, 0x11);  // far more than the terminal buffers; nobody reads the master
    const uint64_t start = GetMonotonicMs();
    const int written = WriteData(flood.data(), static_cast<int>(flood.size()), 1);
    const uint64_t took = GetMonotonicMs() - start;
    EXPECT_LT(written, static_cast<int>(flood.size()));
    EXPECT_GT(written, 0);
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 10000u);
}

// A write far beyond what the terminal holds is refused again and again while the far
// end reads in bursts: each time room comes back it goes on, and everything arrives once
// and in order.
TEST_F(Transport, WriteRefusedByAFullPortGoesOnWhenRoomComesBack) {
    Bytes data(256 * 1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7 + i / 251);
    Bytes got;
    std::atomic<bool> done{false};
    std::thread far([&] {
        unsigned char chunk[512];
        pollfd pfd{pty.master(), POLLIN, 0};
        while (got.size() < data.size() && !(done.load() && poll(&pfd, 1, 200) <= 0)) {
            if (poll(&pfd, 1, 20) <= 0)
                continue;
            const ssize_t n = read(pty.master(), chunk, sizeof chunk);
            if (n > 0)
                got.insert(got.end(), chunk, chunk + n);
        }
    });
    EXPECT_EQ(static_cast<int>(data.size()), WriteData(data.data(), static_cast<int>(data.size()), 0));
    done = true;
    far.join();
    EXPECT_TRUE(got == data) << got.size() << " of " << data.size() << " bytes";
}

TEST_F(Transport, SendCommandCases) {
    unsigned char command[4] = {0xAA, 0x00, 0x03, 0x00};
    unsigned char reply[64];
    const uint64_t start = GetMonotonicMs();
    EXPECT_EQ(4, SendCommand(command, 4, nullptr, 64));
    EXPECT_GE(GetMonotonicMs() - start, 10u);
    EXPECT_EQ(Bytes(command, command + 4), Received());

    Send(Packet(0xAA, 1));
    EXPECT_EQ(64, SendCommand(command, 4, reply, 64));
    EXPECT_EQ(0xAA, reply[0]);

    // A reply longer than asked leaves its tail on the line for the next read.
    Send(Packet(0xAA, 2));
    EXPECT_EQ(5, SendCommand(command, 4, reply, 5));
    unsigned char tail[64];
    EXPECT_EQ(59, ReadData(tail, 59, 0xFF));

    Send(Packet(0xAA, 3, 20));  // short
    EXPECT_EQ(-1, SendCommand(command, 4, reply, 64));
    EXPECT_EQ(1, SendCommand(0x55));
}

TEST_F(Transport, CloseUnderAReaderEndsItAndNeverRecyclesItsDescriptor) {
    g_nDeviceReadTimeout = 5000;
    const PORT_HANDLE fd = g_hDevice.load();
    std::atomic<int> result{-1};
    std::atomic<uint64_t> took{0};
    std::thread reader([&] {
        unsigned char buffer[64];
        const uint64_t start = GetMonotonicMs();
        result = ReadData(buffer, 64, 0xFF);
        took = GetMonotonicMs() - start;
    });
    SleepEx(100);  // let the reader block in its wait (the checks below hold either way)
    DeviceClose();
    EXPECT_EQ(-1, g_hDevice.load());
    // While the reader may still hold it, the old descriptor number is not handed out again.
    const int other = open("/dev/null", O_RDONLY);
    if (result.load() == -1) {
        EXPECT_NE(fd, other);
    }
    reader.join();
    close(other);
    EXPECT_EQ(0, result.load());
    EXPECT_LT(took.load(), 3000u);
    EXPECT_EQ(0, WriteData(reinterpret_cast<unsigned char*>(const_cast<char*>("x")), 1, 1));
}

}  // namespace
