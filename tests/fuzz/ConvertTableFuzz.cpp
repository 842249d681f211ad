// libFuzzer target: a calibration convert-table file's bytes through the point parser and
// the interpolation, checked against a plain reading of the same lines.
//
// Checks: entries 0..4095 lie in 0..4095 (no marker left); each key a line sets holds
// that key's last value; every other entry lies between its two anchors (the nearest set
// entries below and above, entry 0 and 4095 counting as set); the copy has 4096 lines.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/ConvertTable.h"

namespace {

void Check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

int Code(const std::string& text) {
    const long long v = strtoll(text.c_str(), nullptr, 10);  // saturates at the range
    return static_cast<int>(std::clamp<long long>(v, 0, 4095));
}

// The reference: key -> last value, -1 where no line set it.
std::vector<int> Reference(const std::string& bytes) {
    std::vector<int> set(kConvertFileCodes, -1);
    size_t start = 0;
    while (start <= bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        const std::string line = bytes.substr(start, end - start);
        const size_t equals = line.find('=');
        if (line.size() <= 127 && equals != std::string::npos) {
            set[Code(line.substr(0, equals))] = Code(line.substr(equals + 1));
        }
        start = end + 1;
    }
    return set;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::vector<int32_t> entries(kConvertFileCodes);
    ParseConvertTablePoints(bytes.data(), bytes.size(), entries.data());
    InterpolateConvertTable(entries.data());

    std::vector<int> set = Reference(bytes);
    if (set[0] < 0) {
        set[0] = 0;
    }
    if (set[4095] < 0) {
        set[4095] = 4095;
    }
    std::vector<int> nextSet(kConvertFileCodes, 4095);  // the nearest set entry at or above i
    for (int i = kConvertFileCodes - 1, next = 4095; i >= 0; --i) {
        if (set[i] >= 0) {
            next = i;
        }
        nextSet[i] = next;
    }
    int below = 0;
    for (int i = 0; i < kConvertFileCodes; ++i) {
        Check(entries[i] >= 0 && entries[i] <= 4095);
        if (set[i] >= 0) {
            Check(entries[i] == set[i]);
            below = i;
            continue;
        }
        const int above = nextSet[i];
        Check(entries[i] >= std::min(set[below], set[above]) && entries[i] <= std::max(set[below], set[above]));
    }
    const std::string copy = FormatConvertedCopy(entries.data());
    Check(std::count(copy.begin(), copy.end(), '\n') == kConvertFileCodes);
    return 0;
}
