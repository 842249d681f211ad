// Photodiode sampling and the FPGA photodiode reports.
#pragma once

struct _DEVICE_CONTROL_SETTING;

// Stops the sampling thread (clears its run and pause events; gives it 200 ms).
void ORVDisableSampling();
// Re-enables the photodiode inputs in the control block; hands back a copy of the block
// (or null). True when there was nothing to do or the instrument accepted.
bool StartSamplingPreProcessing(_DEVICE_CONTROL_SETTING*& copy);
// Loads the photodiode ratios from the FPGA module's memory.
bool FPGASyncFromEEPROM();
