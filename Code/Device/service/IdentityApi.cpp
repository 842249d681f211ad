// The factory's identity functions: each holds g_CriticalSection around one identity
// writer (protocol/IdentityWrite.h). They never go through the playback command window.
#include "platform/Platform.h"
#include "platform/StaticObjects.h"
#include "protocol/IdentityWrite.h"
#include "protocol/PPGModule.h"

namespace {

constexpr int kMainModule = 0;
constexpr int kPPGModule = 1;

}  // namespace

bool ORVSetDeviceInformation(MODEL_INFORMATION* info) {
    CAutoCriticalSection lock(g_CriticalSection);
    return SetModelInfo(kMainModule, info);
}

bool ORVSetPPGDeviceInformation(MODEL_INFORMATION* info) {
    CAutoCriticalSection lock(g_CriticalSection);
    if (!SetModelInfo(kPPGModule, info)) {
        return false;
    }
    SwitchDeviceWorkingMode();  // its outcome does not change the result
    return true;
}

bool ORVSetProductName(char first, char second) {
    CAutoCriticalSection lock(g_CriticalSection);
    return SetProductName(first, second);
}

bool ORVSetHWInformation(int major, int minor) {
    CAutoCriticalSection lock(g_CriticalSection);
    return SetHWInfo(kMainModule, major, minor);
}

bool ORVSetPPGModuleHWInformation(int major, int minor) {
    CAutoCriticalSection lock(g_CriticalSection);
    return SetHWInfo(kPPGModule, major, minor);
}

bool ORVSetSerialNumber(int prefix, int serial) {
    CAutoCriticalSection lock(g_CriticalSection);
    return SetSerialNumber(kMainModule, prefix, serial);
}

bool ORVSetPPGModuleSerialNumber(int prefix, int serial) {
    CAutoCriticalSection lock(g_CriticalSection);
    return SetSerialNumber(kPPGModule, prefix, serial);
}

bool ORVSetPPGModuleType(unsigned short model) {
    CAutoCriticalSection lock(g_CriticalSection);
    return SetModuleGenerationModel(kPPGModule, static_cast<unsigned char>(model >> 8),
                                    static_cast<unsigned char>(model));
}
