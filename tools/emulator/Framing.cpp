#include "Framing.h"

#include <algorithm>

namespace nvsemu {
namespace {

constexpr uint8_t kFiller = 0x38;

bool AllZero(const uint8_t* bytes, size_t from, size_t to) {
    return std::all_of(bytes + from, bytes + to, [](uint8_t b) { return b == 0; });
}

// The long memory-command read carries zeros from byte 12 to its end (no data, no
// reserved bytes); the short one stops after the address.
bool MemoryReadAllows(const uint8_t* bytes, size_t length) { return length != 64 || AllZero(bytes, 12, 64); }

// The 14-byte operator-mode command ends in three zero bytes; the 11-byte form stops
// after the AC modes.
bool OperatorModeAllows(const uint8_t* bytes, size_t length) { return length != 14 || AllZero(bytes, 11, 14); }

// The 11-byte register read before a VRef write pads the 7-byte read with four zeros.
bool RegisterReadAllows(const uint8_t* bytes, size_t length) { return length != 11 || AllZero(bytes, 7, 11); }

constexpr int Any = -1;

std::vector<FrameRule> BuildTable() {
    return {
        // Operator mode: the write has an 11-byte short form; the read is 14 zero bytes.
        {{0x00, 0xFF}, {11, 14}, "operator mode write", OperatorModeAllows},
        {{0x00, 0x00}, {14}, "operator block read"},
        // Stream packets. (The instrument's own 01 55 data requests travel the other way.)
        {{0x01}, {64}, "stream packet"},
        // Memory command: a read may stop after its address; write and erase are whole.
        {{0x12, 0x55, 0xAA, 0x00}, {12, 64}, "memory read", MemoryReadAllows},
        {{0x12, 0x55, 0xAA, 0xFF}, {64}, "memory write/erase"},
        // Identity: model record 55 00 m, DAC width 55 00 80/81.
        {{0x55, 0x00, Any}, {3}, "model record / DAC width"},
        {{0xAA, 0x03}, {2}, "firmware revision"},
        // Sampling stream switch and right-leg-drive reading.
        {{0xAD}, {6}, "sampling stream / RLD"},
        // PPG-module functions.
        {{0xB0, 0xFF, 0x01}, {5}, "signal-strength detection"},
        {{0xB0, 0x00, 0x02}, {5}, "FPGA report query"},
        {{0xB0, 0xFF, 0x03}, {5}, "dynamic LED strength"},
        {{0xB0, 0xFF, 0x10}, {5}, "ambient-light mode write"},
        {{0xB0, 0x00, 0x10}, {5}, "ambient-light mode read"},
        {{0xB0, 0x00, 0x11}, {4}, "ambient-light DC read"},
        {{0xB0, 0xFF, 0x11}, {6}, "ambient-light DC write"},
        {{0xB0, 0xFF, 0x20}, {5}, "transmission rate write"},
        {{0xB0, 0x00, 0x20}, {5}, "transmission rate poll"},
        {{0xB0, 0xFF, 0x30}, {5}, "automatic trigger level"},
        {{0xB0, 0x00, 0x30}, {4}, "automatic trigger-level status"},
        // Extension module (FPGA): version and upgrade.
        {{0xB8, 0x00, 0x00}, {3}, "extension-module version"},
        {{0xB8, 0xFF, 0x00}, {5}, "FPGA upgrade mode"},
        {{0xB8, 0xFF, 0x01}, {6}, "FPGA control"},
        {{0xB8, 0x00, 0x02}, {6}, "FPGA status"},
        {{0xB8, 0xFF, 0x03}, {64}, "FPGA data"},
        {{0xB9, 0x00, 0x01}, {3}, "extension-module version (B9)"},
        // PPG-module registers: the read of the VRef pair may be padded to 11 bytes; a
        // write carries as many data bytes as its count (byte 6) says, except the VRef
        // write, which sends the whole 64-byte read reply back.
        {{0xCC, 0x00, 0x0A}, {7, 11}, "register read", RegisterReadAllows},
        {{0xCC, 0xFF, 0x0A, Any, Any, Any, 0x01}, {8}, "register write (1 byte)"},
        {{0xCC, 0xFF, 0x0A, Any, Any, Any, 0x02}, {9}, "register write (2 bytes)"},
        {{0xCC, 0xFF, 0x0A, Any, Any, Any, 0x04}, {64}, "VRef write"},
        {{0xCC, 0x00, 0x0E}, {6}, "respiratory baseline read"},
        {{0xCC, 0xFF, 0x0E}, {6}, "respiratory baseline write"},
        {{0xCC, 0x00, 0x10}, {5}, "PPG module selection read"},
        {{0xCC, 0xFF, 0x10}, {5}, "PPG module selection write"},
        {{0xCC, 0x00, 0x14}, {4}, "FPGA presence"},
        {{0xCC, 0x00, 0x41}, {3}, "LED feedback voltage"},
        {{0xCC, 0x00, 0x42}, {3}, "USB bus voltage"},
        // Numbered calibration settings and the respiratory-module values (0D): 64 bytes.
        {{0xCC, 0x00}, {64}, "calibration setting read"},
        {{0xCC, 0xFF}, {64}, "calibration setting write"},
        // Control block, waveform settings, raw data, ROM bytes, pulse-group take.
        {{0xEA, 0x00, 0x00}, {61}, "control block read"},
        {{0xEA, 0xFF, 0x00}, {61}, "control block write"},
        {{0xEA, 0xFF, 0x0A}, {61}, "LED pulse group take"},
        {{0xEA, 0xFF, 0x01}, {58}, "ECG setting write"},
        {{0xEA, 0x00, 0x01}, {3}, "ECG setting read"},
        {{0xEA, 0xFF, 0x02}, {64}, "PPG1 setting write"},
        {{0xEA, 0xFF, 0x03}, {64}, "PPG2 setting write"},
        {{0xEA, 0xFF, 0x08}, {64}, "PPG3 setting write"},
        {{0xEA, 0x00, 0x02}, {3}, "PPG1 setting read"},
        {{0xEA, 0x00, 0x03}, {3}, "PPG2 setting read"},
        {{0xEA, 0x00, 0x08}, {3}, "PPG3 setting read"},
        {{0xEA, 0xFF, 0x04}, {64}, "ECG raw data"},
        {{0xEA, 0xFF, 0x05}, {64}, "PPG1 raw data"},
        {{0xEA, 0xFF, 0x06}, {64}, "PPG2 raw data"},
        {{0xEA, 0xFF, 0x09}, {64}, "PPG3 raw data"},
        {{0xEA, 0x00, 0x07}, {6}, "ROM read"},
        {{0xEA, 0xFF, 0x07}, {6}, "ROM write"},
        // Restart into new firmware after a burn: one byte, no reply.
        {{0xDD}, {1}, "restart"},
    };
}

std::string NameFor(const FrameRule& rule, size_t length) {
    std::string name = rule.name;
    if (rule.lengths.size() > 1)
        name += " (" + std::to_string(length) + ")";
    return name;
}

}  // namespace

const std::vector<FrameRule>& RequestTable() {
    // Never destroyed: an emulator whose owner is itself a static object (the fuzz
    // targets' link) still frames requests on its I/O thread while the exit handlers
    // run, and this table is made after that owner, so it would be destroyed first.
    static const std::vector<FrameRule>* const table = new std::vector<FrameRule>(BuildTable());
    return *table;
}

Lookup LookupRequest(const uint8_t* bytes, size_t size) {
    for (const FrameRule& rule : RequestTable()) {
        const size_t compared = std::min(size, rule.header.size());
        bool agrees = true;
        for (size_t i = 0; i < compared && agrees; ++i)
            agrees = rule.header[i] == Any || rule.header[i] == bytes[i];
        if (!agrees)
            continue;
        // A more specific rule that could still match wins over a general one below.
        if (compared < rule.header.size())
            return {Lookup::Result::NeedMore, &rule};
        return {Lookup::Result::Match, &rule};
    }
    return {};
}

void RequestFramer::Feed(const uint8_t* data, size_t size) { buffer_.insert(buffer_.end(), data, data + size); }

std::vector<Frame> RequestFramer::Take(bool burstEnded, bool stale) {
    burstEnded = burstEnded || stale;
    std::vector<Frame> frames;
    size_t start = 0;
    auto emit = [&](size_t length, FrameKind kind, std::string name) {
        Frame f;
        f.bytes.assign(buffer_.begin() + start, buffer_.begin() + start + length);
        f.kind = kind;
        f.name = std::move(name);
        f.offset = base_ + start;
        frames.push_back(std::move(f));
        start += length;
    };

    while (start < buffer_.size()) {
        const uint8_t* at = buffer_.data() + start;
        const size_t size = buffer_.size() - start;
        if (at[0] == kFiller) {  // an empty read's byte between two requests
            ++filler_;
            ++start;
            continue;
        }
        const Lookup found = LookupRequest(at, size);
        if (found.result == Lookup::Result::NoMatch) {
            if (!burstEnded)
                break;
            emit(size, FrameKind::Unknown, std::string());
            continue;
        }
        if (found.result == Lookup::Result::NeedMore) {
            if (!stale)
                break;
            emit(size, FrameKind::Incomplete, found.rule->name);
            continue;
        }
        const FrameRule& rule = *found.rule;
        const size_t longest = rule.lengths.back();
        if (size < longest && !burstEnded)
            break;  // the burst may still bring the rest
        // The longest length that has arrived and that the bytes allow.
        size_t chosen = 0;
        for (size_t length : rule.lengths)
            if (length <= size && (!rule.allows || rule.allows(at, length)))
                chosen = length;
        if (chosen == 0) {
            if (!stale)
                break;  // shorter than any form: wait for the rest
            emit(size, FrameKind::Incomplete, rule.name);
            continue;
        }
        emit(chosen, FrameKind::Known, NameFor(rule, chosen));
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + start);
    base_ += start;
    return frames;
}

}  // namespace nvsemu
