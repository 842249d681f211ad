// Between the POSIX backend (this folder, shared by Linux and macOS) and the folder of
// one POSIX system: what that system names differently, and the POSIX helpers its own
// files use.
#pragma once

#include <cstddef>

// ---- Supplied by the system's folder (linux/Naming.cpp) ---------------------------------

// The device nodes: a printf pattern with one %d for the port number (Linux
// "/dev/ttyACM%d"), and the highest port number a scan tries (Linux 127).
void PosixNodePattern(char* pattern, size_t size);
int PosixHighestPort();
// The folder of the lock files (Linux "/var/lock"); created, with any missing parent,
// mode 0755, when it does not exist.
void PosixLockDirectory(char* directory, size_t size);

// ---- Supplied by this folder -----------------------------------------------------------

// poll() on one descriptor: blocks at most ms. 1 ready (or hung up, or an error is
// pending: the next read or write tells which), 0 not ready within ms, -1 the
// descriptor cannot be waited on. Resumes after EINTR for the time that is left.
int PosixWaitReady(int fd, bool forWrite, unsigned int ms);
