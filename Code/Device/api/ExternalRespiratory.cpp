// The external-respiration model and its exported functions.
//
// The model's arithmetic is in double; every position is truncated toward zero. Values
// that fall outside what the module can take (negative positions when the calibration
// does not fit the wanted resistance, the index of a resistance below the table) are
// clamped before any conversion to an integer: a negative or huge double converted to
// an unsigned word has no defined value.
#include "api/ExternalRespiratory.h"

#include <algorithm>
#include <cmath>

#include "api/nvs300.h"
#include "platform/StaticObjects.h"
#include "protocol/Identity.h"
#include "protocol/PPGModule.h"
#include "protocol/RespirationTables.h"
#include "protocol/StoredRecords.h"

namespace {

constexpr double kStepsPerOhm = 1024.0 / 20000.0;  // 0.0512: potentiometer steps per ohm
constexpr double kPotentiometerOhms = 20000.0;

// A potentiometer position: truncated, clamped to the module's steps 0..1023.
uint16_t Step(double value) {
    if (!(value > 0.0)) {
        return 0;  // negative, or NaN
    }
    if (value >= kPotentiometerLastStep) {
        return kPotentiometerLastStep;
    }
    return static_cast<uint16_t>(static_cast<int>(value));
}

}  // namespace

bool ExtRespIsAvailable() { return GetECGRespirationType() == 1; }

uint16_t ExtRespRDAC3Index(double resistance, double c2) {
    const double x = (resistance - 50.0) * 6.0 + 10.0 + (100.0 - c2) / 21.0;
    // -1 < x < 96 truncates to 0..95. Below that the index used to wrap to a large word
    // and become the last index; it still does, without the wrap.
    if (!(x > -1.0) || x >= kRDAC3Entries) {
        return kRDAC3Entries - 1;
    }
    return static_cast<uint16_t>(static_cast<int>(x));
}

bool ExtRespGetAmplitudeDAC(double resistance, unsigned short* words) {
    if (words == nullptr || !(resistance > 0.0)) {
        return false;
    }
    const double c0 = g_fECGExtRespirationCoef[0];
    const double c1 = g_fECGExtRespirationCoef[1];
    const uint16_t index = ExtRespRDAC3Index(resistance, g_fECGExtRespirationCoef[2]);
    const double rc = g_fECGExtRespiratationRDAC3[index];
    if (!(rc > 0.0) || !std::isfinite(rc)) {
        return false;  // no RDAC3 calibration: 1/Rc would be infinite
    }
    // Potentiometer 1 first, then potentiometer 0 takes the conductance that remains,
    // rounded to the nearest step.
    const double pot1 = kStepsPerOhm * (1.0 / (1.0 / resistance - 1.0 / (c1 + kPotentiometerOhms) - 1.0 / rc) - c1);
    const uint16_t step1 = static_cast<uint16_t>(std::min(Step(pot1) + 1, static_cast<int>(kPotentiometerLastStep)));
    const double rb = c1 + step1 / 1024.0 * kPotentiometerOhms;
    const double pot0 = 0.5 + kStepsPerOhm * (1.0 / (1.0 / resistance - 1.0 / rb - 1.0 / rc) - c0);
    words[0] = Step(pot0);
    words[1] = step1;
    words[2] = index;
    return true;
}

uint16_t ExtRespGetBaselineDAC(int index) {
    return g_ECGExtRespirationBaselineDACTable[std::min(std::max(index, 0), kRespirationBaselineEntries - 1)];
}

// ---- Exported --------------------------------------------------------------------------

bool ORVExternalRespiratorySetBaseline(int baseline, int second) {
    CAutoCriticalSection lock(g_CriticalSection);
    unsigned short words[4];
    if (!WriteRespiratoryBaselineSetting(baseline, second) || !ReadRespiratoryModuleSetting(words)) {
        return false;
    }
    words[3] = ExtRespGetBaselineDAC(baseline);
    return WriteRespiratoryModuleSetting(words);
}

bool ORVWriteRespirationRWA(double* coefficients) {
    if (coefficients == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return WriteRespirationRWA(coefficients);
}

bool ORVExternalRespiratoryWriteRDAC3(double* table) {
    if (table == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return WriteRespirationRDAC3(table);
}

bool ORVWriteRespirationBaselineDACTable(unsigned short* table) {
    if (table == nullptr) {
        return false;
    }
    CAutoCriticalSection lock(g_CriticalSection);
    return WriteRespirationBaselineDACTable(table);
}

bool ORVExternalRespiratorySetDAC(unsigned short pot0, unsigned short pot1, unsigned short rdac3,
                                  unsigned short baseline) {
    CAutoCriticalSection lock(g_CriticalSection);
    unsigned short words[4] = {pot0, pot1, rdac3, baseline};
    return WriteRespiratoryModuleSetting(words);
}

void ORVExternalRespiratoryGetAmplitudeDACByResistance(double resistance, unsigned short* words) {
    if (words == nullptr) {
        return;
    }
    unsigned short setting[4] = {0, 0, 0, 0};
    ExtRespGetAmplitudeDAC(resistance, setting);
    std::copy(setting, setting + 3, words);
}

bool ORVExternalRespiratorySetBaselineDAC(unsigned short baseline) {
    CAutoCriticalSection lock(g_CriticalSection);
    unsigned short words[4];
    if (!ReadRespiratoryModuleSetting(words)) {
        return false;
    }
    words[3] = baseline;
    return WriteRespiratoryModuleSetting(words);
}

bool ORVExternalRespiratorySetAmplitudeByResistance(double resistance) {
    CAutoCriticalSection lock(g_CriticalSection);
    unsigned short amplitude[3];
    if (!ExtRespGetAmplitudeDAC(resistance, amplitude)) {
        return false;  // nothing the module could be set to
    }
    unsigned short words[4];
    if (!ReadRespiratoryModuleSetting(words)) {
        return false;
    }
    std::copy(amplitude, amplitude + 3, words);
    return WriteRespiratoryModuleSetting(words);
}
