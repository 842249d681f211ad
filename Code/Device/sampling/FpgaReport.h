// The FPGA photodiode report: decoding of one reply, the mean of five, and the location
// of the device under test. Pure: no port, lock or clock.
//
// Reply (64 bytes, 0xB0 family): byte 8 holds signal bits 5..0; group g (0..2) occupies
// bytes 9+3g..11+3g: bits 11-4 of the first level, then bits 3-0 of the first level in
// the high nibble with bits 11-8 of the second level in the low nibble, then bits 7-0 of
// the second level. Bytes 0-7 are not examined.
//
// Owns: nothing.
#pragma once

#include "api/nvs300.h"

constexpr int kFPGAReportsPerMean = 5;

// One reply into a zeroed report (signals 0/1, levels 0..4095, scaled fields 0).
void DecodeFPGAReport(const unsigned char reply[64], FPGA_PD_REPORT* report);
// The mean of count reports (signals and levels averaged), with the scaled fields taken
// from ratio rows 0 and 1 (columns 0..2). A NaN ratio gives NaN scaled fields.
void MeanFPGAReport(const FPGA_PD_REPORT* reports, int count, const float ratio0[3], const float ratio1[3],
                    FPGA_PD_REPORT* mean);
// The location of the device under test: -1, -2, 0, 50, 100 or a share of the levels.
// Rounds the report's signals to 0/1 (above 0.3: 1) in place. Where a share's levels are
// all 0 (0/0) the quotient is 0: rows 001 and 000 give 0, row 010 gives 100.
double CalculateDUTLocation(FPGA_PD_REPORT* report);
