// Test seam of the Linux serial link: lets the test suites put the device nodes and lock
// files somewhere else and stand in for the connect handshake. Not exported from the
// shared library; the shipped library uses /dev/ttyACM%d, /var/lock and the protocol's
// handshake.
#pragma once

// The connect handshake run on each candidate port. Returns true when the open port is
// the wanted instrument.
typedef bool (*PFN_TARGET_DEVICE_CHECK)();

// A printf pattern with one %d for the port number, e.g. "/tmp/x/ttyACM%d"; null restores
// "/dev/ttyACM%d". The listing of DeviceIsAlive lists the pattern with %d replaced by *.
void DeviceSeamSetNodePattern(const char* pattern);
// The folder of the lock files; null restores "/var/lock".
void DeviceSeamSetLockDirectory(const char* directory);
// The handshake; null restores the default, the protocol's IsTargetDevice.
void DeviceSeamSetTargetCheck(PFN_TARGET_DEVICE_CHECK check);
