// FPGA report sampling and detection of the device under test, and the photodiode ratio
// table's exchange with the FPGA module's memory (PPG models 0x2012 and 0x2014 keep it
// in target 19 at 0x1480 + 32 x row, eight little-endian floats a row).
//
// The report poller is the sampling thread of SamplingState.h: it shares its handle,
// events and stop (ORVDisableSampling).
//
// Owns: nothing beyond SamplingState.h; g_FPGA_PDRatio belongs to the loading after a
// connection (api/PostConnection.h).
#pragma once

#include "api/nvs300.h"
#include "sampling/FpgaReport.h"

typedef void (*PFN_FPGA_REPORT_HANDLER)(FPGA_PD_REPORT* report);

int FGPAEnableDUTSignalDetection(int enable, PFN_DUT_DETECTION_CALLBACK callback);
int FPGAEnableFPGASampling(int enable, int mode, PFN_FPGA_SAMPLING_CALLBACK callback);
// The thread body; its argument is the report handler.
void* FPGASamplingThread(void* handler);
void FPGADutSignalDetection(FPGA_PD_REPORT* report);
void FPGABypassSampling(FPGA_PD_REPORT* report);
// Ratio rows 0..2 from the module's memory (0.0 becomes 1.0, NaN stays): true when all
// three were read; a failed read stops there and leaves the later rows.
bool FPGASyncFromEEPROM();
// Row channel - 1 to the module's memory; false, nothing written, for a channel outside
// 1..3.
bool FPGASyncToEEPROM(PPGChannel channel);
