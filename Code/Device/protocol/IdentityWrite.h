// Identity-record writes: the factory gives each module its letters, model number, serial
// prefix and number and hardware version. Each writer reads the 12-byte identity record
// through the memory command (address 0 of target 0x01 for the main module, 0x13 for the
// PPG side), changes the bytes it owns in the reply, erases the main module's record (the
// PPG side is overwritten without an erase) and sends the changed reply back as the write.
//
// Owns: the write-packet builders (pure) and the five writers. The read reply is checked
// before anything is erased: a reply that is not the record's (another header, target,
// count or address, or not accepted) ends the writer with nothing erased or written.
// Cached records change only where a writer says so. Callers hold g_CriticalSection.
#pragma once

#include <cstdint>

#include "api/nvs300.h"

// The memory target of module 0 (main) or any other value (PPG side).
uint8_t IdentityTarget(int module);

// ---- Pure builders ----------------------------------------------------------------------

// The 64-byte read request of the identity record: 12 55 AA 00 00 target 00 0C, address 0.
void BuildIdentityReadRequest(uint8_t* out, uint8_t target);
// True when a 64-byte reply is the accepted read of target's identity record.
bool IsIdentityReadReply(const uint8_t* reply, uint8_t target);

// Each turns a copy of the read reply (packet, 64 bytes) into the write request: byte 3
// 0xFF, the writer's identity bytes (identity byte k is packet byte 16 + k) and, for the
// first two, byte 4 = 0; every other byte stays as read.
void PutModelInfoWrite(uint8_t* packet, const MODEL_INFORMATION& info);            // identity 0..7
void PutProductNameWrite(uint8_t* packet, char first, char second);                // identity 0..2
void PutHWInfoWrite(uint8_t* packet, int major, int minor);                        // identity 8, 9
void PutSerialNumberWrite(uint8_t* packet, int prefix, int serial);                // identity 5..7
void PutGenerationModelWrite(uint8_t* packet, uint8_t generation, uint8_t model);  // identity 3, 4

// The external-respiration module's preparation before its record is written: calibration
// setting 6 = 0x3F (CC FF 06 00 3F, zeros to 64 bytes).
void BuildRespirationIdentityPrep(uint8_t* out);

// ---- Writers (exchanges) ----------------------------------------------------------------

// Letters, model number, serial prefix and number from the record. On success the PPG
// side's cache takes the record with its LED types derived from the model number (on a
// copy; the caller's record is not changed); the main module's cache takes it unchanged.
// Letters XJ first send the respiration module's preparation.
bool SetModelInfo(int module, MODEL_INFORMATION* info);
bool DoSetProductName(int module, char first, char second);
// Names the main module, sets its model number by its letters (ZM 0x3001, KQ 0x2001,
// NV 0x1001) and names the PPG side YB; the result is the last write's.
bool SetProductName(char first, char second);
// On success the module's cached HW_INFORMATION takes the hardware version.
bool SetHWInfo(int module, int major, int minor);
bool SetSerialNumber(int module, int prefix, int serial);
bool SetModuleGenerationModel(int module, unsigned char generation, unsigned char model);
