// The external-respiration module's host tables.
#include "protocol/RespirationTables.h"

#include <cstring>

double g_fECGExtRespirationCoef[4] = {110.0, 110.0, 110.0, 110.0};
double g_fECGExtRespiratationRDAC3[96] = {};
uint16_t g_ECGExtRespirationBaselineDACTable[12] = {};

void ExtRespSetCoef(double* coef) {
    if (coef != nullptr) {
        memcpy(g_fECGExtRespirationCoef, coef, sizeof g_fECGExtRespirationCoef);
    }
}
