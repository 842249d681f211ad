// Test seam of the macOS serial link: lets the test suites put the device nodes, the
// listing and the lock files somewhere else. Not exported from the shared library; the
// shipped library uses /dev/cu.usbmodem%d, "/bin/ls /dev/cu.usbmodem* 2>/dev/null" and
// /private/var/orvane/lock. (The handshake a scan runs is installed through
// DeviceSetTargetCheck, PortSeam.h, by tests and by the connection alike.)
#pragma once

#include "../PortSeam.h"

// A printf pattern with one %d for the port number, e.g. "/tmp/x/cu.usbmodem%d"; null
// restores "/dev/cu.usbmodem%d". Unless a listing command is set, the listing is
// "/bin/ls <pattern's text before %d>* 2>/dev/null".
void DeviceSeamSetNodePattern(const char* pattern);
// The folder of the lock files; null restores "/private/var/orvane/lock".
void DeviceSeamSetLockDirectory(const char* directory);
// The shell command whose output lines are the listing; null lists the node pattern.
void DeviceSeamSetListingCommand(const char* command);
