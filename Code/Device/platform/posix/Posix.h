// Between the POSIX backend (this folder, shared by Linux and macOS) and the folder of
// one POSIX system: what that system names differently, and the POSIX helpers its own
// files use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// ---- Supplied by the system's folder (linux/ or macos/: Naming.cpp, Wait.cpp) -----------

// The device nodes: a printf pattern with one %d for the port number (Linux
// "/dev/ttyACM%d"), and the highest port number a scan tries (Linux 127).
void PosixNodePattern(char* pattern, size_t size);
int PosixHighestPort();
// The folder of the lock files (Linux "/var/lock"); created, with any missing parent,
// mode 0755, when it does not exist.
void PosixLockDirectory(char* directory, size_t size);

// The port listing: false when the scan reads the node pattern's folder and tries the
// ports by number (Linux); true with the shell command whose output lines are the device
// paths, tried in the order it prints them (macOS).
bool PosixListingCommand(char* command, size_t size);
// The lock file may be skipped when its folder cannot be made or written (the port's
// record lock then excludes other processes alone): false on Linux, true on macOS.
bool PosixLockFileOptional();
// A condition variable for the event waits, and one timed wait on it until deadlineUs on
// the monotonic clock (GetMonotonicUs): true when the deadline passed. Linux binds the
// condition to the monotonic clock; macOS waits for the relative time left.
void PosixCondInit(pthread_cond_t* cond);
bool PosixCondWaitUntil(pthread_cond_t* cond, pthread_mutex_t* mutex, uint64_t deadlineUs);
// Called by CloseHandle before it closes a port descriptor: true when the system's folder
// keeps the descriptor open for now (macOS: closing any descriptor of the port would drop
// this process's record lock on it) and closes it itself later.
bool PosixDeferClose(int fd);

// ---- Supplied by this folder -----------------------------------------------------------

// poll() on one descriptor: blocks at most ms. 1 ready (or hung up, or an error is
// pending: the next read or write tells which), 0 not ready within ms, -1 the
// descriptor cannot be waited on. Resumes after EINTR for the time that is left.
int PosixWaitReady(int fd, bool forWrite, unsigned int ms);
