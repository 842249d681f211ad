// Identity, capabilities and the connect handshake.
//
// The instrument has a main module (the ECG side) and a PPG side that is either a module
// of its own (a PPG module, or the external-respiration module in its place) or the main
// module itself. Each module keeps a 12-byte identity record: marker 0x4F, two product
// letters, model number (2 bytes), serial prefix, serial number (big-endian), hardware
// and firmware versions.
//
// Owns: the cached identity and version records below (with g_PPGModelInfo,
// g_DeviceFeature and the DAC levels of Protocol.h), filled by the handshake and cleared
// by the connection at each disconnection; the handshake IsTargetDevice that the serial
// link runs on every candidate port. No lock is taken here: the link's scan runs before
// the connection is announced, and every other caller holds g_CriticalSection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/Protocol.h"

static_assert(sizeof(MODEL_INFORMATION) == 24, "MODEL_INFORMATION is 24 bytes on every target");
static_assert(sizeof(DEVICE_FEATURE) == 80, "DEVICE_FEATURE is 80 bytes on every target");
static_assert(offsetof(MODEL_INFORMATION, iSerialNumber) == 4 && offsetof(MODEL_INFORMATION, nLEDType) == 12,
              "MODEL_INFORMATION layout");
static_assert(offsetof(DEVICE_FEATURE, fACMinimum) == 24 && offsetof(DEVICE_FEATURE, nParam1) == 72,
              "DEVICE_FEATURE layout: the doubles follow the six ints without padding");

static_assert(sizeof(HW_INFORMATION) == 28, "HW_INFORMATION is 28 bytes");

extern MODEL_INFORMATION g_ECGModelInfo;  // main module; all zero at load
extern HW_INFORMATION g_ECGModuleHWInfo;  // main module; all zero at load
extern HW_INFORMATION g_PPGModuleHWInfo;  // PPG side; all zero at load
// Main-module firmware as major x 256 + minor (0x105 is 1.5); 0 at load.
extern uint16_t g_nFWVersion;
// Serial-number filter of the handshake, set from the host's initialisation call:
// 0 none; bit 0x8000 serial at most 8999; bit 0x10000 above 8999; otherwise exact.
extern int32_t g_iTargetDeviceSerialNumber;
// The records above and the serial filter back to their load-time values, as if the
// library were loaded afresh (for the test suites; the library never calls it).
void ResetProtocolIdentityState();

// The connect handshake on the open port: stops the sampling stream, drains what is
// left, asks for the main module's model record and applies the serial filter; on
// success every cached record is refreshed. True when the port holds the wanted instrument.
bool IsTargetDevice();
// Refreshes every cached record. False when either module's version read fails.
bool UpdateDeviceInformation();

// module 0: main module; 1: PPG side (a copy of the main record without a separate module).
bool GetModelInfo(int module, MODEL_INFORMATION* record);
void UpdatePPGLedTypeByModelNumber(MODEL_INFORMATION* record);
void UpdateDeviceFeatureByMainModule();
void UpdateDeviceFeatureByPPGModule();
bool DoGetHWInfo(int module, HW_INFORMATION* info);
bool DoGetHWDacLevel(int module, double* level);
bool DoGetExtModuleInfo(int module, HW_INFORMATION* info);
bool IsFPGAAlive();
// Copies the cached record of the main module (0) or the PPG side (any other value).
bool GetHWInfo(int module, HW_INFORMATION* info);
bool IsPPGChannel3Simulated();
// 1 when the external-respiration module (letters XJ) is the PPG side, else 0.
int GetECGRespirationType();

// ---- Pure codec of this family (no port) ----------------------------------------------

// Requests. m = module (0 main, 1 PPG side).
constexpr uint8_t kStopSamplingRequest[6] = {0xAD, 0xFF, 0x00, 0x00, 0x00, 0x00};
constexpr int kModelReplyLength = 12;
constexpr int kRevisionReplyLength = 5;

// Fills a record from the 12-byte model reply 55 00 m FF <identity bytes 0..7>; false
// (record unchanged) when the first four bytes are not 55 00 m FF.
bool ParseModelRecordReply(const uint8_t* reply, int module, MODEL_INFORMATION* record);

// What the handshake makes of the main module's model reply under a serial filter.
enum class HandshakeVerdict {
    Reject,       // not the wanted instrument
    Identify,     // the identity matched: the result is UpdateDeviceInformation's
    RangeAccept,  // a range filter: refresh the records, then accept
    RangeReject,  // a range filter: refresh the records, then reject
};
HandshakeVerdict JudgeHandshakeReply(const uint8_t* reply, int32_t filter);

// Versions from a memory-command read of the identity record (bytes 24..27 of the reply).
void ParseVersionReply(const uint8_t* reply, HW_INFORMATION* info);
