// The LED, ambient-light and PPG-module functions' host-side state.
//
// Owns: the selected PPG module as the instrument last reported it, and the hot-plug
// flag. The transmission-rate mode, the amplitude-conversion flag and the AC DAC level
// that these functions also set belong to the waveform model and the protocol
// (waveform/Calibration.h, protocol/Protocol.h).
#pragma once

#include <atomic>

// The module number the instrument last reported (any byte it sent; table lookups
// bounds-check it, see PPGPDSamplingTable). 0 at load. Written under g_CriticalSection.
extern std::atomic<int> g_nCurrentSelectPPGModule;
// Stored by ORVEnableHotPlugDetection; nothing reads it.
extern std::atomic<int> g_bHotPlugDetection;
// Both back to their load-time values (for the test suites).
void ResetLedApiState();
