// libFuzzer target: the transport's reply routing and its reply queue, fed an arbitrary
// byte stream through the real read path: the library's port is a pseudo-terminal in a
// sandboxed device folder, the input writes the instrument's side in pieces of any size
// and, between them, readers of every kind and length take from it.
//
// Input: [0] bit 0 a sampling reader, bit 1 a notification reader registered at the
// start, bit 2 a read time-out of 1 ms (else 0: a read takes only what is there), then
// steps of [step][argument] (at most 96):
//   0 write the next `argument` bytes of the input to the port
//   1 ReadData, 2 ReadDataBefore a deadline already passed: kind kKinds[argument % 6],
//     length kLengths[argument / 6 % 10], into a buffer of exactly that length
//   3 DiscardStaleReplies   4 register (bit 1) or withdraw the stream reader of the
//   sampling (bit 0 set) or notification kind   5 ClearReplyQueue
//   6 SendCommand of the next argument % 8 + 1 input bytes with a reply of length
//     kLengths[argument / 8 % 10]   7 SendCommand of one byte
// Whatever the library writes (requests, filler bytes) is read and dropped; its pauses
// are at most 50 µs (SetPauseCeilingUs).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <memory>

#include "FuzzReplay.h"
#include "LinkSandbox.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/SleepSeam.h"
#include "platform/Transport.h"
#include NVS_DEVICE_SEAM_HEADER

namespace {

constexpr unsigned char kKinds[6] = {NVS_KIND_SAMPLING, NVS_KIND_NOTIFY, NVS_KIND_REPLY, 0xB0, 0xB8, 0xCC};
constexpr int kLengths[10] = {1, 2, 5, 12, 32, 63, 64, 65, 128, 200};
constexpr int kMaxSteps = 96;

struct Port {
    LinkSandbox sandbox;
    RawPty pty;
    int slave = -1;

    Port() {
        SetPauseCeilingUs(50);
        fcntl(pty.master(), F_SETFL, fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
        slave = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (!sandbox.Link(0, pty.SlavePath()) || slave < 0) {
            fprintf(stderr, "transport fuzz: no port\n");
            abort();
        }
    }
    ~Port() {
        DeviceClose();
        if (slave >= 0)
            close(slave);
    }
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;
    void Connect() {
        if (DeviceIsConnected())
            return;
        SetTargetCheckResult(true);
        DeviceSeamSetTargetCheck(StubTargetCheck);
        const int found = DoFindDevice(0);
        DeviceSeamSetTargetCheck(nullptr);
        FuzzCheck(found == 1, "the port opens");
    }
    // Bytes waiting to be read at the library's end of the port.
    int Pending() const {
        int n = 0;
        return ioctl(slave, FIONREAD, &n) == 0 ? n : 0;
    }
    // Writes the instrument's bytes and waits (a bounded spin) until the library's end
    // of the port holds them: the terminal hands them on asynchronously, and a read that
    // came before them would make the input's outcome a matter of timing.
    void Write(const uint8_t* bytes, size_t n) {
        const int target = Pending() + static_cast<int>(n);
        while (n > 0) {
            const ssize_t put = write(pty.master(), bytes, n);
            if (put <= 0)
                break;  // the port is full: the rest is lost, as on a real line
            bytes += put;
            n -= static_cast<size_t>(put);
        }
        const uint64_t until = GetMonotonicUs() + 100000;
        while (Pending() < target - static_cast<int>(n) && GetMonotonicUs() < until)
            sched_yield();
    }
    void DropWritten() {
        uint8_t sink[512];
        while (read(pty.master(), sink, sizeof sink) > 0) {
        }
    }
};

// Made at the first input, after the library's own static objects, so it is gone before
// them at the exit (the sandbox folder removed).
Port& ThePort() {
    static Port port;
    return port;
}

bool Matches(unsigned char first, unsigned char expected) {
    if (expected == NVS_KIND_REPLY)
        return first != NVS_KIND_SAMPLING && first != NVS_KIND_NOTIFY;
    return first == expected;
}

// Whether a reader of each stream kind (sampling, notification) is registered now.
bool s_registered[2] = {false, false};

void Register(unsigned char kind, bool present) {
    TransportSetStreamReader(kind, present);
    s_registered[kind == NVS_KIND_SAMPLING ? 0 : 1] = present;
}

void Read(Port& port, bool before, uint8_t argument) {
    const unsigned char kind = kKinds[argument % 6];
    const int length = kLengths[argument / 6 % 10];
    // With nothing in the port, a stream packet can only come from the queue, where none
    // may be while its kind has no reader.
    const bool stream = kind == NVS_KIND_SAMPLING || kind == NVS_KIND_NOTIFY;
    const bool nothingParked = stream && !s_registered[kind == NVS_KIND_SAMPLING ? 0 : 1] && port.Pending() == 0;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[length]);
    const int n =
        before ? ReadDataBefore(buffer.get(), length, kind, GetMonotonicUs()) : ReadData(buffer.get(), length, kind);
    FuzzCheck(n >= 0 && n <= length, "a read delivers at most its length");
    if (n > 0)
        FuzzCheck(Matches(buffer[0], kind), "a read delivers only its kind");
    FuzzCheck(!nothingParked || n == 0, "no stream packet parked while its kind has no reader");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Port& port = ThePort();
    port.Connect();
    const uint8_t flags = size > 0 ? data[0] : 0;
    SetDeviceTimeoutSetting((flags & 4) ? 1 : 0, 20);
    ClearReplyQueue();
    Register(NVS_KIND_SAMPLING, flags & 1);
    Register(NVS_KIND_NOTIFY, flags & 2);
    size_t at = 1;
    for (int steps = 0; steps < kMaxSteps && at + 2 <= size; ++steps) {
        const uint8_t step = data[at] % 8;
        const uint8_t argument = data[at + 1];
        at += 2;
        switch (step) {
            case 0: {
                const size_t n = std::min<size_t>(argument, size - at);
                port.Write(data + at, n);
                at += n;
                break;
            }
            case 1:
            case 2:
                Read(port, step == 2, argument);
                break;
            case 3:
                DiscardStaleReplies();
                break;
            case 4:
                Register((argument & 1) ? NVS_KIND_SAMPLING : NVS_KIND_NOTIFY, (argument & 2) != 0);
                break;
            case 5:
                ClearReplyQueue();
                break;
            case 6: {
                const size_t n = std::min<size_t>(argument % 8 + 1, size - at);
                std::unique_ptr<unsigned char[]> command(new unsigned char[n ? n : 1]);
                memcpy(command.get(), data + at, n);
                at += n;
                const int length = kLengths[argument / 8 % 10];
                std::unique_ptr<unsigned char[]> reply(new unsigned char[length]);
                const int r = SendCommand(command.get(), static_cast<int>(n), reply.get(), length);
                FuzzCheck(r == -1 || r == length || (n == 0 && r == -1), "a pass-through result");
                break;
            }
            default:
                SendCommand(argument);
                break;
        }
        port.DropWritten();
    }
    Register(NVS_KIND_SAMPLING, false);
    Register(NVS_KIND_NOTIFY, false);
    ClearReplyQueue();
    tcflush(port.slave, TCIOFLUSH);
    port.DropWritten();
    FuzzCheck(DeviceIsConnected() != 0, "the port stays open");
    return 0;
}
