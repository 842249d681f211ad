// nvsemu::SampleStream: the instrument's photodiode and switch measurement stream, as
// 64-byte 0xAD packets, paced from the clock. Pure: the caller passes the time; the
// firmware model (Firmware.h) holds one and the emulator's I/O thread asks it for what
// is due.
//
// Packet: AD FF 00 FF mode length seq(BE), then whole records. The mode is the ADC
// channel mask (bit 0 PD1, bit 1 PD2, bit 2 SW1, bit 3 SW2); a record holds the value
// (16-bit, big-endian) of each input of the mask in bit order, then a count byte: the
// number of consecutive samples with those values (equal samples merge, count <= 255).
// Numbers count from 0 at each start and wrap after 65535.
//
// Pacing: samples owed = elapsed time x rate - samples made (1000 per second unless
// set). A packet goes out when its records are full or flushMs after the last one.
#pragma once

#include <cstdint>
#include <vector>

namespace nvsemu {

// Where one input's raw 16-bit samples come from.
struct SampleSource {
    enum class Kind { Constant, Square, Script };
    Kind kind = Kind::Constant;
    uint16_t low = 0;              // the constant, or the square's first level
    uint16_t high = 0;             // the square's second level
    unsigned halfPeriod = 1;       // samples per level of the square
    std::vector<uint16_t> script;  // played in a loop

    static SampleSource Constant(uint16_t v);
    static SampleSource Square(uint16_t low, uint16_t high, unsigned halfPeriodSamples);
    static SampleSource Script(std::vector<uint16_t> values);
    uint16_t At(uint64_t index) const;
};

// Canned faults of the stream; -1: off. Packet indexes count from 0 at each start.
struct StreamFaults {
    long gapAt = -1;          // this packet's number skips one (the host sees a gap)
    long badStatusAt = -1;    // byte 3 of this packet is 0x00
    long shortAt = -1;        // this packet is 40 bytes long
    int forcedMode = -1;      // every packet's mode byte is this (records stay by the mask)
    bool stall = false;       // no packet goes out
    bool ignoreStop = false;  // a stop request gets no answer and the stream goes on
};

class SampleStream {
public:
    using Bytes = std::vector<uint8_t>;

    void SetSource(int input, SampleSource source);  // input 0..3: PD1, PD2, SW1, SW2
    void SetRate(unsigned samplesPerSecond);         // 0 is taken as 1
    void SetFlushMs(unsigned ms);
    void SetFirstNumber(uint16_t number);  // the number of a start's first packet (0)
    void SetFaults(const StreamFaults& faults);
    const StreamFaults& Faults() const { return faults_; }

    // Starts a stream of the mask's low four bits at nowUs (mask 0: nothing streams).
    void Start(uint8_t mask, uint64_t nowUs);
    void Stop();
    bool On() const { return mask_ != 0; }

    // The packets due by nowUs; *nextUs: when the next may be due (0: none while off).
    std::vector<Bytes> Due(uint64_t nowUs, uint64_t* nextUs);
    // The next n packets at once, without pacing (those in flight at a stop).
    std::vector<Bytes> Burst(unsigned n);

    uint64_t PacketsMade() const { return packets_; }
    uint64_t SamplesMade() const { return samples_; }

private:
    int Inputs() const;
    int RecordSize() const { return 2 * Inputs() + 1; }
    int Capacity() const { return 56 / RecordSize(); }
    void AddSample();
    Bytes Emit();

    SampleSource sources_[4];
    unsigned rate_ = 1000;
    uint64_t flushUs_ = 20000;
    uint16_t firstNumber_ = 0;
    StreamFaults faults_;
    uint8_t mask_ = 0;
    uint64_t startUs_ = 0, lastPacketUs_ = 0;
    uint64_t samples_ = 0, packets_ = 0;
    uint16_t number_ = 0;
    std::vector<std::vector<uint16_t>> records_;  // values of each pending record
    std::vector<uint8_t> counts_;
};

}  // namespace nvsemu
