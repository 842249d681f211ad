// The memory command 12 55 AA: reads, writes or erases a span of one memory target at a
// 32-bit address. Two transfer forms: 16-bit words (big-endian in memory, up to 16 per
// packet) and raw bytes (up to 32 per packet, records kept in the host's little-endian
// layout). Every packet is a 64-byte request answered by a 64-byte reply that echoes the
// header and sets byte 4 to 0xFF on success.
//
// Owns: the packet builder and reply check (pure), and the transfer loops. A transfer
// stops at the first failure; packets already written stay written. No lock: callers
// hold g_CriticalSection.
#pragma once

#include <atomic>
#include <cstdint>

#include "protocol/Exchange.h"

constexpr int kMemoryPacketLength = 64;
constexpr int kMemoryDataOffset = 16;

// Memory targets.
constexpr uint8_t kMemMainIdentity = 0x01;  // main module: identity record
constexpr uint8_t kMemProgram = 0x03;       // microcontroller program memory
constexpr uint8_t kMemMainData = 0x12;      // main (ECG) module data memory
constexpr uint8_t kMemPPG = 0x13;           // the PPG side's memory

enum class MemoryOp { Read, Write, Erase };

// The request header (bytes 0..11) and, for a write, count data bytes from byte 16;
// the rest of the 64 bytes zero. count is at most 48.
void BuildMemoryRequest(uint8_t* out, MemoryOp op, uint8_t target, uint8_t count, uint32_t address,
                        const uint8_t* data);

// Checks a 64-byte reply against the request it answers: the echoed command, direction,
// target, count and address (Mismatch when any differs, so a late reply to another
// packet is never taken for this one), then the success mark in byte 4 (Refused).
proto::Result CheckMemoryReply(const uint8_t* reply, MemoryOp op, uint8_t target, uint8_t count, uint32_t address);

// One packet: write the request, sleep pauseMs, read the 64-byte reply, check it.
proto::Result MemoryPacket(uint8_t* reply, MemoryOp op, uint8_t target, uint8_t count, uint32_t address,
                           const uint8_t* data, unsigned pauseMs);

// The calling thread's reads give up between packets once *flag is non-zero (GaveUp;
// the values read so far stay, the rest are zero). Null (the default) never gives up;
// a thread that set a flag sets null again before it ends. Writes and erases always run
// to their end: a half-written record is worse than a late stop. The flag must outlive
// the registration.
void SetMemoryReadStop(const std::atomic<int>* flag);

// Word form: one 16-bit value per int; count values from address. The read zeroes the
// array first. A count of 0 is true without traffic.
bool FlashRead(unsigned int address, unsigned char target, int* words, unsigned long count);
bool FlashWrite(unsigned int address, unsigned char target, int* words, unsigned long count);
// Byte form.
bool FlashRead(unsigned int address, unsigned char target, unsigned char* data, unsigned long count);
bool FlashWrite(unsigned int address, unsigned char target, unsigned char* data, unsigned long count);
// One erase request at the address; true when a 64-byte reply arrives.
bool FlashErase(unsigned char target, unsigned int address);

namespace proto {
Result FlashReadWords(uint32_t address, uint8_t target, int* words, unsigned long count);
Result FlashWriteWords(uint32_t address, uint8_t target, const int* words, unsigned long count);
Result FlashReadBytes(uint32_t address, uint8_t target, uint8_t* data, unsigned long count);
Result FlashWriteBytes(uint32_t address, uint8_t target, const uint8_t* data, unsigned long count);
}  // namespace proto
