// Discovery on Windows: the present USB device interfaces, each with its device path and
// the COM number of its friendly name. The test seam replaces only the enumeration (the
// setup API's listing) by a fixed table of {path, friendly name} entries; everything
// after it (filter, open, settings, handshake, presence check) runs as shipped. Not
// exported from the DLL.
#pragma once

#include <string>
#include <vector>

struct CDiscoveryEntry {
    std::string path;
    std::string friendlyName;
    bool hasFriendlyName = true;  // false: the name cannot be read
};

// Replaces the enumeration by a copy of entries; null restores the setup API's.
void DiscoverySeamSetEntries(const std::vector<CDiscoveryEntry>* entries);

// The COM number of a friendly name of `size` bytes (it need not be terminated): the
// digits after the first "COM" that a digit follows, 1..255; -1 when there is none.
int ComNumberOfFriendlyName(const char* name, size_t size);

// True when a device path names the instrument (its vendor and product, in any case).
bool IsInstrumentPath(const char* path);

struct CInterfaceEntry {
    std::string path;
    int comNumber;  // -1: none
};
// Enumerates the present USB device interfaces; false when the enumeration cannot be
// made. Paths of 512 characters or more are skipped, never cut.
bool EnumerateInterfaces(std::vector<CInterfaceEntry>& entries);
