// The instrument playing a sample stream: what its firmware does with the stream
// packets the host sends after an operator-mode write of a stream mode.
//
// Wire layouts the model works from
//   Operator-mode write 00 FF m r r ...: m = 1 to 7 or 9 to 17 arms a stream at the
//   big-endian rate r r (samples per second); a later write of such a mode while the
//   stream plays changes the layout (and rate) of the packets that follow and keeps
//   the sequence. Mode 8, 0 or above 17 ends the stream. The switch back to standalone
//   mode is the 14-byte 00 FF 08 00 01 01 01 00 00 00 00 00 00 00.
//   Stream packet, 64 bytes: 01, the operator mode, three zero bytes, the count of
//   sample bytes that play (a multiple of the mode's bytes per sample, at most 56),
//   the big-endian sequence number (0 to 65499, +1 a packet, 65499 wraps to 0), then
//   the samples from byte 8: per sample the mode's 16-bit big-endian words, DC then AC
//   per channel (mode 17: ECG DC, ECG AC, three respiration amplitude words and the
//   respiration baseline word). One sample past the counted ones may be written (the
//   sample at which the data ended); every byte after it is 0.
//   Data request, 64 bytes from the instrument: 01 55 and 62 zero bytes.
//   End notice, 64 bytes: 01 AA and 62 zero bytes, written once the stream is over.
//
// Pacing
//   The instrument holds up to `bufferPackets` packets (default 100) and plays their
//   counted samples at the stream's rate (times 1 + clockPpm / 10^6: a fast or slow
//   crystal), without gaps while it has packets; a packet is played when its last
//   sample has played. Each time the count of played packets reaches a multiple of 50
//   it writes one data request. Packets that arrive while the buffer is full are
//   dropped (overflow). A buffer that has run dry and is later refilled by the same
//   stream is an underrun (the dry time counts as starved); a stream that ends while
//   dry ends in a tail, not an underrun.
//   After an end the instrument writes no more data requests; the packets held play
//   out (or, with dropOnEnd, are dropped and counted), then the end notice follows.
//
// Checks (each failed check is counted and listed; the packet still plays)
//   byte 1 = the mode in force; bytes 2-4 = 0; byte 5 a multiple of the mode's bytes
//   per sample and at most its samples per packet (56 bytes; 48 in modes 7, 11, 13,
//   14, 15, 17); the sequence; zeros after the counted samples plus one. A packet with
//   no stream playing is dropped and counted as a check failure too.
//   A command (any other request) that arrives k packets after the last data request,
//   with k not a multiple of 50, came inside a batch; not counted when the packets of
//   the whole stream so far are a multiple of 50 (the request went out while the batch
//   before it was still arriving), after a packet with fewer samples than fit (the
//   data have ended), or for the write that ends the stream.
//
// Played-word log
//   Per channel the words of every played sample in play order: sample i of the stream
//   is at words WordsPerSample * i onwards. Each command that arrives while a stream is
//   armed is logged with its position in the stream: the packets and samples taken so
//   far (the command falls between those samples and the next one sent) and the
//   samples played by then.
//
// This component is pure: times are passed in (steady-clock µs), nothing is written;
// the firmware model (Firmware.h) owns one under its lock and the emulator's I/O thread
// asks it when it is due (NextDueUs, Due).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

namespace nvsemu {

// Channels of the played-word log.
enum class StreamChannel : int { Ecg = 0, Ppg1 = 1, Ppg2 = 2, Ppg3 = 3, Respiration = 4 };
constexpr size_t kStreamChannels = 5;

// Words of one sample of a channel in the log: DC, AC for ECG and PPG; the three
// amplitude words and the baseline word for respiration.
constexpr size_t WordsPerSample(StreamChannel c) { return c == StreamChannel::Respiration ? 4 : 2; }

// The sample layout of an operator mode.
struct StreamLayout {
    size_t bytesPerSample = 0;  // 0: the mode carries no stream
    size_t samplesPerPacket = 0;
    std::vector<StreamChannel> channels;  // in sample order
};
StreamLayout LayoutOf(int mode);
inline bool IsStreamMode(int mode) { return (mode >= 1 && mode <= 7) || (mode >= 9 && mode <= 17); }

constexpr uint8_t kDataRequest = 0x55;
constexpr uint8_t kEndNotice = 0xAA;
constexpr uint16_t kSequenceModulus = 65500;
constexpr size_t kBatchPackets = 50;

struct StreamOptions {
    size_t bufferPackets = 100;    // packets the instrument holds
    double clockPpm = 0.0;         // the instrument's clock error; applies to packets that arrive later
    bool dropOnEnd = false;        // an end drops the packets held instead of playing them out
    size_t logSamples = 1u << 21;  // samples kept per channel in the played-word log
};

enum class StreamState {
    Idle,     // no stream armed yet
    Playing,  // armed: packets are taken, played and requested
    Ending,   // ended by a mode write: the packets held play out, the end notice follows
    Ended,    // the end notice is written (or the port closed)
};

enum class StreamEnd { None, Switch, Mode, NewStream, PortClosed };

enum class StreamCheck { Mode, Reserved, Length, Sequence, Tail, NoStream };

struct StreamCheckFailure {
    uint64_t packet = 0;  // index of the packet in the stream (packets taken before it)
    uint16_t seq = 0;     // its sequence field
    StreamCheck check = StreamCheck::Mode;
    bool operator==(const StreamCheckFailure& o) const {
        return packet == o.packet && seq == o.seq && check == o.check;
    }
};

// A command that arrived while a stream was armed, and where in the stream it landed.
struct StreamCommandMark {
    uint64_t atUs = 0;
    uint64_t packets = 0;        // stream packets taken before it
    uint64_t samplesTaken = 0;   // samples of the packets taken into the buffer before it
    uint64_t samplesPlayed = 0;  // samples played when it arrived
    std::vector<uint8_t> head;   // its first bytes (at most 16)
};

// Counts of one stream; they start from 0 when a stream is armed.
struct StreamCounters {
    uint64_t packets = 0;          // stream packets taken (overflowed and failed ones included)
    uint64_t played = 0;           // packets played to their last sample
    uint64_t requests = 0;         // data requests written (a duplicate counts twice)
    uint64_t underruns = 0;        // dry spells ended by a packet of the stream
    uint64_t starvedUs = 0;        // their total length
    uint64_t tails = 0;            // 1 when the stream ended while dry
    uint64_t tailUs = 0;           // how long it had been dry then
    uint64_t overflows = 0;        // packets that found the buffer full (dropped)
    uint64_t commandsInBatch = 0;  // commands that arrived inside a batch
    uint64_t checkFailures = 0;    // failed checks (a packet may fail several)
    uint64_t droppedAtEnd = 0;     // packets held that never played (drop on end, new stream, port closed)
};

struct StreamStatus {
    StreamState state = StreamState::Idle;
    StreamEnd end = StreamEnd::None;  // how the last stream ended
    uint64_t streams = 0;             // streams armed so far
    int mode = 0;                     // layout in force
    unsigned rate = 0;                // samples per second in force
    size_t buffered = 0;              // packets held
    uint16_t nextSeq = 0;             // the sequence number the next packet should carry
    StreamCounters counters;
};

struct StreamEvent {
    enum class Kind {
        Armed,           // a stream starts (mode, rate)
        Layout,          // a mode write while playing changed the layout
        DataRequest,     // a data request was written; number: its index, value: packets since the last
        Underrun,        // number: the packet that refilled the buffer, value: µs starved
        Overflow,        // number: the packet dropped
        CheckFailed,     // number: the packet, value: the StreamCheck
        CommandInBatch,  // value: packets since the last data request
        Ending,          // a mode write ended the stream; value: packets still held
        Ended,           // the end notice was written, or the port closed
    };
    Kind kind = Kind::Armed;
    uint64_t atUs = 0;   // when it happened (a data request: when it was written)
    uint64_t dueUs = 0;  // a data request: when it fell due (the 50th packet played, plus a planned delay)
    uint64_t number = 0;
    uint64_t value = 0;
    int mode = 0;
    unsigned rate = 0;
    size_t buffered = 0;
    StreamCounters counters;
};

// Misbehaviour of the instrument's data requests, planned by request index.
struct StreamFault {
    enum class Kind {
        Silence,    // the request is not written
        Late,       // written `ms` after it is due
        Duplicate,  // written twice, the copy `ms` after it
        Stray,      // a 01 `byte` notification is written just ahead of it
        Unplug,     // the instrument vanishes instead of writing it
    };
    Kind kind = Kind::Silence;
    unsigned ms = 0;
    uint8_t byte = 0;

    static StreamFault Silence() { return {}; }
    static StreamFault Late(unsigned ms) { return {Kind::Late, ms, 0}; }
    static StreamFault Duplicate(unsigned gapMs = 0) { return {Kind::Duplicate, gapMs, 0}; }
    static StreamFault Stray(uint8_t byte) { return {Kind::Stray, 0, byte}; }
    static StreamFault Unplug() { return {Kind::Unplug, 0, 0}; }
};

// What falls due: packets to write now, in order, and whether the port goes.
struct StreamOutput {
    std::vector<std::vector<uint8_t>> packets;
    bool unplug = false;
};

class StreamPlayer {
public:
    static constexpr uint64_t kNever = ~uint64_t{0};

    void SetOptions(const StreamOptions& options) { options_ = options; }
    const StreamOptions& Options() const { return options_; }

    // An accepted operator-mode write (mode, rate as the instrument keeps them).
    void OperatorMode(int mode, unsigned rate, bool isSwitch, uint64_t nowUs);
    // A request that is not stream data. endsStream: the operator-mode write that
    // ends the stream (not checked as a command inside a batch).
    // head: the request's bytes, logged with its stream position (may be empty).
    void Command(bool endsStream, uint64_t nowUs, const std::vector<uint8_t>& head = {});
    // A 64-byte stream packet.
    void Packet(const uint8_t* bytes, uint64_t nowUs);
    // The port closed: the stream, its buffer and what it would write are gone.
    void PortClosed(uint64_t nowUs);

    // Plays up to nowUs (never backwards).
    void Advance(uint64_t nowUs);
    // The earliest time something is to be written (kNever: nothing).
    uint64_t NextDueUs() const;
    // The time the next held packet has played (kNever: none held or no rate).
    uint64_t NextPlayedUs() const;
    // Plays up to nowUs and takes what is due by then.
    StreamOutput Due(uint64_t nowUs);

    // Events since the last call.
    std::vector<StreamEvent> TakeEvents();

    // Fault plan: the requests index .. index + times - 1 of every stream (times 0:
    // every request from index on) meet the fault.
    void FaultOnDataRequest(size_t index, StreamFault fault, unsigned times);
    void ClearFaults() { faults_.clear(); }

    StreamStatus Status() const;
    const std::vector<uint16_t>& PlayedWords(StreamChannel c) const { return log_[static_cast<size_t>(c)]; }
    uint64_t PlayedSamples(StreamChannel c) const { return playedSamples_[static_cast<size_t>(c)]; }
    const std::vector<StreamCheckFailure>& CheckFailures() const { return failures_; }
    // The commands of the stream since it was armed (the first kMaxCommandMarks).
    const std::vector<StreamCommandMark>& CommandMarks() const { return commands_; }
    static constexpr size_t kMaxCommandMarks = 10000;
    // For each batch asked for: µs from the data request's write to the arrival of the
    // 50th packet after it (the first 2^20 batches of the stream).
    const std::vector<uint64_t>& BatchLatencies() const { return latencies_; }

private:
    struct Held {
        std::array<uint8_t, 64> bytes{};
        int mode = 0;
        size_t samples = 0;
        uint64_t endUs = 0;
    };
    enum class Out { Request, Stray, Unplug, EndNotice };
    struct Pending {
        Out kind = Out::Request;
        uint8_t byte = 0;
        uint64_t requestIndex = 0;
        uint64_t stream = 0;
    };
    struct PlannedFault {
        size_t index = 0;
        unsigned times = 1;
        StreamFault fault;
    };

    void Arm(int mode, unsigned rate, uint64_t nowUs);
    void BeginEnd(StreamEnd cause, uint64_t nowUs);
    void Play(const Held& h);
    void RequestDue(uint64_t atUs);
    void Fail(StreamCheck check, uint64_t packet, uint16_t seq);
    StreamEvent& Event(StreamEvent::Kind kind, uint64_t atUs, uint64_t number = 0, uint64_t value = 0);

    StreamOptions options_;
    StreamState state_ = StreamState::Idle;
    StreamEnd end_ = StreamEnd::None;
    uint64_t streams_ = 0;
    int mode_ = 0;
    unsigned rate_ = 0;
    uint16_t nextSeq_ = 0;
    StreamCounters counters_;
    uint64_t clockUs_ = 0;
    std::deque<Held> held_;
    bool started_ = false;    // a packet has played or is playing
    uint64_t lastEndUs_ = 0;  // when the last packet taken into the buffer ends (or ended)
    uint64_t segmentUs_ = 0;  // start of the current run of gapless play at one rate
    uint64_t segmentSamples_ = 0;
    double segmentRate_ = 0.0;       // samples per second, clock error included
    uint64_t packetsAtRequest_ = 0;  // packets taken when the last data request was written
    uint64_t requestWrittenUs_ = 0;  // when it was written
    std::vector<uint64_t> latencies_;
    uint64_t requestsDue_ = 0;  // data requests that fell due (written or not)
    bool dataEnded_ = false;    // the last packet had fewer samples than fit
    bool noticeQueued_ = false;
    std::multimap<uint64_t, Pending> pending_;
    std::vector<PlannedFault> faults_;
    std::vector<StreamEvent> events_;
    std::array<std::vector<uint16_t>, kStreamChannels> log_;
    std::array<uint64_t, kStreamChannels> playedSamples_{};
    std::vector<StreamCheckFailure> failures_;
    std::vector<StreamCommandMark> commands_;
    uint64_t samplesTaken_ = 0;
    uint64_t samplesPlayed_ = 0;
};

}  // namespace nvsemu
