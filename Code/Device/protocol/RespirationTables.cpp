// The external-respiration module's host tables.
#include "protocol/RespirationTables.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {
constexpr double kCoefficientAtLoad = 110.0;
}  // namespace

double g_fECGExtRespirationCoef[4] = {kCoefficientAtLoad, kCoefficientAtLoad, kCoefficientAtLoad, kCoefficientAtLoad};
double g_fECGExtRespiratationRDAC3[96] = {};
uint16_t g_ECGExtRespirationBaselineDACTable[12] = {};

void ExtRespSetCoef(double* coef) {
    if (coef != nullptr) {
        memcpy(g_fECGExtRespirationCoef, coef, sizeof g_fECGExtRespirationCoef);
    }
}

void ResetRespirationTables() {
    std::fill(std::begin(g_fECGExtRespirationCoef), std::end(g_fECGExtRespirationCoef), kCoefficientAtLoad);
    memset(g_fECGExtRespiratationRDAC3, 0, sizeof g_fECGExtRespiratationRDAC3);
    memset(g_ECGExtRespirationBaselineDACTable, 0, sizeof g_ECGExtRespirationBaselineDACTable);
}
