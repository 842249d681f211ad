#include "SampleStream.h"

#include <algorithm>

namespace nvsemu {

namespace {
constexpr uint64_t kMaxSamplesPerTurn = 100000;  // a late turn catches up at most this much
}  // namespace

SampleSource SampleSource::Constant(uint16_t v) {
    SampleSource s;
    s.low = v;
    return s;
}

SampleSource SampleSource::Square(uint16_t low, uint16_t high, unsigned halfPeriodSamples) {
    SampleSource s;
    s.kind = Kind::Square;
    s.low = low;
    s.high = high;
    s.halfPeriod = std::max(1u, halfPeriodSamples);
    return s;
}

SampleSource SampleSource::Script(std::vector<uint16_t> values) {
    SampleSource s;
    s.kind = Kind::Script;
    s.script = std::move(values);
    return s;
}

uint16_t SampleSource::At(uint64_t index) const {
    switch (kind) {
        case Kind::Square:
            return (index / halfPeriod) % 2 == 0 ? low : high;
        case Kind::Script:
            return script.empty() ? 0 : script[index % script.size()];
        default:
            return low;
    }
}

void SampleStream::SetSource(int input, SampleSource source) {
    if (input >= 0 && input < 4)
        sources_[input] = std::move(source);
}

void SampleStream::SetRate(unsigned samplesPerSecond) { rate_ = std::max(1u, samplesPerSecond); }

void SampleStream::SetFlushMs(unsigned ms) { flushUs_ = uint64_t{ms} * 1000; }

void SampleStream::SetFirstNumber(uint16_t number) { firstNumber_ = number; }

void SampleStream::SetFaults(const StreamFaults& faults) { faults_ = faults; }

void SampleStream::Start(uint8_t mask, uint64_t nowUs) {
    mask_ = mask & 0x0F;
    startUs_ = lastPacketUs_ = nowUs;
    samples_ = packets_ = 0;
    number_ = firstNumber_;
    records_.clear();
    counts_.clear();
}

void SampleStream::Stop() {
    mask_ = 0;
    records_.clear();
    counts_.clear();
}

int SampleStream::Inputs() const {
    int n = 0;
    for (int b = 0; b < 4; ++b)
        n += (mask_ >> b) & 1;
    return n;
}

void SampleStream::AddSample() {
    std::vector<uint16_t> values;
    for (int b = 0; b < 4; ++b)
        if ((mask_ >> b) & 1)
            values.push_back(sources_[b].At(samples_));
    ++samples_;
    if (!records_.empty() && records_.back() == values && counts_.back() < 255) {
        ++counts_.back();
        return;
    }
    records_.push_back(std::move(values));
    counts_.push_back(1);
}

SampleStream::Bytes SampleStream::Emit() {
    const long index = static_cast<long>(packets_++);
    if (index == faults_.gapAt)
        ++number_;
    const int size = RecordSize();
    const size_t n = std::min(records_.size(), static_cast<size_t>(Capacity()));
    Bytes p(64, 0);
    p[0] = 0xAD;
    p[1] = 0xFF;
    p[2] = 0x00;
    p[3] = index == faults_.badStatusAt ? 0x00 : 0xFF;
    p[4] = faults_.forcedMode >= 0 ? static_cast<uint8_t>(faults_.forcedMode) : mask_;
    p[5] = static_cast<uint8_t>(n * static_cast<size_t>(size));
    p[6] = static_cast<uint8_t>(number_ >> 8);
    p[7] = static_cast<uint8_t>(number_);
    ++number_;
    size_t at = 8;
    for (size_t r = 0; r < n; ++r) {
        for (uint16_t v : records_[r]) {
            p[at++] = static_cast<uint8_t>(v >> 8);
            p[at++] = static_cast<uint8_t>(v);
        }
        p[at++] = counts_[r];
    }
    records_.erase(records_.begin(), records_.begin() + static_cast<std::ptrdiff_t>(n));
    counts_.erase(counts_.begin(), counts_.begin() + static_cast<std::ptrdiff_t>(n));
    if (index == faults_.shortAt)
        p.resize(40);
    return p;
}

std::vector<SampleStream::Bytes> SampleStream::Due(uint64_t nowUs, uint64_t* nextUs) {
    std::vector<Bytes> out;
    *nextUs = 0;
    if (!On())
        return out;
    if (faults_.stall) {
        lastPacketUs_ = nowUs;
        *nextUs = nowUs + flushUs_;
        return out;
    }
    const uint64_t elapsed = nowUs > startUs_ ? nowUs - startUs_ : 0;
    const uint64_t target = elapsed * rate_ / 1000000;
    uint64_t owed = target > samples_ ? std::min(target - samples_, kMaxSamplesPerTurn) : 0;
    const size_t capacity = static_cast<size_t>(Capacity());
    while (owed-- > 0) {
        AddSample();
        if (records_.size() == capacity) {  // full: it goes at once
            out.push_back(Emit());
            lastPacketUs_ = nowUs;
        }
    }
    if (!records_.empty() && nowUs >= lastPacketUs_ + flushUs_) {
        out.push_back(Emit());
        lastPacketUs_ = nowUs;
    }
    if (target > samples_)
        startUs_ = nowUs - samples_ * 1000000 / rate_;  // a turn that fell far behind restarts the clock
    // Next: the earliest a packet could fill (every sample a new record), or the flush.
    const uint64_t fill = capacity - std::min(records_.size(), capacity);
    const uint64_t fillUs = startUs_ + (samples_ + std::max<uint64_t>(fill, 1)) * 1000000 / rate_;
    *nextUs = std::min(fillUs, records_.empty() ? fillUs : lastPacketUs_ + flushUs_);
    return out;
}

std::vector<SampleStream::Bytes> SampleStream::Burst(unsigned n) {
    std::vector<Bytes> out;
    if (!On())
        return out;
    for (unsigned i = 0; i < n; ++i) {
        if (records_.empty())
            AddSample();
        out.push_back(Emit());
    }
    return out;
}

}  // namespace nvsemu
