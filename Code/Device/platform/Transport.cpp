// The packet transport, over the port seam (PortSeam.h) on every platform.
//
// Reads are passes: search the reply queue, else read the port once within the read
// time-out; a packet of another kind is parked and the next pass begins. The read lock
// is held for one pass. One deadline covers the whole call: once it has passed, a call
// only drains what already waits in the port (a reply can sit behind a run of stream
// packets) and then gives up, so a flowing stream can never keep a reader forever.
#include "Transport.h"
#include "ThreadFlags.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "Device.h"
#include "Platform.h"
#include "PortSeam.h"

namespace {

constexpr int kInitialSlots = 2048;
constexpr int kMaxSlots = 1 << 20;           // 64 MiB of parked packets at the most
constexpr int kStreamParkBound = 4096;       // parked packets of one stream kind at the most
constexpr unsigned int kSliceMs = 20;        // waits are cut into slices to notice a closed port
constexpr unsigned int kMinStallMs = 1000;   // a port that takes nothing this long ends a write
constexpr int kDrainPackets = 64;            // packets taken after the deadline, at the most
constexpr unsigned char kFillerByte = 0x38;  // written after each empty read
constexpr unsigned int kWriteWaitMs = 10;    // one wait for room in a write, at the most
constexpr unsigned int kRefusedPauseMs = 1;  // after a write refused without waiting

int s_iQueueHead = 0;  // physical slot of the oldest parked packet (the queue is a ring)
// Parked packets per kind (sampling, notification, command reply), so that a reader
// whose kind has nothing parked skips the search: a reply reader that parks a long run
// of stream packets stays linear.
int s_nParked[3] = {0, 0, 0};
constexpr int kReplyIndex = 2;

// Whether a reader of each stream kind (sampling, notification) is registered: only
// then are packets of that kind parked.
std::atomic<bool> s_bStreamReader[2] = {{false}, {false}};

int KindIndex(unsigned char first) {
    return first == NVS_KIND_SAMPLING ? 0 : first == NVS_KIND_NOTIFY ? 1 : kReplyIndex;
}

unsigned char* Slot(int logical) {
    const int physical = (s_iQueueHead + logical) % g_iQueueMaxCount;
    return g_pQueueData.GetData() + static_cast<size_t>(physical) * NVS_PACKET_SIZE;
}

bool Matches(unsigned char first, unsigned char expected) {
    if (expected == NVS_KIND_REPLY)
        return first != NVS_KIND_SAMPLING && first != NVS_KIND_NOTIFY;
    return first == expected;
}

// Removes logical slot k, keeping the order of the others; the shorter side moves.
void RemoveSlot(int k) {
    --s_nParked[KindIndex(Slot(k)[0])];
    if (k < g_iQueueCount / 2) {
        for (int i = k; i > 0; --i)
            memcpy(Slot(i), Slot(i - 1), NVS_PACKET_SIZE);
        s_iQueueHead = (s_iQueueHead + 1) % g_iQueueMaxCount;
    } else {
        for (int i = k; i < g_iQueueCount - 1; ++i)
            memcpy(Slot(i), Slot(i + 1), NVS_PACKET_SIZE);
    }
    --g_iQueueCount;
    if (g_iQueueCount == 0)
        s_iQueueHead = 0;
}

// Takes the oldest parked packet of the expected kind into buffer. Returns the bytes
// delivered (at most length, at most 64), 0 on a miss.
int TakeFromQueue(unsigned char* buffer, int length, unsigned char expected) {
    if (s_nParked[KindIndex(expected)] == 0)
        return 0;
    for (int k = 0; k < g_iQueueCount; ++k) {
        unsigned char* slot = Slot(k);
        if (!Matches(slot[0], expected))
            continue;
        const int delivered = std::min(length, NVS_PACKET_SIZE);
        memcpy(buffer, slot, static_cast<size_t>(delivered));
        RemoveSlot(k);
        return delivered;
    }
    return 0;
}

bool GrowQueue() {
    if (g_iQueueMaxCount >= kMaxSlots)
        return false;
    if (s_iQueueHead != 0) {  // unroll the ring so the slots keep their order after the copy
        std::vector<unsigned char> ordered(static_cast<size_t>(g_iQueueCount) * NVS_PACKET_SIZE);
        for (int i = 0; i < g_iQueueCount; ++i)
            memcpy(&ordered[static_cast<size_t>(i) * NVS_PACKET_SIZE], Slot(i), NVS_PACKET_SIZE);
        memcpy(g_pQueueData.GetData(), ordered.data(), ordered.size());
        s_iQueueHead = 0;
    }
    const int slots = g_iQueueMaxCount * 2;
    if (!g_pQueueData.Resize(static_cast<uint32_t>(slots) * NVS_PACKET_SIZE))
        return false;
    g_iQueueMaxCount = slots;
    return true;
}

// Removes the oldest parked packet of kind index `kind`.
void RemoveOldestOf(int kind) {
    for (int k = 0; k < g_iQueueCount; ++k) {
        if (KindIndex(Slot(k)[0]) == kind) {
            RemoveSlot(k);
            return;
        }
    }
}

// Removes every parked packet of kind index `kind`, keeping the order of the others.
void DropParked(int kind) {
    if (s_nParked[kind] == 0)
        return;
    int kept = 0;
    for (int i = 0; i < g_iQueueCount; ++i) {
        unsigned char* slot = Slot(i);
        if (KindIndex(slot[0]) == kind)
            continue;
        if (kept != i)
            memcpy(Slot(kept), slot, NVS_PACKET_SIZE);
        ++kept;
    }
    g_iQueueCount = kept;
    s_nParked[kind] = 0;
    if (g_iQueueCount == 0)
        s_iQueueHead = 0;
}

// Parks the first 64 bytes of a packet of `length` bytes (the rest of the slot zeroed).
// A stream packet is dropped while no reader of its kind is registered, and beyond
// kStreamParkBound of its kind the oldest of them gives way: an instrument that streams
// while nobody samples must not fill the host's memory.
void Park(const unsigned char* packet, int length) {
    const int kind = KindIndex(packet[0]);
    if (kind != kReplyIndex) {
        if (!s_bStreamReader[kind].load())
            return;
        if (s_nParked[kind] >= kStreamParkBound)
            RemoveOldestOf(kind);
    }
    if (g_iQueueCount == g_iQueueMaxCount && !GrowQueue())
        RemoveSlot(0);  // at the memory bound the oldest parked packet gives way
    unsigned char* slot = Slot(g_iQueueCount);
    const int kept = std::min(length, NVS_PACKET_SIZE);
    memcpy(slot, packet, static_cast<size_t>(kept));
    memset(slot + kept, 0, static_cast<size_t>(NVS_PACKET_SIZE - kept));
    ++g_iQueueCount;
    ++s_nParked[KindIndex(slot[0])];
}

// Reads once after waiting at most waitMs for data, the wait cut into slices so that a
// port closed by another thread is noticed. Failed once the port has been closed.
PortIo ReadWithin(const CDevicePort& port, unsigned char* buffer, int length, unsigned int waitMs, size_t* got) {
    if (PortSingleCallIO()) {
        *got = 0;
        return port.Valid() ? PortRead(port.handle(), buffer, static_cast<size_t>(length), waitMs, got)
                            : PortIo::Failed;
    }
    const uint64_t end = GetMonotonicMs() + waitMs;
    for (;;) {
        *got = 0;
        if (!port.Valid())
            return PortIo::Failed;
        const uint64_t now = GetMonotonicMs();
        const uint64_t left = end > now ? end - now : 0;
        const unsigned int slice = static_cast<unsigned int>(std::min<uint64_t>(left, kSliceMs));
        const PortIo io = PortRead(port.handle(), buffer, static_cast<size_t>(length), slice, got);
        if (io != PortIo::Nothing || left <= slice)
            return io;
    }
}

enum class PassEnd { Complete, Empty, HungUp };

// The port part of one read pass into buffer[0..length): returns the bytes read. After
// each read that finds nothing the instrument is sent one filler byte and the pass
// sleeps 10 ms; three such empty tries in a row end it.
int ReadPort(const CDevicePort& port, unsigned char* buffer, int length, uint64_t deadlineUs, bool draining,
             PassEnd& end) {
    int got = 0;
    int emptyTries = 0;
    end = PassEnd::Complete;
    while (got < length && emptyTries < 3) {
        const uint64_t now = GetMonotonicUs();
        const unsigned int leftMs =
            (draining || now >= deadlineUs) ? 0 : static_cast<unsigned int>((deadlineUs - now + 999) / 1000);
        size_t n = 0;
        const PortIo io = ReadWithin(port, buffer + got, length - got, leftMs, &n);
        if (PortSingleCallIO()) {
            got = io == PortIo::Moved ? static_cast<int>(n) : 0;  // one read: no filler, no retry
            if (io == PortIo::HungUp)
                end = PassEnd::HungUp;
            break;
        }
        if (io == PortIo::Moved) {
            got += static_cast<int>(n);
            emptyTries = 0;
        } else if (io == PortIo::HungUp) {
            end = PassEnd::HungUp;  // the port has gone: nothing more will come
            DevicePortGone(port);
            break;
        } else if (io == PortIo::Nothing) {
            if (draining)
                break;  // after the deadline only what is already there is taken
            unsigned char filler = kFillerByte;
            WriteData(&filler, 1, 1);
            SleepEx(10);
            ++emptyTries;
        } else {
            break;
        }
    }
    if (got == 0 && end == PassEnd::Complete)
        end = PassEnd::Empty;
    return got;
}

}  // namespace

// ---- CAutoPtrData --------------------------------------------------------------------

CAutoPtrData::CAutoPtrData(uint32_t size) : m_pData(new unsigned char[size ? size : 1]), m_nSize(size) {}

CAutoPtrData::~CAutoPtrData() { delete[] m_pData; }

bool CAutoPtrData::Resize(uint32_t size) {
    if (size <= m_nSize)
        return true;
    unsigned char* grown = new (std::nothrow) unsigned char[size]();
    if (grown == nullptr)
        return false;
    memcpy(grown, m_pData, m_nSize);
    delete[] m_pData;
    m_pData = grown;
    m_nSize = size;
    return true;
}

void CAutoPtrData::Clear() {
    if (m_nSize >= 4)
        memset(m_pData, 0, 4);
}

int g_iQueueCount = 0;
int g_iQueueMaxCount = kInitialSlots;

// ---- Reads and writes ----------------------------------------------------------------

namespace {

// The reader behind ReadData and ReadDataBefore: passes until a packet of the expected
// kind comes or the deadline has passed. After the deadline, `fullPasses` passes may
// still wait their few empty tries (ReadData's own time-out grants one); the rest only
// drain what already waits, at most kDrainPackets.
int ReadUntil(unsigned char* buffer, int length, unsigned char expected, uint64_t deadlineUs, int fullPasses) {
    if (buffer == nullptr || length <= 0 || !DeviceIsConnected())
        return 0;
    int drained = 0;
    for (;;) {
        const bool draining = GetMonotonicUs() >= deadlineUs && drained >= fullPasses;
        CAutoCriticalSection lock(g_ReadCriticalSection);
        if (const int taken = TakeFromQueue(buffer, length, expected))
            return taken;
        CDevicePort port;
        if (!port.Valid())
            return 0;
        PassEnd end;
        const int got = ReadPort(port, buffer, length, deadlineUs, draining, end);
        if (got == 0)
            return 0;
        if (Matches(buffer[0], expected))
            return got;
        Park(buffer, got);
        if (end == PassEnd::HungUp)
            return 0;
        if (GetMonotonicUs() >= deadlineUs && ++drained > kDrainPackets)
            return 0;
    }
}

}  // namespace

int ReadData(unsigned char* buffer, int length, unsigned char expected) {
    const uint64_t deadlineUs = GetMonotonicUs() + static_cast<uint64_t>(g_nDeviceReadTimeout.load()) * 1000;
    return ReadUntil(buffer, length, expected, deadlineUs, 1);
}

namespace {
CThreadFlagTable s_muted;  // threads whose writes go nowhere while their flag is raised
}  // namespace

void TransportMuteThreadWhile(const std::atomic<int>* flag) { s_muted.Set(flag); }

int WriteData(unsigned char* data, int length, int noTimeout) {
    if (data == nullptr || length <= 0)
        return 0;
    if (s_muted.Raised())
        return 0;
    CDevicePort port;
    if (!port.Valid())
        return 0;
    const unsigned int timeoutMs = g_nDeviceWriteTimeout.load();
    const uint64_t budgetEndUs = GetMonotonicUs() + static_cast<uint64_t>(timeoutMs) * 1000;
    const uint64_t stallUs = static_cast<uint64_t>(std::max(timeoutMs, kMinStallMs)) * 1000;
    uint64_t lastProgressUs = GetMonotonicUs();
    if (PortSingleCallIO()) {
        size_t n = 0;  // one call for the whole request, never retried
        PortWrite(port.handle(), data, static_cast<size_t>(length), timeoutMs, &n);
        return static_cast<int>(n);
    }
    int written = 0;
    bool refused = false;
    while (written < length) {
        if (!port.Valid())
            break;  // closed by another thread
        const uint64_t now = GetMonotonicUs();
        if (now - lastProgressUs >= stallUs)
            break;  // the port has taken nothing for too long
        // Wait for room only after the port refused a piece: a terminal may report
        // itself not writable while it still takes data. The wait ends as soon as the
        // port takes data again: a stream batch cannot afford a fixed pause.
        unsigned int waitMs = 0;
        if (refused) {
            if (noTimeout)
                waitMs = static_cast<unsigned int>((lastProgressUs + stallUs - now) / 1000);
            else
                waitMs = now < budgetEndUs ? static_cast<unsigned int>((budgetEndUs - now + 999) / 1000) : 0;
            waitMs = std::min(waitMs, kWriteWaitMs);
        }
        const int piece = std::min(length - written, NVS_PACKET_SIZE);
        size_t n = 0;
        const uint64_t triedUs = GetMonotonicUs();
        const PortIo io = PortWrite(port.handle(), data + written, static_cast<size_t>(piece), waitMs, &n);
        if (io == PortIo::Moved) {
            written += static_cast<int>(n);
            lastProgressUs = GetMonotonicUs();
            refused = false;
        } else if (io == PortIo::Nothing) {
            refused = true;
            // Refused at once although the wait found room (or there was no wait left):
            // a short pause, so the loop never spins.
            if (GetMonotonicUs() - triedUs < kRefusedPauseMs * 1000)
                SleepEx(kRefusedPauseMs);
        } else {
            if (io == PortIo::HungUp)
                DevicePortGone(port);
            break;
        }
    }
    return written;
}

int SendCommand(unsigned char* command, int commandLength, unsigned char* reply, int replyLength) {
    if (command == nullptr || commandLength <= 0 || replyLength < 0)
        return -1;
    if (WriteData(command, commandLength, 1) < commandLength)
        return -1;
    SleepEx(10);
    if (replyLength == 0 || reply == nullptr)
        return commandLength;
    return ReadData(reply, replyLength, NVS_KIND_REPLY) == replyLength ? replyLength : -1;
}

int SendCommand(unsigned char byte) { return WriteData(&byte, 1, 1) == 1 ? 1 : 0; }

void TransportSetStreamReader(unsigned char kind, bool present) {
    const int index = KindIndex(kind);
    if (index == kReplyIndex)
        return;
    CAutoCriticalSection lock(g_ReadCriticalSection);
    s_bStreamReader[index].store(present);
    if (!present)
        DropParked(index);  // the run has ended: what it left parked has no reader any more
}

void ClearReplyQueue() {
    CAutoCriticalSection lock(g_ReadCriticalSection);
    g_iQueueCount = 0;
    s_iQueueHead = 0;
    s_nParked[0] = s_nParked[1] = s_nParked[2] = 0;
    g_pQueueData.Clear();
}

// ---- Reply pairing ---------------------------------------------------------------------

namespace {

constexpr int kDiscardPackets = 64;              // packets taken from the port by one discard, at the most
constexpr uint64_t kPacketCompletionUs = 20000;  // a stream packet seen in part: its rest is this close

// A stream or notification packet of which `got` bytes were read: its rest follows at
// once, and the whole packet is parked for its reader (a piece that stays short is
// dropped). `end` tells whether the port hung up meanwhile. Hold the read lock.
void ParkStreamPacket(const CDevicePort& port, unsigned char* packet, int got, PassEnd& end) {
    const uint64_t until = GetMonotonicUs() + kPacketCompletionUs;
    while (got < NVS_PACKET_SIZE && end != PassEnd::HungUp && GetMonotonicUs() < until) {
        const int more = ReadPort(port, packet + got, NVS_PACKET_SIZE - got, 0, true, end);
        if (more == 0)
            SleepEx(1);
        got += more;
    }
    if (got == NVS_PACKET_SIZE)
        Park(packet, got);
}

}  // namespace

void DiscardStaleReplies() {
    if (!DeviceIsConnected())
        return;
    CAutoCriticalSection lock(g_ReadCriticalSection);
    DropParked(kReplyIndex);
    CDevicePort port;
    if (!port.Valid())
        return;
    for (int n = 0; n < kDiscardPackets; ++n) {
        unsigned char packet[NVS_PACKET_SIZE];
        PassEnd end;
        int got = ReadPort(port, packet, NVS_PACKET_SIZE, 0, true, end);
        if (got == 0)
            return;
        if (!Matches(packet[0], NVS_KIND_REPLY))
            ParkStreamPacket(port, packet, got, end);
        if (end == PassEnd::HungUp)
            return;
    }
}

bool DropRepliesArrivingBefore(uint64_t untilUs) {
    bool dropped = false;
    while (DeviceIsConnected()) {
        CAutoCriticalSection lock(g_ReadCriticalSection);
        if (s_nParked[kReplyIndex] != 0) {
            DropParked(kReplyIndex);
            dropped = true;
        }
        CDevicePort port;
        const uint64_t now = GetMonotonicUs();
        if (!port.Valid() || now >= untilUs)
            break;
        // One slice at a time, so that the other readers get the read lock in between.
        const unsigned int waitMs =
            static_cast<unsigned int>(std::min<uint64_t>((untilUs - now + 999) / 1000, kSliceMs));
        unsigned char packet[NVS_PACKET_SIZE];
        size_t n = 0;
        const PortIo io = ReadWithin(port, packet, NVS_PACKET_SIZE, waitMs, &n);
        if (io == PortIo::HungUp) {
            DevicePortGone(port);
            break;
        }
        if (io == PortIo::Nothing)
            continue;
        if (io != PortIo::Moved)
            break;
        if (!Matches(packet[0], NVS_KIND_REPLY)) {
            PassEnd end = PassEnd::Complete;
            ParkStreamPacket(port, packet, static_cast<int>(n), end);
            continue;
        }
        dropped = true;
    }
    return dropped;
}

int ReadDataBefore(unsigned char* buffer, int length, unsigned char expected, uint64_t deadlineUs) {
    return ReadUntil(buffer, length, expected, deadlineUs, 0);
}
