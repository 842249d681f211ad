// The library's fixed pauses that tests must not sit through: the one-second pauses of
// DeviceConnect between scans, the long waits of the firmware and FPGA updates (page
// erase, resend, the instrument's restart), the memory command's pauses (40 ms after
// each written packet, 6 ms after each byte-form read) and the PPG module's (the 200 ms
// reply waits of a calibration setting, the pauses around a setting write, the 3 s
// AC-range load, the transmission rate's poll). They all sleep through SeamSleep; a
// test installs its own sleeper, which records what was asked for and may sleep less.
// Internal: not exported, and the library itself never installs one.
//
// Owns: the installed sleeper (one process-wide slot, read on every call).
#pragma once

// Sleeps ms milliseconds, or does what the installed sleeper does instead.
typedef void (*PFN_SLEEP_SEAM)(unsigned int ms);
// Installs a sleeper; null puts the real sleep (SleepEx) back.
void SetSleepSeam(PFN_SLEEP_SEAM sleeper);
// Sleeps ms through the installed sleeper, or SleepEx(ms) when none is installed.
void SeamSleep(unsigned int ms);
