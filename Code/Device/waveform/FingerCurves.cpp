// Built-in finger-PPG curves of PPG model 0x2012: the module's measured finger response.
// The curves are kept as their measured anchor points; every other entry lies on the
// straight line between its two neighbouring anchors, rounded to a whole number, so each
// curve is non-decreasing and passes exactly through the anchors.
#include <array>
#include <cstddef>

#include "waveform/Conversion.h"
#include "waveform/Numeric.h"

namespace {

struct Anchor {
    int index;
    int value;
};

// DC curve: set-point (mV) -> converted level (mV); saturates at 2973 from 1574 mV on.
constexpr Anchor kDCAnchors[] = {
    {0, 0},     {1, 28},     {2, 51},      {10, 88},     {50, 226},    {100, 356},
    {200, 559}, {500, 1126}, {1000, 2000}, {1500, 2841}, {1574, 2973}, {3000, 2973},
};

// AC curve: amplitude (0.1 mV) -> converted amplitude (0.1 mV); 261 from 29.9 mV on.
constexpr Anchor kACAnchors[] = {
    {0, 0},     {1, 1},     {10, 8},    {20, 17},   {50, 42},   {100, 84},  {150, 128},
    {200, 172}, {250, 217}, {280, 244}, {290, 253}, {299, 261}, {300, 261},
};

template <std::size_t Size, std::size_t Anchors>
constexpr std::array<double, Size> BuildCurve(const Anchor (&anchors)[Anchors]) {
    std::array<double, Size> curve{};
    for (std::size_t k = 0; k + 1 < Anchors; ++k) {
        const Anchor a = anchors[k];
        const Anchor b = anchors[k + 1];
        const long span = b.index - a.index;
        for (int i = a.index; i <= b.index; ++i) {
            // Round half up in integers: a + (b - a) x (i - ia) / (ib - ia).
            const long num = static_cast<long>(b.value - a.value) * (i - a.index);
            curve[static_cast<std::size_t>(i)] = a.value + (2 * num + span) / (2 * span);
        }
    }
    return curve;
}

constexpr std::array<double, 3001> kDCCurve = BuildCurve<3001>(kDCAnchors);
constexpr std::array<double, 301> kACCurve = BuildCurve<301>(kACAnchors);

static_assert(kDCCurve[1000] == 2000 && kDCCurve[1573] < 2973 && kDCCurve[3000] == 2973, "DC curve anchors");
static_assert(kACCurve[100] == 84 && kACCurve[298] < 261 && kACCurve[300] == 261, "AC curve anchors");

// Ratio of the module's gain to the reference 0.113, by range of the converted DC level.
constexpr double kRangeFactor[31] = {
    0.018251, 0.052437, 0.069418, 0.079937, 0.087152, 0.092365, 0.09633,  0.103286, 0.102154, 0.104043, 0.105641,
    0.106936, 0.107952, 0.108699, 0.109461, 0.110119, 0.110443, 0.110767, 0.111084, 0.110608, 0.111148, 0.111194,
    0.109945, 0.111688, 0.11017,  0.110282, 0.110148, 0.111222, 0.109935, 0.111163, 0.054595,
};

}  // namespace

double FingerDCCurve(int index) { return kDCCurve[static_cast<std::size_t>(nvs::ClampInt(index, 0, 3000))]; }

double FingerACCurve(int index) { return kACCurve[static_cast<std::size_t>(nvs::ClampInt(index, 0, 300))]; }

double FingerRangeFactor(int index) { return kRangeFactor[nvs::ClampInt(index, 0, 30)]; }
