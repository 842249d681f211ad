// The serial port on Win32: opened by its device-interface path without the overlapped
// flag, given the port time-outs and 4096-byte queues at every open, read and written
// with one ReadFile or WriteFile call each.
//
// Quirks:
// - The port is not opened for overlapped I/O, so a call returns once its bytes moved or
//   the port's total time-out passed; its OVERLAPPED event is then not always set (wine
//   leaves it clear after a timed-out read). The count of a completed call is taken as
//   it is; only ERROR_IO_PENDING is waited for (bounded), and an OVERLAPPED whose I/O may
//   still pend is cancelled and its end waited for before the record goes.
// - There is no lock between processes: a port that another process holds fails to open.
// - No baud rate, framing or flow control is set.
#include <atomic>

#include "../Device.h"
#include "../PortSeam.h"
#include "Win32.h"

namespace {

constexpr DWORD kQueueBytes = 4096;
constexpr DWORD kPendingMarginMs = 50;  // beyond the port's own time-out

void ApplySettings(HANDLE h, unsigned int readMs, unsigned int writeMs) {
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = readMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = writeMs;
    SetCommTimeouts(h, &timeouts);
    SetupComm(h, kQueueBytes, kQueueBytes);
}

// The completion events of the OVERLAPPED records: each call takes one of its own and
// gives it back, so a round trip does not make and close two events (each a trip to the
// system). Plain atomic slots, usable at any time of the load and the unload (the unload
// still talks to the instrument); an event that finds no free slot is closed.
constexpr int kPooledEvents = 8;
std::atomic<HANDLE> s_freeEvents[kPooledEvents];

HANDLE TakeEvent() {
    for (std::atomic<HANDLE>& slot : s_freeEvents) {
        if (HANDLE h = slot.exchange(nullptr))
            return h;
    }
    HANDLE made = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WinHandleOpened(made);
    return made;
}

// Closes the pooled events at unload (an exchange after it makes a new one).
struct CPooledEventsCloser {
    ~CPooledEventsCloser() {
        for (std::atomic<HANDLE>& slot : s_freeEvents) {
            if (HANDLE h = slot.exchange(nullptr))
                WinCloseCounted(h);
        }
    }
} s_closePooledEvents;

void GiveEvent(HANDLE h) {
    for (std::atomic<HANDLE>& slot : s_freeEvents) {
        HANDLE none = nullptr;
        if (slot.compare_exchange_strong(none, h))
            return;
    }
    WinCloseCounted(h);
}

// One ReadFile or WriteFile on its own OVERLAPPED record; returns the count moved, or -1
// when the call failed.
long long Transfer(HANDLE h, bool write, void* buffer, DWORD length, DWORD boundMs) {
    OVERLAPPED ov = {};
    ov.hEvent = TakeEvent();
    if (ov.hEvent == nullptr)
        return -1;  // (ReadFile and WriteFile clear the event as they start)
    DWORD n = 0;
    const BOOL done = write ? WriteFile(h, buffer, length, &n, &ov) : ReadFile(h, buffer, length, &n, &ov);
    long long result = done ? static_cast<long long>(n) : -1;
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        ::WaitForSingleObject(ov.hEvent, boundMs + kPendingMarginMs);
        if (GetOverlappedResult(h, &ov, &n, FALSE)) {
            result = n;
        } else if (GetLastError() == ERROR_IO_INCOMPLETE) {
            CancelIoEx(h, &ov);
            result = GetOverlappedResult(h, &ov, &n, TRUE) ? static_cast<long long>(n) : 0;
        }
    }
    GiveEvent(ov.hEvent);
    return result;
}

}  // namespace

PORT_HANDLE PortOpen(const char* path) {
    if (path == nullptr || path[0] == '\0')
        return NVS_NO_PORT;
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    WinHandleOpened(h);
    return h == INVALID_HANDLE_VALUE ? NVS_NO_PORT : reinterpret_cast<PORT_HANDLE>(h);
}

// The time-outs return to 100 and 200 ms at every open.
void PortConfigure(PORT_HANDLE port) {
    HANDLE h = PortWin32Handle(port);
    if (h == nullptr)
        return;
    g_nDeviceReadTimeout.store(100);
    g_nDeviceWriteTimeout.store(200);
    ApplySettings(h, 100, 200);
}

void PortCancelIO(PORT_HANDLE port) {
    if (HANDLE h = PortWin32Handle(port))
        CancelIoEx(h, nullptr);
}

bool PortAdopt(PORT_HANDLE port) {
    HANDLE h = PortWin32Handle(port);
    if (h == nullptr || GetFileType(h) == FILE_TYPE_UNKNOWN)
        return false;
    PortConfigure(port);
    return true;
}

// No waits: the time-outs are the port's own.
void PortApplyTimeouts(PORT_HANDLE port, unsigned int readMs, unsigned int writeMs) {
    if (HANDLE h = PortWin32Handle(port))
        ApplySettings(h, readMs, writeMs);
}

int PortLockFile(int) { return 1; }

void PortUnlockFile() {}

// Windows opens a port for one process at a time by itself: no record lock to take.
int PortLockRecord(PORT_HANDLE) { return 1; }

void PortUnlockRecord(PORT_HANDLE) {}

bool PortSingleCallIO() { return true; }

PortIo PortRead(PORT_HANDLE port, unsigned char* buffer, size_t length, unsigned int waitMs, size_t* got) {
    *got = 0;
    HANDLE h = PortWin32Handle(port);
    if (h == nullptr || buffer == nullptr || length == 0)
        return PortIo::Failed;
    DWORD want = static_cast<DWORD>(length > 0x7FFFFFFF ? 0x7FFFFFFF : length);
    if (waitMs == 0) {
        // Only what is already there: never sit out the port's time-out.
        DWORD errors = 0;
        COMSTAT status = {};
        if (ClearCommError(h, &errors, &status)) {
            if (status.cbInQue == 0)
                return PortIo::Nothing;
            if (status.cbInQue < want)
                want = status.cbInQue;
        }
    }
    const long long n = Transfer(h, false, buffer, want, g_nDeviceReadTimeout.load());
    if (n < 0)
        return PortIo::Failed;
    *got = static_cast<size_t>(n);
    return n > 0 ? PortIo::Moved : PortIo::Nothing;
}

PortIo PortWrite(PORT_HANDLE port, const unsigned char* data, size_t length, unsigned int, size_t* put) {
    *put = 0;
    HANDLE h = PortWin32Handle(port);
    if (h == nullptr || data == nullptr || length == 0 || length > 0x7FFFFFFF)
        return PortIo::Failed;
    const long long n =
        Transfer(h, true, const_cast<unsigned char*>(data), static_cast<DWORD>(length), g_nDeviceWriteTimeout.load());
    if (n < 0)
        return PortIo::Failed;
    *put = static_cast<size_t>(n);
    return n > 0 ? PortIo::Moved : PortIo::Nothing;
}

// A port whose device has gone fails its status query with one of these; a port that is
// merely idle, or a handle the system cannot query (not a serial device), does not.
bool PortHungUp(PORT_HANDLE port) {
    HANDLE h = PortWin32Handle(port);
    if (h == nullptr)
        return true;
    DWORD errors = 0;
    COMSTAT status = {};
    if (ClearCommError(h, &errors, &status))
        return false;
    switch (GetLastError()) {
        case ERROR_DEVICE_REMOVED:
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_ACCESS_DENIED:
        case ERROR_DEVICE_NOT_CONNECTED:
            return true;
        default:
            return false;
    }
}
