// The library's fixed pauses that tests must not sit through: the one-second pauses of
// DeviceConnect between scans, the long waits of the firmware and FPGA updates (page
// erase, resend, the instrument's restart), the memory command's pauses (40 ms after
// each written packet, 6 ms after each byte-form read) and the PPG module's (the 200 ms
// reply waits of a calibration setting, the pauses around a setting write, the 3 s
// AC-range load, the transmission rate's poll). They all sleep through SeamSleep; a
// test installs its own sleeper, which records what was asked for and may sleep less.
// Internal: not exported, and the library itself never installs one.
//
// The fuzz targets go further: their scripted instrument answers at once, so every pause
// of the library (the POSIX SleepEx too: the transport's pause after an empty read, the
// protocol's pauses between packets) may be cut to a ceiling. At load there is none.
//
// Owns: the installed sleeper and the pause ceiling (process-wide slots, read on every call).
#pragma once

#include <cstdint>

// Sleeps ms milliseconds, or does what the installed sleeper does instead.
typedef void (*PFN_SLEEP_SEAM)(unsigned int ms);
// Installs a sleeper; null puts the real sleep (SleepEx) back.
void SetSleepSeam(PFN_SLEEP_SEAM sleeper);
// Sleeps ms through the installed sleeper, or SleepEx(ms) when none is installed.
void SeamSleep(unsigned int ms);

// Every pause longer than us microseconds sleeps us instead; 0 (at load) removes the ceiling.
void SetPauseCeilingUs(unsigned int us);
// The pause in microseconds that SleepEx(ms) makes under the ceiling now.
uint64_t PauseUnderCeilingUs(unsigned int ms);
