#include "SamplingRecorder.h"

SamplingRecorder& SamplingRecorder::Instance() {
    static SamplingRecorder recorder;
    return recorder;
}

PFN_SAMPLING_CALLBACK SamplingRecorder::Data(int kind) {
    static const PFN_SAMPLING_CALLBACK all[4] = {Record<0>, Record<1>, Record<2>, Record<3>};
    return all[kind];
}

void SamplingRecorder::Error(int code) {
    SamplingRecorder& r = Instance();
    std::lock_guard<std::mutex> lock(r.mu_);
    r.errors_.push_back(code);
}

void SamplingRecorder::Clear() {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& c : calls_) {
        c.clear();
    }
    errors_.clear();
}

std::vector<Call> SamplingRecorder::Calls(int kind) const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_[kind];
}

std::vector<int> SamplingRecorder::Errors() const {
    std::lock_guard<std::mutex> lock(mu_);
    return errors_;
}

long SamplingRecorder::Samples(int kind) const {
    std::lock_guard<std::mutex> lock(mu_);
    long n = 0;
    for (const Call& c : calls_[kind]) {
        n += c.second;
    }
    return n;
}

size_t SamplingRecorder::CallCount(int kind) const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_[kind].size();
}

std::vector<uint8_t> SamplingPacket(uint8_t mode, uint8_t length, uint16_t seq, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> p(64, 0);
    p[0] = 0xAD;
    p[1] = 0xFF;
    p[3] = 0xFF;
    p[4] = mode;
    p[5] = length;
    p[6] = static_cast<uint8_t>(seq >> 8);
    p[7] = static_cast<uint8_t>(seq);
    for (size_t i = 0; i < payload.size() && 8 + i < p.size(); ++i) {
        p[8 + i] = payload[i];
    }
    return p;
}

std::vector<uint8_t> Runs(const std::vector<std::pair<uint16_t, uint8_t>>& runs) {
    std::vector<uint8_t> out;
    for (const auto& r : runs) {
        out.push_back(static_cast<uint8_t>(r.first >> 8));
        out.push_back(static_cast<uint8_t>(r.first));
        out.push_back(r.second);
    }
    return out;
}
