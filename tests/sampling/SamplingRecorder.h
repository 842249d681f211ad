// Recorders for the sampling suite: four data callbacks and an error callback that
// append what they hear, safe to read from the test thread while the sampling thread
// calls them.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "api/nvs300.h"

using Call = std::pair<int, int>;  // (value, count)

class SamplingRecorder {
public:
    static SamplingRecorder& Instance();
    static PFN_SAMPLING_CALLBACK Data(int kind);  // records into Instance()
    static void Error(int code);

    void Clear();
    std::vector<Call> Calls(int kind) const;
    std::vector<int> Errors() const;
    // Samples delivered to kind (sum of the counts).
    long Samples(int kind) const;
    size_t CallCount(int kind) const;

    template <int K>
    static void Record(int value, int count) {
        SamplingRecorder& r = Instance();
        std::lock_guard<std::mutex> lock(r.mu_);
        r.calls_[K].emplace_back(value, count);
    }

private:
    mutable std::mutex mu_;
    std::vector<Call> calls_[4];
    std::vector<int> errors_;
};

// A 64-byte sampling packet: AD FF 00 FF mode length seq(BE), then the payload bytes.
std::vector<uint8_t> SamplingPacket(uint8_t mode, uint8_t length, uint16_t seq, const std::vector<uint8_t>& payload);
// Records of a merged mode: value (BE) then count.
std::vector<uint8_t> Runs(const std::vector<std::pair<uint16_t, uint8_t>>& runs);
