// Host copies of the external-respiration module's calibration: the model's four
// coefficients, the RDAC3 resistance table and the baseline DAC table. The stored-record
// loaders and writers (StoredRecords.h) fill them after each connection and on the
// host's request; the external-respiration model of the device API reads them.
//
// Owns: the three tables and ExtRespSetCoef. Guarded by g_CriticalSection.
#pragma once

#include <cstdint>

// C0, C1: fixed resistances in series with potentiometers 0 and 1 (ohms); C2: index
// correction of the RDAC3 table; C3 stored but not used. 110.0 each at load.
extern double g_fECGExtRespirationCoef[4];
// Resistance of each RDAC3 position, ohms. Zero at load.
extern double g_fECGExtRespiratationRDAC3[96];
// Baseline DAC word per baseline index 0..11. Zero at load.
extern uint16_t g_ECGExtRespirationBaselineDACTable[12];
// The three tables back to their load-time values (for the test suites).
void ResetRespirationTables();

// Copies four doubles into g_fECGExtRespirationCoef.
void ExtRespSetCoef(double* coef);
