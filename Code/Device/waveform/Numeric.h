// Numeric helpers of the waveform model: pi, and the one conversion from double to int that
// every host-supplied quantity goes through. Owned by the waveform model.
#pragma once

#include <climits>
#include <cstdint>

namespace nvs {

constexpr double kPi = 3.14159265358979323846;

// Truncation toward zero, saturating at the int range; NaN gives 0. A plain (int) of an
// out-of-range double is undefined, and host records may carry any value.
inline int SatInt(double x) {
    if (!(x == x)) {
        return 0;
    }
    if (x >= 2147483647.0) {
        return INT_MAX;
    }
    if (x <= -2147483648.0) {
        return INT_MIN;
    }
    return static_cast<int>(x);
}

// A 64-bit integer saturated to the int range.
inline int SatInt(int64_t x) {
    if (x > INT_MAX) {
        return INT_MAX;
    }
    if (x < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(x);
}

inline int ClampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Share num / den of a segment; a segment of length 0 contributes 0 (its only sample
// would otherwise be 0/0).
inline double Fraction(double num, double den) { return den == 0.0 ? 0.0 : num / den; }

}  // namespace nvs
