// The packet transport: every exchange with the instrument goes through WriteData,
// ReadData and SendCommand.
//
// The wire has no framing: a request's length is fixed by its command family, and the
// instrument's packets are 64 bytes as a rule (a few replies are shorter). A packet's
// kind is its first byte: 0xAD sampling stream, 0x01 playback notification, anything
// else a command reply. A packet read by one reader but meant for another is parked in
// the reply queue until a reader of its kind asks. Stream packets (0xAD, 0x01) are
// parked only while a reader of their kind is registered (TransportSetStreamReader),
// at most 4096 of each kind (the oldest gives way); otherwise they are dropped.
//
// A read or write that finds the port hung up (end of file, or the device gone under the
// descriptor) closes it and wakes the connection thread (DevicePortGone, Device.h).
//
// Owns: the reply queue (g_pQueueData, g_iQueueCount, g_iQueueMaxCount), the stream
// reader registrations and the read lock g_ReadCriticalSection, innermost of the
// library's locks but for the serial link's own (a hang-up found by a read closes the
// port under it). Callers hold the global lock around a request and its reply; the
// transport does not take it.
#pragma once

#include <atomic>
#include <cstdint>

#include "SimpleCriticalSection.h"

// An owning byte buffer that only grows.
class CAutoPtrData {
public:
    explicit CAutoPtrData(uint32_t size);
    ~CAutoPtrData();
    CAutoPtrData(const CAutoPtrData&) = delete;
    CAutoPtrData& operator=(const CAutoPtrData&) = delete;

    // Grows to size bytes (zero-filled), keeping the old contents. False when out of memory.
    bool Resize(uint32_t size);
    // Zeroes the first 4 bytes.
    void Clear();
    unsigned char* GetData() const { return m_pData; }
    uint32_t GetSize() const { return m_nSize; }

private:
    unsigned char* m_pData;
    uint32_t m_nSize;
};

constexpr int NVS_PACKET_SIZE = 64;
constexpr unsigned char NVS_KIND_SAMPLING = 0xAD;
constexpr unsigned char NVS_KIND_NOTIFY = 0x01;
constexpr unsigned char NVS_KIND_REPLY = 0xFF;  // any packet that is neither 0xAD nor 0x01

extern CAutoPtrData g_pQueueData;  // the slots, 64 bytes each
extern int g_iQueueCount;
extern int g_iQueueMaxCount;
extern CSimpleCriticalSection g_ReadCriticalSection;

// Reads one packet of the expected kind into buffer (at most length bytes): 0xAD, 0x01,
// 0xFF (any command reply) or the first byte of one reply family (0xB0, 0xB8, 0xCC).
// Returns the bytes delivered; 0 when nothing of that kind came within the read
// time-out, when no port is open, or for a null buffer or length <= 0.
int ReadData(unsigned char* buffer, int length, unsigned char expected);

// Writes length bytes in pieces of at most 64. noTimeout != 0 waits for the port as long
// as it keeps taking data; otherwise each wait is bounded by the write time-out. A port
// that takes nothing for the stall limit ends the write. Returns the bytes written
// (0 when no port is open or for bad arguments).
int WriteData(unsigned char* data, int length, int noTimeout);

// Mutes the calling thread's writes while *flag is non-zero: WriteData on this thread
// then writes nothing and returns 0. Null (the default) mutes nothing; a thread that set
// a flag sets null again before it ends. A thread that its joiner may stop waiting for
// sets this, so that nothing it does after that reaches the instrument. The flag must
// outlive the registration.
void TransportMuteThreadWhile(const std::atomic<int>* flag);

// The raw pass-through: writes the command, pauses 10 ms and reads one reply of
// replyLength bytes. replyLength on success, commandLength when no reply is wanted
// (null reply or replyLength 0), -1 on any short transfer or bad argument.
int SendCommand(unsigned char* command, int commandLength, unsigned char* reply, int replyLength);
// Writes one byte without time-out: 1 when written, 0 otherwise.
int SendCommand(unsigned char byte);

// Empties the reply queue under the read lock (the connect handshake does this first).
// The stream reader registrations stay.
void ClearReplyQueue();

// Registers (present true) or withdraws the reader of one stream kind: NVS_KIND_SAMPLING
// or NVS_KIND_NOTIFY (other kinds are ignored). While none is registered, packets of that
// kind that another reader comes across are dropped, not parked; while one is, at most
// 4096 of them stay parked, the oldest dropped first. A withdrawal drops what is parked
// of that kind. A run that reads a stream (sampling, playback) must register before its
// first request, or the first packets its request brings may be dropped, and withdraw
// when it has ended. Never blocks for long (takes the read lock).
void TransportSetStreamReader(unsigned char kind, bool present);

// ---- Reply pairing ---------------------------------------------------------------------
// A reply is paired with its request only by what it repeats of it; these two let the
// protocol drop what cannot be the reply to the request it is about to write or has
// just written.

// Discards command replies left over from earlier exchanges: those parked in the queue
// and those already waiting in the port, without waiting for more. Sampling (0xAD) and
// notification (0x01) packets read from the port are parked for their readers; a piece
// shorter than a packet is dropped. Called before a command request is written.
void DiscardStaleReplies();

// Drops the command replies that arrive until untilUs (GetMonotonicUs clock) and those
// parked; stream and notification packets met on the way are parked for their readers.
// Writes nothing (no filler byte). True when a command reply was dropped. The read lock
// is taken one short wait at a time.
bool DropRepliesArrivingBefore(uint64_t untilUs);

// ReadData bounded by the caller's deadline (GetMonotonicUs clock) instead of a fresh
// read time-out, so that one exchange that drops stale packets still waits one read
// time-out in all. Once the deadline has passed it only takes what is already parked or
// waiting in the port (no wait, no filler byte).
int ReadDataBefore(unsigned char* buffer, int length, unsigned char expected, uint64_t deadlineUs);
