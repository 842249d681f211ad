// Stand-ins until photodiode sampling exists: no sampling thread ever runs, so there is
// nothing to stop or prepare, and the FPGA ratios keep their values.
#include "sampling/Sampling.h"

void ORVDisableSampling() {}

bool StartSamplingPreProcessing(_DEVICE_CONTROL_SETTING*& copy) {
    copy = nullptr;
    return true;
}

bool FPGASyncFromEEPROM() { return false; }
