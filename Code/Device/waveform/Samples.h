// Sample arrays of the ECG and PPG period generators: allocation, the frame every period
// generator shares, and the millivolt form of an integer period. Owned by the waveform
// model; pure computation.
#pragma once

namespace nvs {

// A new array of n zero samples; null for n <= 0 or a failed allocation.
int* NewSamples(int n);

// The frame of an integer period generator. Clears the outputs; for n > 0 makes the AC
// array with shape(n) and a zeroed DC array and hands both out with *count = n. Hands out
// nothing (and frees what was made) when either allocation fails. True when handed out;
// the caller then fills in the DC array and adjusts the AC one.
template <typename Shape>
bool NewPeriod(int n, Shape shape, int* count, int** ac, int** dc) {
    *count = 0;
    *ac = nullptr;
    *dc = nullptr;
    if (n <= 0) {
        return false;
    }
    int* a = shape(n);
    int* d = NewSamples(n);
    if (a == nullptr || d == nullptr) {
        delete[] a;
        delete[] d;
        return false;
    }
    *count = n;
    *ac = a;
    *dc = d;
    return true;
}

// The double form of an integer period of n samples: new arrays in millivolts, the AC
// divided by acUnitsPerMv (1000 for microvolts, 2000 for the PPG shapes in 1/2000 mV),
// the DC by 1000 (microvolts). The integer arrays are freed. Hands out *count = n, or 0
// and null arrays for n = 0 or a failed allocation.
void ToMillivolts(int n, int* intAc, int* intDc, double acUnitsPerMv, int* count, double** ac, double** dc);

}  // namespace nvs
