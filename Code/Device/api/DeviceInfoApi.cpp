// The device information functions and the service pass-throughs (port handle, raw
// command, log). The information getters copy the records that the handshake filled,
// under g_CriticalSection, so a copy never sees a record half-filled or half-cleared.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "api/DeviceInfo.h"
#include "api/PlaybackApi.h"
#include "platform/Device.h"
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"
#include "protocol/Exchange.h"
#include "protocol/Identity.h"
#include "protocol/Protocol.h"

namespace {

constexpr int kSerialBufferSize = 32;
constexpr size_t kSerialTextLength = 14;
constexpr unsigned kPassThroughPauseMs = 10;

char s_szSerialNumber[kSerialBufferSize];
char s_szPPGSerialNumber[kSerialBufferSize];

bool SeparatePPGModule() {
    CAutoCriticalSection lock(g_CriticalSection);
    return g_DeviceFeature.bSeparatePPGModule != 0;
}

}  // namespace

PPGChannel CheckPPGChannel(PPGChannel channel) {
    return (channel >= PPG_CHANNEL_1 && channel <= PPG_CHANNEL_3) ? channel : PPG_CHANNEL_1;
}

int ConvertVersion(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    unsigned int part[4] = {0, 0, 0, 0};
    sscanf(text, "%u.%u.%u.%u", &part[0], &part[1], &part[2], &part[3]);
    const uint32_t packed =
        (part[0] & 0xFFu) << 24 | (part[1] & 0xFFu) << 16 | (part[2] & 0xFFu) << 8 | (part[3] & 0xFFu);
    return static_cast<int>(packed);
}

void FormatSerialNumber(const MODEL_INFORMATION& record, char* buffer, int size) {
    memset(buffer, 0, static_cast<size_t>(size));
    snprintf(buffer, static_cast<size_t>(size), "O%c%c%02X%02X-%02d%04d", record.cProductName[0],
             record.cProductName[1], record.ucGeneration, record.ucModel, static_cast<int>(record.nSerialPrefix),
             static_cast<int>(record.iSerialNumber));
    if (strlen(buffer) != kSerialTextLength) {
        memset(buffer, 0, static_cast<size_t>(size));
    }
}

// ---- Exported --------------------------------------------------------------------------

bool ORVGetDeviceInformation(MODEL_INFORMATION* info) {
    if (info == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    *info = g_ECGModelInfo;
    return true;
}

char* ORVGetSerialNumber(void) {
    // Formatted under the lock: two callers never write the buffer at once.
    CAutoCriticalSection lock(g_CriticalSection);
    MODEL_INFORMATION record = {};
    ORVGetDeviceInformation(&record);
    FormatSerialNumber(record, s_szSerialNumber, kSerialBufferSize);
    return s_szSerialNumber;
}

bool ORVGetPPGDeviceInformation(MODEL_INFORMATION* info) {
    if (info == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    if (g_DeviceFeature.bSeparatePPGModule == 0) {
        return ORVGetDeviceInformation(info);
    }
    *info = g_PPGModelInfo;
    return true;
}

char* ORVGetPPGSerialNumber(void) {
    if (!SeparatePPGModule()) {
        return ORVGetSerialNumber();
    }
    CAutoCriticalSection lock(g_CriticalSection);
    MODEL_INFORMATION record = {};
    ORVGetPPGDeviceInformation(&record);
    FormatSerialNumber(record, s_szPPGSerialNumber, kSerialBufferSize);
    return s_szPPGSerialNumber;
}

bool ORVGetHWInformation(HW_INFORMATION* info) {
    CAutoCriticalSection lock(g_CriticalSection);
    return GetHWInfo(0, info);
}

bool ORVGetPPGHWInformation(HW_INFORMATION* info) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (g_DeviceFeature.bSeparatePPGModule == 0) {
        return ORVGetHWInformation(info);
    }
    return GetHWInfo(1, info);
}

void ORVGetDeviceFeature(DEVICE_FEATURE* feature) {
    if (feature == nullptr) {
        return;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    *feature = g_DeviceFeature;
}

int ORVGetVersion(void) { return ConvertVersion(kLibraryVersion); }

void* ORVGetDeviceHandle() {
    CAutoCriticalSection lock(g_CriticalSection);
    return reinterpret_cast<void*>(static_cast<intptr_t>(g_hDevice.load()));
}

void ORVSetDeviceHandle(void* handle) {
    CAutoCriticalSection lock(g_CriticalSection);
    // A null handle is no port (descriptor 0 would make standard input the port).
    if (handle == nullptr) {
        DeviceSetHandle(-1);
        return;
    }
    if (DeviceSetHandle(static_cast<PORT_HANDLE>(reinterpret_cast<intptr_t>(handle)))) {
        IsTargetDevice();  // refreshes the identity records; the result is not used
    }
}

int ORVSendCommand(unsigned char* command, int length, unsigned char* reply, int replyLength) {
    if (command == nullptr || length <= 0 || replyLength < 0) {
        return -1;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    // As the transport's SendCommand, but paired like the library's own requests: what
    // earlier exchanges left behind is discarded first, and only a reply that repeats
    // what the instrument echoes of this command (for a family the library does not know,
    // its family byte) is delivered. At most replyLength bytes go into reply.
    DiscardStaleReplies();
    if (WriteData(command, length, 1) < length) {
        return -1;
    }
    SleepEx(kPassThroughPauseMs);
    if (replyLength == 0 || reply == nullptr) {
        return length;
    }
    const proto::Result r = proto::Receive(reply, replyLength, NVS_KIND_REPLY, proto::MatchFor(command, length));
    return proto::Ok(r) ? replyLength : -1;
}

void ORVLog(char*) {
    // The library writes no log; the lock is taken as by every logging call.
    CAutoCriticalSection lock(g_CriticalSection);
}

void ORVMemFree(void* memory) { ReleaseGeneratedArray(memory); }

void ResetDeviceInfoState() {
    memset(s_szSerialNumber, 0, sizeof s_szSerialNumber);
    memset(s_szPPGSerialNumber, 0, sizeof s_szPPGSerialNumber);
}
