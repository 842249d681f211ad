// The serial device link, written over the port seam (PortSeam.h).
//
// Why the port handle is borrowed: the presence monitor closes a vanished port without
// the global lock while another thread may be mid-exchange on it. A close therefore
// marks the port gone at once (g_hDevice -1, a new generation), but the handle itself is
// closed only after its last borrower let go, so its number is never reused while one
// of our threads could still write our bytes into it.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "Device.h"
#include "Monitor.h"
#include "PortSeam.h"
#include "SleepSeam.h"

std::atomic<PORT_HANDLE> g_hDevice{NVS_NO_PORT};
char g_szDevicePath[512];
std::atomic<uint32_t> g_nDeviceReadTimeout{100};
std::atomic<uint32_t> g_nDeviceWriteTimeout{200};

namespace {

std::atomic<PFN_TARGET_DEVICE_CHECK> s_pfnTargetCheck{nullptr};

// Serialises the link's own state (path, lock, open and close) between the connection
// thread, the presence monitor and host threads.
std::mutex s_linkMutex;

// Borrowing of the port handle.
struct RetiredPort {
    PORT_HANDLE handle;
    int borrowers;
};
std::mutex s_portMutex;
PORT_HANDLE s_hOpen = NVS_NO_PORT;       // the open port's handle
int s_nOpenBorrowers = 0;                // borrowers of s_hOpen
std::atomic<uint64_t> s_nGeneration{1};  // changes at every open and close
RetiredPort s_retired[16];               // closed ports whose handles still have borrowers
int s_nRetired = 0;

void InstallPort(PORT_HANDLE handle) {
    std::lock_guard<std::mutex> guard(s_portMutex);
    s_hOpen = handle;
    s_nOpenBorrowers = 0;
    s_nGeneration.fetch_add(1);
    g_hDevice.store(handle);
}

// Marks the port closed; closes its handle now or when its last borrower is done.
void RetirePort() {
    PORT_HANDLE closeNow = NVS_NO_PORT;
    {
        std::lock_guard<std::mutex> guard(s_portMutex);
        if (s_hOpen == NVS_NO_PORT)
            return;
        if (s_nOpenBorrowers == 0) {
            closeNow = s_hOpen;
        } else if (s_nRetired < static_cast<int>(sizeof s_retired / sizeof s_retired[0])) {
            s_retired[s_nRetired++] = RetiredPort{s_hOpen, s_nOpenBorrowers};
        } else {
            closeNow = s_hOpen;  // cannot happen with a handful of threads; never leak
        }
        s_hOpen = NVS_NO_PORT;
        s_nOpenBorrowers = 0;
        s_nGeneration.fetch_add(1);
        g_hDevice.store(NVS_NO_PORT);
    }
    if (closeNow != NVS_NO_PORT)
        CloseHandle(closeNow);
}

void DeviceCloseLocked() {
    if (!DeviceIsConnected())
        return;
    PortUnlockFile();
    PortUnlockRecord(g_hDevice.load());
    g_szDevicePath[0] = '\0';
    RetirePort();
}

}  // namespace

// ---- Borrowing ---------------------------------------------------------------------

CDevicePort::CDevicePort() : m_handle(NVS_NO_PORT), m_generation(0) {
    std::lock_guard<std::mutex> guard(s_portMutex);
    if (s_hOpen != NVS_NO_PORT) {
        m_handle = s_hOpen;
        ++s_nOpenBorrowers;
        m_generation = s_nGeneration.load();
    }
}

CDevicePort::~CDevicePort() {
    if (m_handle == NVS_NO_PORT)
        return;
    PORT_HANDLE closeNow = NVS_NO_PORT;
    {
        std::lock_guard<std::mutex> guard(s_portMutex);
        if (m_generation == s_nGeneration.load() && m_handle == s_hOpen) {
            --s_nOpenBorrowers;
        } else {
            for (int i = 0; i < s_nRetired; ++i) {
                if (s_retired[i].handle != m_handle)
                    continue;
                if (--s_retired[i].borrowers == 0) {
                    closeNow = m_handle;
                    s_retired[i] = s_retired[--s_nRetired];
                }
                break;
            }
        }
    }
    if (closeNow != NVS_NO_PORT)
        CloseHandle(closeNow);
}

bool CDevicePort::Valid() const { return m_handle != NVS_NO_PORT && m_generation == s_nGeneration.load(); }

// ---- The link ------------------------------------------------------------------------

void DeviceSetTargetCheck(PFN_TARGET_DEVICE_CHECK check) { s_pfnTargetCheck.store(check); }

int DeviceConnect(int port, int attempts) {
    for (int i = 0; i < attempts; ++i) {
        if (FindDevice(port))
            return 1;
        SeamSleep(1000);
    }
    return 0;
}

int DeviceListPorts(int* ports, int capacity) {
    return ports != nullptr && capacity > 0 ? PortList(ports, capacity) : 0;
}

int FindDevice(int port) {
    if (port == -1) {
        int ports[256];
        const int count = DeviceListPorts(ports, static_cast<int>(sizeof ports / sizeof ports[0]));
        for (int i = 0; i < count; ++i) {
            if (DoFindDevice(ports[i]))
                return 1;
        }
        return 0;
    }
    return port >= 0 ? DoFindDevice(port) : 0;
}

int DoFindDevice(int port) {
    if (port < 0)
        return 0;
    char path[sizeof g_szDevicePath];
    if (!PortNodePath(port, path, sizeof path))
        return 0;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(s_linkMutex);
        // A port still open is closed first: it is never leaked, and a port that only
        // one handle may hold at a time (a Windows COM port) can be opened again.
        DeviceCloseLocked();
        const PORT_HANDLE handle = PortOpen(path);
        if (handle == NVS_NO_PORT)
            return 0;
        InstallPort(handle);
        generation = s_nGeneration.load();
        if (!PortLockFile(port) || !PortLockRecord(handle)) {
            DeviceCloseLocked();
            return 0;
        }
        PortCancelIO(handle);
        PortConfigure(handle);
    }
    // The handshake runs without the link's lock: it talks to the instrument, and the
    // presence monitor must be able to close a port that vanishes meanwhile.
    const PFN_TARGET_DEVICE_CHECK check = s_pfnTargetCheck.load();
    const bool found = check != nullptr && check();
    std::lock_guard<std::mutex> guard(s_linkMutex);
    if (s_nGeneration.load() != generation)
        return 0;  // closed under the handshake (the port went away)
    if (found) {
        snprintf(g_szDevicePath, sizeof g_szDevicePath, "%s", path);
        return 1;
    }
    DeviceCloseLocked();
    return 0;
}

int LockDeviceFile(int port) {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    return PortLockFile(port);
}

void UnlockDeviceFile() {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    PortUnlockFile();
}

int LockDevice(PORT_HANDLE port) { return port >= 0 ? PortLockRecord(port) : 0; }

void UnlockDevice() {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    PortUnlockFile();
    PortUnlockRecord(g_hDevice.load());
}

void DeviceCancelIO() {
    CDevicePort port;
    if (port.Valid())
        PortCancelIO(port.handle());
}

void DeviceClose() {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    DeviceCloseLocked();
}

int DeviceIsConnected() { return g_hDevice.load() != NVS_NO_PORT ? 1 : 0; }

int DeviceSetHandle(PORT_HANDLE handle) {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    DeviceCloseLocked();
    if (handle < 0 || !PortAdopt(handle))
        return 0;
    InstallPort(handle);
    return 1;
}

int DeviceIsAlive() {
    char path[sizeof g_szDevicePath];
    {
        std::lock_guard<std::mutex> guard(s_linkMutex);
        if (!DeviceIsConnected() || g_szDevicePath[0] == '\0')
            return 0;
        snprintf(path, sizeof path, "%s", g_szDevicePath);
    }
    {
        // A hung-up port never answers again, whatever the listing says: a device that
        // resets keeps its node, or is back under the same name before the next look.
        CDevicePort port;
        if (!port.Valid() || PortHungUp(port.handle()))
            return 0;
    }
    return PortIsListed(path) ? 1 : 0;
}

void DevicePortGone(const CDevicePort& port) {
    {
        std::lock_guard<std::mutex> guard(s_linkMutex);
        // Opens and closes change the generation only under the link's lock, so the port
        // checked here is the one closed.
        if (!port.Valid())
            return;
        DeviceCloseLocked();
    }
    ReconnectDevice();
}

int DeviceCheckPath(char* path) {
    std::lock_guard<std::mutex> guard(s_linkMutex);
    if (g_szDevicePath[0] == '\0' || path == nullptr)
        return 0;
    return strcmp(path, g_szDevicePath) == 0 ? 1 : 0;
}

void SetDeviceTimeoutSetting(unsigned int readMs, unsigned int writeMs) {
    g_nDeviceReadTimeout.store(readMs);
    g_nDeviceWriteTimeout.store(writeMs);
    CDevicePort port;
    if (port.Valid())
        PortApplyTimeouts(port.handle(), readMs, writeMs);
}
