// What an operating system supplies for the instrument's serial port: naming and
// listing the ports, the lock between processes, opening, configuring and adopting a
// port, reads and writes with a time-out, and closing (CloseHandle, OsServices.h).
//
// The portable serial link (Device.cpp) and transport (Transport.cpp) are written over
// these entries; each OS folder implements them (Linux: posix + linux). The link calls
// the naming, lock and open entries with its own lock held, one call at a time; reads
// and writes may run on several threads at once, each on a handle it has borrowed from
// the link (CDevicePort), which stays open until its last borrower is done.
//
// Each entry says whether it blocks and for how long; an entry that says nothing
// returns at once.
#pragma once

#include <cstddef>

#include "OsServices.h"

// ---- Naming and listing ----------------------------------------------------------------

// Writes the device path of port number `port` into path (Linux: "/dev/ttyACM%d",
// 0..127). False when the number names no port or the path does not fit.
bool PortNodePath(int port, char* path, size_t size);
// Stores the numbers of the ports whose device nodes exist now, in the order a scan
// tries them (Linux: ascending), at most capacity of them; returns how many. Reads the
// device folder; starts no process.
int PortList(int* ports, int capacity);
// True when `path` is one of the listed device nodes now (the presence check). Reads the
// device folder; starts no process.
bool PortIsListed(const char* path);

// ---- The lock between processes ------------------------------------------------------

// Takes port `port`'s lock for this process (POSIX: the lock file, created exclusively,
// holding this process's id; a stale one left by a process that has gone is replaced).
// One lock at a time. 1 when held now, 0 otherwise.
int PortLockFile(int port);
// Releases the held lock, if any (POSIX: deletes the lock file, but only the one this
// process created).
void PortUnlockFile();

// Takes this process's exclusive record lock over the whole open port without waiting
// (macOS: F_SETLK, F_WRLCK), kept for as long as the port is held. 1 when taken, or
// when the system keeps no such lock (Linux, Windows) or the device supports none;
// 0 when another holder has it.
int PortLockRecord(PORT_HANDLE port);
// Releases the record lock on the open port, if this process holds one.
void PortUnlockRecord(PORT_HANDLE port);

// ---- Opening, configuring, adopting ----------------------------------------------------

// Opens the port read-write, non-blocking, without becoming the controlling terminal,
// and never inherited by a child process. NVS_NO_PORT when it cannot be opened.
PORT_HANDLE PortOpen(const char* path);
// Applies the port settings: raw 8-bit data at 115200 baud, no translation, no flow
// control, no echo. Failures are ignored.
void PortConfigure(PORT_HANDLE port);
// Cancels any asynchronous I/O queued on the port.
void PortCancelIO(PORT_HANDLE port);
// Makes a handle that the host opened usable as the open port: non-blocking, not
// inherited by children, configured like a port the link opens. False when the handle
// cannot be made so.
bool PortAdopt(PORT_HANDLE port);
// Applies new transport time-outs to the open port. Linux: waits once, at most readMs,
// for the port to be readable and once, at most writeMs, for it to be writable; the
// outcomes are ignored. macOS: nothing (no waits).
void PortApplyTimeouts(PORT_HANDLE port, unsigned int readMs, unsigned int writeMs);

// ---- Reads and writes ------------------------------------------------------------------

enum class PortIo {
    Moved,    // bytes were read or written (*count > 0)
    Nothing,  // nothing could move now (no data, no room, or interrupted): try again
    HungUp,   // the port hung up (a read of end of file; POSIX: EIO or ENXIO): it has gone
              // for good, even while its node is still listed
    Failed,   // any other failure: the port is unusable
};
// Waits at most waitMs for data (0: no wait), then reads up to length bytes once,
// whatever the wait said; *got is the count read.
PortIo PortRead(PORT_HANDLE port, unsigned char* buffer, size_t length, unsigned int waitMs, size_t* got);
// Waits at most waitMs for room (0: no wait), then writes up to length bytes once,
// whatever the wait said; *put is the count written.
PortIo PortWrite(PORT_HANDLE port, const unsigned char* data, size_t length, unsigned int waitMs, size_t* put);
// True when the open port has hung up: its far end has gone (a device that reset or
// left the bus), though its node may still be listed or be back under the same name
// (POSIX: poll reports a hang-up, an error or an invalid descriptor). A port that hung
// up stays so. Does not wait.
bool PortHungUp(PORT_HANDLE port);

// How the transport moves bytes on this system. False (POSIX): a read pass reads until
// its packet is complete, sending a filler byte after each empty try, and a request is
// written in pieces of at most 64 bytes until all of it is taken. True (Windows): a read
// pass is one PortRead, bounded by the port's own read time-out, with no filler byte;
// a request is one PortWrite of the whole buffer, never retried.
bool PortSingleCallIO();

// ---- The handshake ---------------------------------------------------------------------

// The connect handshake the link's scan runs on each candidate port that opened and was
// locked: true when the open port is the wanted instrument. Installed by the layer that
// owns it (the connection installs the protocol's handshake before its thread starts);
// the link itself knows no protocol. Without one, every candidate is refused.
typedef bool (*PFN_TARGET_DEVICE_CHECK)();
void DeviceSetTargetCheck(PFN_TARGET_DEVICE_CHECK check);
