// Test fixture: puts the process-wide state of the protocol and of the waveform model's
// calibration back to its load-time values (identity and capability records, DAC levels,
// caches, respiration tables, the ECG DC line and the PPG DC tables), so that one test's
// instrument does not leak into the next. Each component resets its own globals; this
// only calls them all.
#pragma once

void ResetProtocolState();
