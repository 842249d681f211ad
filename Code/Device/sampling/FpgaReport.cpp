#include "sampling/FpgaReport.h"

#include <cstring>

void DecodeFPGAReport(const unsigned char reply[64], FPGA_PD_REPORT* report) {
    memset(report, 0, sizeof *report);
    const unsigned bits = reply[8];
    for (int i = 0; i < 6; ++i) {
        report->fSignal[i] = ((bits >> (5 - i)) & 1u) != 0 ? 1.0 : 0.0;
    }
    for (int g = 0; g < 3; ++g) {
        const unsigned char* p = reply + 9 + 3 * g;
        report->fLevel1[g] = static_cast<double>((p[0] << 4) | (p[1] >> 4));
        report->fLevel2[g] = static_cast<double>(((p[1] & 0x0F) << 8) | p[2]);
    }
}

void MeanFPGAReport(const FPGA_PD_REPORT* reports, int count, const float ratio0[3], const float ratio1[3],
                    FPGA_PD_REPORT* mean) {
    memset(mean, 0, sizeof *mean);
    if (count <= 0) {
        return;
    }
    for (int r = 0; r < count; ++r) {
        for (int i = 0; i < 6; ++i) {
            mean->fSignal[i] += reports[r].fSignal[i];
        }
        for (int g = 0; g < 3; ++g) {
            mean->fLevel1[g] += reports[r].fLevel1[g];
            mean->fLevel2[g] += reports[r].fLevel2[g];
        }
    }
    const double n = static_cast<double>(count);
    for (double& s : mean->fSignal) {
        s /= n;
    }
    for (int g = 0; g < 3; ++g) {
        mean->fLevel1[g] /= n;
        mean->fLevel2[g] /= n;
        mean->fScaled1[g] = static_cast<double>(ratio0[g]) * mean->fLevel1[g];
        mean->fScaled2[g] = static_cast<double>(ratio1[g]) * mean->fLevel2[g];
    }
}

namespace {

// numerator / denominator, 0 when the denominator is 0 (the levels are never negative,
// so the numerator is then 0 as well).
double Share(double numerator, double denominator) { return denominator != 0.0 ? numerator / denominator : 0.0; }

}  // namespace

double CalculateDUTLocation(FPGA_PD_REPORT* report) {
    for (double& s : report->fSignal) {
        s = s > 0.3 ? 1.0 : 0.0;
    }
    const double* s = report->fSignal;
    const bool a = s[0] != 0.0 || s[1] != 0.0;
    const bool b = s[2] != 0.0 || s[3] != 0.0;
    const bool c = s[4] != 0.0 || s[5] != 0.0;
    const double l0 = report->fLevel1[0], l1 = report->fLevel1[1], l2 = report->fLevel1[2];
    if (a && b && c) {
        return -1.0;
    }
    if (a && !b && !c) {
        return -2.0;
    }
    if (!a && b && c) {
        return 50.0;
    }
    if (a && !b && c) {
        return 0.0;
    }
    if (a && b && !c) {
        return 100.0;
    }
    if (!a && !b && c) {
        return Share(50.0 * l0, l0 + l1);
    }
    if (!a && b && !c) {
        return 100.0 - Share(50.0 * l0, l0 + l2);
    }
    return Share(100.0 * (l0 + l2), l0 + l1 + l2);
}
