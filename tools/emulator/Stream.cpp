#include "Stream.h"

#include <algorithm>
#include <cmath>

namespace nvsemu {
namespace {

using C = StreamChannel;

constexpr size_t kMaxPayload = 56;  // bytes 8 to 63
constexpr size_t kMaxFailuresListed = 1000;
constexpr size_t kMaxLatencies = size_t{1} << 20;

std::vector<uint8_t> Notification(uint8_t kind) {
    std::vector<uint8_t> p(64, 0);
    p[0] = 0x01;
    p[1] = kind;
    return p;
}

}  // namespace

StreamLayout LayoutOf(int mode) {
    std::vector<C> channels;
    switch (mode) {
        case 1:
            channels = {C::Ecg};
            break;
        case 2:
            channels = {C::Ppg1};
            break;
        case 3:
            channels = {C::Ecg, C::Ppg1};
            break;
        case 4:
            channels = {C::Ppg2};
            break;
        case 5:
            channels = {C::Ecg, C::Ppg2};
            break;
        case 6:
            channels = {C::Ppg1, C::Ppg2};
            break;
        case 7:
            channels = {C::Ecg, C::Ppg1, C::Ppg2};
            break;
        case 9:
            channels = {C::Ecg, C::Ppg3};
            break;
        case 10:
            channels = {C::Ppg1, C::Ppg3};
            break;
        case 11:
            channels = {C::Ecg, C::Ppg1, C::Ppg3};
            break;
        case 12:
            channels = {C::Ppg2, C::Ppg3};
            break;
        case 13:
            channels = {C::Ecg, C::Ppg2, C::Ppg3};
            break;
        // The three-PPG modes carry channel 3 first.
        case 14:
            channels = {C::Ppg3, C::Ppg1, C::Ppg2};
            break;
        case 15:
            channels = {C::Ecg, C::Ppg3, C::Ppg1, C::Ppg2};
            break;
        case 16:
            channels = {C::Ppg3};
            break;
        case 17:
            channels = {C::Ecg, C::Respiration};
            break;
        default:
            return {};
    }
    StreamLayout layout;
    for (C c : channels)
        layout.bytesPerSample += 2 * WordsPerSample(c);
    layout.samplesPerPacket = kMaxPayload / layout.bytesPerSample;
    layout.channels = std::move(channels);
    return layout;
}

StreamEvent& StreamPlayer::Event(StreamEvent::Kind kind, uint64_t atUs, uint64_t number, uint64_t value) {
    StreamEvent e;
    e.kind = kind;
    e.atUs = atUs;
    e.number = number;
    e.value = value;
    e.mode = mode_;
    e.rate = rate_;
    e.buffered = held_.size();
    e.counters = counters_;
    events_.push_back(e);
    return events_.back();
}

std::vector<StreamEvent> StreamPlayer::TakeEvents() {
    std::vector<StreamEvent> out;
    out.swap(events_);
    return out;
}

void StreamPlayer::FaultOnDataRequest(size_t index, StreamFault fault, unsigned times) {
    faults_.push_back({index, times, fault});
}

void StreamPlayer::Arm(int mode, unsigned rate, uint64_t nowUs) {
    ++streams_;
    state_ = StreamState::Playing;
    end_ = StreamEnd::None;
    mode_ = mode;
    rate_ = rate;
    nextSeq_ = 0;
    counters_ = {};
    held_.clear();
    started_ = false;
    lastEndUs_ = 0;
    segmentUs_ = 0;
    segmentSamples_ = 0;
    segmentRate_ = 0.0;
    packetsAtRequest_ = 0;
    requestsDue_ = 0;
    dataEnded_ = false;
    noticeQueued_ = false;
    for (auto& words : log_)
        words.clear();
    playedSamples_.fill(0);
    failures_.clear();
    commands_.clear();
    samplesTaken_ = 0;
    samplesPlayed_ = 0;
    latencies_.clear();
    requestWrittenUs_ = 0;
    Event(StreamEvent::Kind::Armed, nowUs);
}

void StreamPlayer::BeginEnd(StreamEnd cause, uint64_t nowUs) {
    state_ = StreamState::Ending;
    end_ = cause;
    // No data request after the end, not even one that was late.
    for (auto it = pending_.begin(); it != pending_.end();)
        it = it->second.kind == Out::EndNotice ? std::next(it) : pending_.erase(it);
    if (held_.empty()) {
        if (started_ && nowUs > lastEndUs_) {
            counters_.tails = 1;
            counters_.tailUs = nowUs - lastEndUs_;
        }
    } else if (options_.dropOnEnd) {
        counters_.droppedAtEnd += held_.size();
        held_.clear();
    }
    Event(StreamEvent::Kind::Ending, nowUs, 0, held_.size());
    if (held_.empty()) {
        pending_.emplace(nowUs, Pending{Out::EndNotice, kEndNotice, 0, streams_});
        noticeQueued_ = true;
    }
}

void StreamPlayer::OperatorMode(int mode, unsigned rate, bool isSwitch, uint64_t nowUs) {
    Advance(nowUs);
    if (IsStreamMode(mode)) {
        if (state_ == StreamState::Playing) {
            mode_ = mode;
            rate_ = rate;
            Event(StreamEvent::Kind::Layout, nowUs);
            return;
        }
        if (state_ == StreamState::Ending) {  // the old stream ends here, without its tail
            counters_.droppedAtEnd += held_.size();
            held_.clear();
            end_ = StreamEnd::NewStream;
            if (!noticeQueued_)
                pending_.emplace(nowUs, Pending{Out::EndNotice, kEndNotice, 0, streams_});
            state_ = StreamState::Ended;
            Event(StreamEvent::Kind::Ended, nowUs);
        }
        Arm(mode, rate, nowUs);
        return;
    }
    if (state_ == StreamState::Playing)
        BeginEnd(isSwitch ? StreamEnd::Switch : StreamEnd::Mode, nowUs);
}

void StreamPlayer::Command(bool endsStream, uint64_t nowUs, const std::vector<uint8_t>& head) {
    if (state_ != StreamState::Playing)
        return;
    Advance(nowUs);
    if (commands_.size() < kMaxCommandMarks) {
        StreamCommandMark m;
        m.atUs = clockUs_;
        m.packets = counters_.packets;
        m.samplesTaken = samplesTaken_;
        m.samplesPlayed = samplesPlayed_;
        m.head.assign(head.begin(), head.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(head.size(), 16)));
        commands_.push_back(std::move(m));
    }
    if (endsStream || dataEnded_)
        return;
    // Batches are 50 packets. A request written while the batch before it was still
    // arriving restarts k inside that batch; the count since the stream began tells
    // that the command still came between two batches.
    const uint64_t k = counters_.packets - packetsAtRequest_;
    if (k % kBatchPackets != 0 && counters_.packets % kBatchPackets != 0) {
        ++counters_.commandsInBatch;
        Event(StreamEvent::Kind::CommandInBatch, nowUs, 0, k);
    }
}

void StreamPlayer::Fail(StreamCheck check, uint64_t packet, uint16_t seq) {
    ++counters_.checkFailures;
    if (failures_.size() < kMaxFailuresListed)
        failures_.push_back({packet, seq, check});
    Event(StreamEvent::Kind::CheckFailed, clockUs_, packet, static_cast<uint64_t>(check));
}

void StreamPlayer::Packet(const uint8_t* bytes, uint64_t nowUs) {
    const uint16_t seq = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    if (state_ != StreamState::Playing) {
        Advance(nowUs);
        Fail(StreamCheck::NoStream, counters_.packets, seq);
        return;
    }
    Advance(nowUs);
    const uint64_t index = counters_.packets++;
    if (counters_.requests > 0 && counters_.packets - packetsAtRequest_ == kBatchPackets &&
        latencies_.size() < kMaxLatencies)
        latencies_.push_back(nowUs > requestWrittenUs_ ? nowUs - requestWrittenUs_ : 0);
    const StreamLayout layout = LayoutOf(mode_);
    const size_t bps = layout.bytesPerSample;
    const size_t spp = layout.samplesPerPacket;

    if (bytes[1] != mode_)
        Fail(StreamCheck::Mode, index, seq);
    if (bytes[2] != 0 || bytes[3] != 0 || bytes[4] != 0)
        Fail(StreamCheck::Reserved, index, seq);
    const size_t length = bytes[5];
    if (length % bps != 0 || length > spp * bps)
        Fail(StreamCheck::Length, index, seq);
    if (seq != nextSeq_)
        Fail(StreamCheck::Sequence, index, seq);
    nextSeq_ = static_cast<uint16_t>((seq + 1u) % kSequenceModulus);
    const size_t counted = std::min(length / bps, spp);
    const size_t zerosFrom = 8 + std::min(counted + 1, spp) * bps;
    if (!std::all_of(bytes + zerosFrom, bytes + 64, [](uint8_t b) { return b == 0; }))
        Fail(StreamCheck::Tail, index, seq);
    dataEnded_ = counted < spp;

    if (held_.size() >= options_.bufferPackets) {
        ++counters_.overflows;
        Event(StreamEvent::Kind::Overflow, nowUs, index);
        return;
    }

    // When this packet will have played: right after the one before it, or now when
    // the buffer had run dry.
    const double rate = rate_ * (1.0 + options_.clockPpm * 1e-6);  // samples per second
    uint64_t startUs = 0;
    bool newSegment = false;
    if (!started_) {
        started_ = true;
        startUs = nowUs;
        newSegment = true;
    } else if (held_.empty() && lastEndUs_ < nowUs) {
        ++counters_.underruns;
        counters_.starvedUs += nowUs - lastEndUs_;
        Event(StreamEvent::Kind::Underrun, nowUs, index, nowUs - lastEndUs_);
        startUs = nowUs;
        newSegment = true;
    } else {
        startUs = lastEndUs_;
        newSegment = rate != segmentRate_;
    }
    if (newSegment) {
        // Play time is worked out from the sample count since the segment began, so
        // rounding never adds up.
        segmentUs_ = startUs;
        segmentSamples_ = 0;
        segmentRate_ = rate;
    }
    segmentSamples_ += counted;
    samplesTaken_ += counted;
    Held h;
    std::copy(bytes, bytes + 64, h.bytes.begin());
    h.mode = mode_;
    h.samples = counted;
    if (segmentRate_ > 0.0 && segmentUs_ != kNever)
        h.endUs =
            segmentUs_ + static_cast<uint64_t>(std::llround(static_cast<double>(segmentSamples_) * 1e6 / segmentRate_));
    else
        h.endUs = kNever;  // no rate: it never plays
    lastEndUs_ = h.endUs;
    held_.push_back(h);
}

void StreamPlayer::Play(const Held& h) {
    const StreamLayout layout = LayoutOf(h.mode);
    for (size_t i = 0; i < h.samples; ++i) {
        size_t at = 8 + i * layout.bytesPerSample;
        for (C c : layout.channels) {
            const size_t ci = static_cast<size_t>(c);
            const size_t words = WordsPerSample(c);
            std::vector<uint16_t>& log = log_[ci];
            const bool keep = log.size() / words < options_.logSamples;
            for (size_t w = 0; w < words; ++w, at += 2)
                if (keep)
                    log.push_back(static_cast<uint16_t>(h.bytes[at] << 8 | h.bytes[at + 1]));
            ++playedSamples_[ci];
        }
    }
    samplesPlayed_ += h.samples;
}

void StreamPlayer::RequestDue(uint64_t atUs) {
    const uint64_t index = requestsDue_++;
    bool silence = false, unplug = false, duplicate = false;
    unsigned lateMs = 0, gapMs = 0;
    std::vector<uint8_t> strays;
    for (const PlannedFault& f : faults_) {
        if (index < f.index || (f.times != 0 && index - f.index >= f.times))
            continue;
        switch (f.fault.kind) {
            case StreamFault::Kind::Silence:
                silence = true;
                break;
            case StreamFault::Kind::Late:
                lateMs = std::max(lateMs, f.fault.ms);
                break;
            case StreamFault::Kind::Duplicate:
                duplicate = true;
                gapMs = std::max(gapMs, f.fault.ms);
                break;
            case StreamFault::Kind::Stray:
                strays.push_back(f.fault.byte);
                break;
            case StreamFault::Kind::Unplug:
                unplug = true;
                break;
        }
    }
    if (unplug) {
        pending_.emplace(atUs, Pending{Out::Unplug, 0, index, streams_});
        return;
    }
    for (uint8_t b : strays)
        pending_.emplace(atUs, Pending{Out::Stray, b, index, streams_});
    if (silence)
        return;
    const uint64_t sendUs = atUs + uint64_t{lateMs} * 1000;
    pending_.emplace(sendUs, Pending{Out::Request, kDataRequest, index, streams_});
    if (duplicate)
        pending_.emplace(sendUs + uint64_t{gapMs} * 1000, Pending{Out::Request, kDataRequest, index, streams_});
}

void StreamPlayer::Advance(uint64_t nowUs) {
    clockUs_ = std::max(clockUs_, nowUs);
    while (!held_.empty() && held_.front().endUs <= clockUs_) {
        const Held h = held_.front();
        held_.pop_front();
        Play(h);
        ++counters_.played;
        if (state_ == StreamState::Playing && counters_.played % kBatchPackets == 0)
            RequestDue(h.endUs);
        if (state_ == StreamState::Ending && held_.empty() && !noticeQueued_) {
            pending_.emplace(h.endUs, Pending{Out::EndNotice, kEndNotice, 0, streams_});
            noticeQueued_ = true;
        }
    }
}

uint64_t StreamPlayer::NextDueUs() const {
    uint64_t due = pending_.empty() ? kNever : pending_.begin()->first;
    if (state_ == StreamState::Playing) {
        const size_t toRequest = kBatchPackets - 1 - counters_.played % kBatchPackets;
        if (toRequest < held_.size())
            due = std::min(due, held_[toRequest].endUs);
    } else if (state_ == StreamState::Ending && !held_.empty()) {
        due = std::min(due, held_.back().endUs);
    }
    return due;
}

uint64_t StreamPlayer::NextPlayedUs() const { return held_.empty() ? kNever : held_.front().endUs; }

StreamOutput StreamPlayer::Due(uint64_t nowUs) {
    Advance(nowUs);
    nowUs = clockUs_;  // a reader may have played the stream a little further
    StreamOutput out;
    while (!pending_.empty() && pending_.begin()->first <= clockUs_) {
        const uint64_t dueUs = pending_.begin()->first;
        const Pending p = pending_.begin()->second;
        pending_.erase(pending_.begin());
        const bool current = p.stream == streams_;
        switch (p.kind) {
            case Out::Request:
                if (!current || state_ != StreamState::Playing)
                    break;
                out.packets.push_back(Notification(kDataRequest));
                ++counters_.requests;
                Event(StreamEvent::Kind::DataRequest, nowUs, p.requestIndex, counters_.packets - packetsAtRequest_)
                    .dueUs = dueUs;
                packetsAtRequest_ = counters_.packets;
                requestWrittenUs_ = nowUs;
                break;
            case Out::Stray:
                if (current && state_ == StreamState::Playing)
                    out.packets.push_back(Notification(p.byte));
                break;
            case Out::Unplug:
                if (current && state_ == StreamState::Playing)
                    out.unplug = true;
                break;
            case Out::EndNotice:
                out.packets.push_back(Notification(kEndNotice));
                if (current && state_ == StreamState::Ending) {
                    state_ = StreamState::Ended;
                    Event(StreamEvent::Kind::Ended, nowUs);
                }
                break;
        }
    }
    return out;
}

void StreamPlayer::PortClosed(uint64_t nowUs) {
    pending_.clear();
    if (state_ != StreamState::Playing && state_ != StreamState::Ending)
        return;
    Advance(nowUs);
    pending_.clear();
    counters_.droppedAtEnd += held_.size();
    held_.clear();
    state_ = StreamState::Ended;
    end_ = StreamEnd::PortClosed;
    Event(StreamEvent::Kind::Ended, nowUs);
}

StreamStatus StreamPlayer::Status() const {
    StreamStatus s;
    s.state = state_;
    s.end = end_;
    s.streams = streams_;
    s.mode = mode_;
    s.rate = rate_;
    s.buffered = held_.size();
    s.nextSeq = nextSeq_;
    s.counters = counters_;
    return s;
}

}  // namespace nvsemu
