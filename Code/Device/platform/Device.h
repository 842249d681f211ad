// The serial device link: finds the instrument's port (by number or by scanning), keeps
// other processes off it with a lock file, opens and configures it, runs the connect
// handshake on it and closes it again. Each platform folder supplies one.
//
// Owns: the port state the transport uses (g_hDevice and the two time-outs), the
// connected path and the lock file.
//
// The descriptor is shared by every thread that talks to the instrument, and the
// presence monitor may close it while an exchange is under way. Users borrow it through
// CDevicePort, which keeps the descriptor number alive (not closed, so not reused) until
// the last borrower is done; a close only marks it gone, and borrowers see that and stop.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<long> g_hDevice;                  // -1 when no port is open
extern char g_szDevicePath[512];                     // path of the connected port; empty when not connected
extern char g_szLockFilePath[128];                   // lock file of the most recent lock attempt
extern int g_nLockFile;                              // descriptor of the held lock file, -1 when none
extern std::atomic<uint32_t> g_nDeviceReadTimeout;   // ms, 100 at load
extern std::atomic<uint32_t> g_nDeviceWriteTimeout;  // ms, 200 at load

// Up to `attempts` calls of FindDevice(port), sleeping 1 s after each failed one.
// 1 at the first success, 0 when all fail (at once for attempts <= 0).
int DeviceConnect(int port, int attempts);
// Port -1: DoFindDevice on 0..127 in order until one succeeds; otherwise that port only.
int FindDevice(int port);
// Open, lock, configure, handshake. 1 when the port holds the wanted instrument; it then
// stays open and locked. Otherwise the port is closed and no lock is held.
int DoFindDevice(int port);
int LockDeviceFile(int port);
void UnlockDeviceFile();
void UnlockDevice();
void DeviceCancelIO();
// Closes the open port (lock released, path cleared, g_hDevice -1); nothing when none is open.
void DeviceClose();
int DeviceIsConnected();
// Takes over a port that the host opened (ORVSetDeviceHandle): closes the open port,
// then makes descriptor the open port, non-blocking and configured like a port the link
// opens itself; the link owns it from then on. It has no path and no lock file, so the
// presence check never finds it. A negative descriptor only closes the open port.
// 1 when the descriptor was taken over, 0 otherwise.
int DeviceSetHandle(long descriptor);
// 1 when the connected port still exists in the device listing, 0 otherwise.
int DeviceIsAlive();
// 0 when not connected, else 1 when path equals the connected port's path exactly.
int DeviceCheckPath(char* path);
// Stores both time-outs, then waits once (at most readMs) for the port to be readable and
// once (at most writeMs) for it to be writable.
void SetDeviceTimeoutSetting(unsigned int readMs, unsigned int writeMs);

// A borrowed reference to the open port's descriptor. fd() is -1 when no port was open;
// Valid() turns false as soon as the port is closed (by any thread), and the borrower
// must then stop using fd(). The descriptor itself is closed only when the last borrower
// has let go, so its number is never reused under a borrower.
class CDevicePort {
public:
    CDevicePort();
    ~CDevicePort();
    CDevicePort(const CDevicePort&) = delete;
    CDevicePort& operator=(const CDevicePort&) = delete;
    int fd() const { return m_fd; }
    bool Valid() const;

private:
    int m_fd;
    uint64_t m_generation;
};
