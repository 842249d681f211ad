// Test seam of the Linux serial link: lets the test suites put the device nodes and lock
// files somewhere else. Not exported from the shared library; the shipped library uses
// /dev/ttyACM%d and /var/lock. (The handshake a scan runs is installed through
// DeviceSetTargetCheck, PortSeam.h, by tests and by the connection alike.)
#pragma once

#include "../PortSeam.h"

// A printf pattern with one %d for the port number, e.g. "/tmp/x/ttyACM%d"; null restores
// "/dev/ttyACM%d". The device listing reads the pattern's folder.
void DeviceSeamSetNodePattern(const char* pattern);
// The folder of the lock files; null restores "/var/lock".
void DeviceSeamSetLockDirectory(const char* directory);
