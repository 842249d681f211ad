// Sample arrays of the period generators.
#include "waveform/Samples.h"

#include <new>

namespace nvs {

int* NewSamples(int n) {
    if (n <= 0) {
        return nullptr;
    }
    return new (std::nothrow) int[n]();
}

void ToMillivolts(int n, int* intAc, int* intDc, double acUnitsPerMv, int* count, double** ac, double** dc) {
    *count = 0;
    *ac = nullptr;
    *dc = nullptr;
    if (n > 0) {
        double* a = new (std::nothrow) double[n];
        double* d = new (std::nothrow) double[n];
        if (a != nullptr && d != nullptr) {
            for (int i = 0; i < n; ++i) {
                a[i] = intAc[i] / acUnitsPerMv;
                d[i] = intDc[i] / 1000.0;
            }
            *count = n;
            *ac = a;
            *dc = d;
        } else {
            delete[] a;
            delete[] d;
        }
    }
    delete[] intAc;
    delete[] intDc;
}

}  // namespace nvs
