// The serial device link: finds the instrument's port (by number or by scanning), keeps
// other processes off it with a lock, opens and configures it, runs the connect
// handshake on it and closes it again. Written once over the port seam (PortSeam.h).
//
// Owns: the port state the transport uses (g_hDevice and the two time-outs), the
// connected path, the lock-file state and the installed handshake.
//
// The handle is shared by every thread that talks to the instrument, and the presence
// monitor (or a reader or writer that finds the port hung up, DevicePortGone) may close
// it while an exchange is under way. Users borrow it through CDevicePort, which keeps
// the handle alive (not closed, so its number is not reused) until the last borrower is
// done; a close only marks it gone, and borrowers see that and stop.
#pragma once

#include <atomic>
#include <cstdint>

#include "OsServices.h"

extern std::atomic<PORT_HANDLE> g_hDevice;           // NVS_NO_PORT (-1) when no port is open
extern char g_szDevicePath[512];                     // path of the connected port; empty when not connected
extern char g_szLockFilePath[128];                   // lock file of the most recent lock attempt
extern int g_nLockFile;                              // descriptor of the held lock file, -1 when none
extern std::atomic<uint32_t> g_nDeviceReadTimeout;   // ms, 100 at load
extern std::atomic<uint32_t> g_nDeviceWriteTimeout;  // ms, 200 at load

// Up to `attempts` calls of FindDevice(port), sleeping 1 s after each failed one.
// 1 at the first success, 0 when all fail (at once for attempts <= 0).
int DeviceConnect(int port, int attempts);
// Port -1: DoFindDevice on every listed port in scan order until one succeeds;
// otherwise that port only.
int FindDevice(int port);
// Open, lock, configure, handshake. 1 when the port holds the wanted instrument; it then
// stays open and locked. Otherwise the port is closed and no lock is held.
int DoFindDevice(int port);
// The port numbers a scan tries now, in order (PortList); at most capacity.
int DeviceListPorts(int* ports, int capacity);
int LockDeviceFile(int port);
void UnlockDeviceFile();
void UnlockDevice();
void DeviceCancelIO();
// Closes the open port (lock released, path cleared, g_hDevice -1); nothing when none is open.
void DeviceClose();
int DeviceIsConnected();
// Takes over a port that the host opened (ORVSetDeviceHandle): closes the open port,
// then makes the handle the open port, non-blocking and configured like a port the link
// opens itself; the link owns it from then on. It has no path and no lock file, so the
// presence check never finds it. A negative handle only closes the open port.
// 1 when the handle was taken over, 0 otherwise.
int DeviceSetHandle(PORT_HANDLE handle);
// 1 when the connected port is still listed among the device nodes and has not hung
// up, 0 otherwise. Reads the device folder; starts no process.
int DeviceIsAlive();
// 0 when not connected, else 1 when path equals the connected port's path exactly.
int DeviceCheckPath(char* path);
// Stores both time-outs, then applies them to the open port (PortApplyTimeouts; on
// Linux one wait of at most readMs for readable and one of at most writeMs for writable).
void SetDeviceTimeoutSetting(unsigned int readMs, unsigned int writeMs);

// A borrowed reference to the open port's handle. handle() is NVS_NO_PORT when no port
// was open; Valid() turns false as soon as the port is closed (by any thread), and the
// borrower must then stop using handle(). The handle itself is closed only when the last
// borrower has let go, so its number is never reused under a borrower.
class CDevicePort {
public:
    CDevicePort();
    ~CDevicePort();
    CDevicePort(const CDevicePort&) = delete;
    CDevicePort& operator=(const CDevicePort&) = delete;
    PORT_HANDLE handle() const { return m_handle; }
    bool Valid() const;

private:
    PORT_HANDLE m_handle;
    uint64_t m_generation;
};

// The port that `port` was borrowed from has gone: it hung up (a read or write found
// the hang-up, or the presence check did) or its node left the listing. When it is
// still the open port, closes it as DeviceClose does and wakes the connection thread
// (ReconnectDevice); a port opened since is never touched, and nothing happens when it
// was closed already. Takes only the link's own locks, so a reader may call it under
// the transport's read lock.
void DevicePortGone(const CDevicePort& port);
