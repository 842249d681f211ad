// Discovery through the setup API: the present USB device interfaces, their device paths
// and the COM numbers of their friendly names. Also the port naming and listing of the
// port seam, which stand on it.
//
// A listed "port number" is the COM number of an instrument interface that has one, and
// kNoComBase + its index for one without, so a scan for any port also tries those.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "../PortSeam.h"
#include "DiscoverySeam.h"
#include "Win32.h"

#include <setupapi.h>

namespace {

const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr const char* kInstrumentId = "vid_04d8&pid_000a";
constexpr size_t kPathCapacity = 512;
// COM numbers run past 255; those from kNoComBase on stand for interfaces without one.
constexpr int kNoComBase = 0x10000;
constexpr int kHighestCom = kNoComBase - 1;

std::mutex s_seamMutex;
bool s_bSeamActive = false;
std::vector<CDiscoveryEntry> s_seamEntries;

}  // namespace

void DiscoverySeamSetEntries(const std::vector<CDiscoveryEntry>* entries) {
    std::lock_guard<std::mutex> guard(s_seamMutex);
    s_bSeamActive = entries != nullptr;
    s_seamEntries = entries ? *entries : std::vector<CDiscoveryEntry>();
}

int ComNumberOfFriendlyName(const char* name, size_t size) {
    if (name == nullptr)
        return -1;
    const size_t length = strnlen(name, size);
    for (size_t i = 0; i + 3 < length; ++i) {
        if (memcmp(name + i, "COM", 3) != 0 || !isdigit(static_cast<unsigned char>(name[i + 3])))
            continue;
        int number = 0;
        for (size_t j = i + 3; j < length && isdigit(static_cast<unsigned char>(name[j])); ++j) {
            number = number * 10 + (name[j] - '0');
            if (number > kHighestCom)
                return -1;
        }
        return number >= 1 ? number : -1;
    }
    return -1;
}

bool IsInstrumentPath(const char* path) {
    if (path == nullptr)
        return false;
    std::string lower(path);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(tolower(c)); });
    return lower.find(kInstrumentId) != std::string::npos;
}

// Copies the interface's device path into path (kPathCapacity characters; empty when it
// does not fit) and returns the COM number of the device's friendly name, or -1.
int GetDeviceInterfacePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, char* path) {
    path[0] = '\0';
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, data, nullptr, 0, &needed, nullptr);
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return -1;
    std::vector<unsigned char> storage(needed + sizeof(DWORD));  // freed on every path
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info;
    info.cbSize = sizeof info;
    if (!SetupDiGetDeviceInterfaceDetailA(set, data, detail, needed, nullptr, &info))
        return -1;
    const size_t length = strnlen(detail->DevicePath, needed);
    if (length >= kPathCapacity)
        return -1;  // skipped, not cut
    memcpy(path, detail->DevicePath, length);
    path[length] = '\0';
    char name[300];
    DWORD type = 0;
    if (!SetupDiGetDeviceRegistryPropertyA(set, &info, SPDRP_FRIENDLYNAME, &type, reinterpret_cast<BYTE*>(name),
                                           sizeof name, nullptr))
        return -1;
    return ComNumberOfFriendlyName(name, sizeof name);  // bounded: the name need not end
}

bool EnumerateInterfaces(std::vector<CInterfaceEntry>& entries) {
    entries.clear();
    {
        std::lock_guard<std::mutex> guard(s_seamMutex);
        if (s_bSeamActive) {
            for (const CDiscoveryEntry& e : s_seamEntries) {
                if (e.path.size() >= kPathCapacity)
                    continue;
                const int com =
                    e.hasFriendlyName ? ComNumberOfFriendlyName(e.friendlyName.data(), e.friendlyName.size()) : -1;
                entries.push_back(CInterfaceEntry{e.path, com});
            }
            return true;
        }
    }
    HDEVINFO set = SetupDiGetClassDevsA(&kUsbDeviceInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterface, index, &data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                break;
            continue;
        }
        char path[kPathCapacity];
        const int com = GetDeviceInterfacePath(set, &data, path);
        if (path[0] != '\0')
            entries.push_back(CInterfaceEntry{path, com});
    }
    SetupDiDestroyDeviceInfoList(set);
    return true;
}

// ---- Port naming and listing -----------------------------------------------------------

bool PortNodePath(int port, char* path, size_t size) {
    if (port < 0 || path == nullptr || size == 0)
        return false;
    std::vector<CInterfaceEntry> entries;
    if (!EnumerateInterfaces(entries))
        return false;
    for (size_t i = 0; i < entries.size(); ++i) {
        const CInterfaceEntry& e = entries[i];
        if (!IsInstrumentPath(e.path.c_str()))
            continue;
        const bool named =
            port < kNoComBase ? e.comNumber == port : e.comNumber < 0 && static_cast<size_t>(port - kNoComBase) == i;
        if (!named)
            continue;
        const int n = snprintf(path, size, "%s", e.path.c_str());
        return n > 0 && static_cast<size_t>(n) < size;
    }
    return false;
}

int PortList(int* ports, int capacity) {
    std::vector<CInterfaceEntry> entries;
    if (ports == nullptr || !EnumerateInterfaces(entries))
        return 0;
    int count = 0;
    for (size_t i = 0; i < entries.size() && count < capacity; ++i) {
        if (IsInstrumentPath(entries[i].path.c_str()))
            ports[count++] = entries[i].comNumber >= 0 ? entries[i].comNumber : kNoComBase + static_cast<int>(i);
    }
    return count;
}

bool PortIsListed(const char* path) {
    if (path == nullptr || path[0] == '\0')
        return false;
    std::vector<CInterfaceEntry> entries;
    if (!EnumerateInterfaces(entries))
        return false;
    for (const CInterfaceEntry& e : entries) {
        if (e.path == path)
            return true;
    }
    return false;
}
