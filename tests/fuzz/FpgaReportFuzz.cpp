// libFuzzer target: five FPGA report replies through the decoding, the mean and the
// location of the device under test.
//
// Input: [0-23] ratio rows 0 and 1, columns 0..2 (float bits, little-endian), then five
// 64-byte replies (short inputs are zero-filled).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sampling/FpgaReport.h"

namespace {

constexpr size_t kInput = 24 + 5 * 64;

void Check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t in[kInput] = {};
    memcpy(in, data, size < kInput ? size : kInput);
    float ratio[2][3];
    memcpy(ratio, in, sizeof ratio);

    FPGA_PD_REPORT reports[kFPGAReportsPerMean];
    for (int r = 0; r < kFPGAReportsPerMean; ++r) {
        uint8_t* reply = new uint8_t[64];  // exactly one reply: a read past it is reported
        memcpy(reply, in + 24 + 64 * r, 64);
        DecodeFPGAReport(reply, &reports[r]);
        delete[] reply;
        for (int i = 0; i < 6; ++i) {
            Check(reports[r].fSignal[i] == 0.0 || reports[r].fSignal[i] == 1.0);
        }
        for (int g = 0; g < 3; ++g) {
            Check(reports[r].fLevel1[g] >= 0.0 && reports[r].fLevel1[g] <= 4095.0);
            Check(reports[r].fLevel2[g] >= 0.0 && reports[r].fLevel2[g] <= 4095.0);
        }
    }
    FPGA_PD_REPORT mean;
    MeanFPGAReport(reports, kFPGAReportsPerMean, ratio[0], ratio[1], &mean);
    for (double s : mean.fSignal) {
        Check(s >= 0.0 && s <= 1.0);
    }
    // What the detection callback hears: the location truncated to an int. The shares may
    // round a last bit above 100 (100 x a / a), which the truncation takes back.
    const double location = CalculateDUTLocation(&mean);
    Check(!std::isnan(location) && location > -3.0 && location < 101.0);
    const int heard = static_cast<int>(location);
    Check(heard == -1 || heard == -2 || (heard >= 0 && heard <= 100));
    return 0;
}
