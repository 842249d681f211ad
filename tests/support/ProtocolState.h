// Test fixture: puts the protocol's process-wide records back to their load-time values
// (identity and capability records, DAC levels, caches, respiration tables, ECG DC table),
// so that one test's instrument does not leak into the next.
#pragma once

void ResetProtocolState();
