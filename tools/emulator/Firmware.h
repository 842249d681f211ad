// nvsemu::Firmware: the instrument's firmware behind the emulator's port. It answers
// every request of the command families (identity 0x55/0xAA, memory 0x12, operator
// mode 0x00, control block, settings, raw data and ROM 0xEA, PPG module 0xCC and 0xB0,
// sampling switch 0xAD, extension-module version 0xB8/0xB9) and keeps the state those
// requests change, built from a Profile (Profile.h) and its factory image
// (FactoryImage.h).
//
// Replies
//   Every family answers with one packet that begins with its family byte: 12 bytes to
//   55 00 m (model record, DAC width), 5 bytes to AA 03, 64 bytes to everything else.
//   An accepted request gets 0xFF in byte 3 (the memory command: byte 4), a refused one
//   0x00 there and no change of state. Setting and raw-data writes come back whole with
//   byte 3 = 0xFF. Replies go out at once (delay 0); the host's readers wait for them.
//   Requests that the model does not serve (stream packets 0x01, the restart byte
//   0xDD, unknown or incomplete bytes, requests of a length the request table does not
//   give their header) get no reply.
//
// Firmware quirks the model keeps, because the host's algorithms depend on them:
//   - the ROM read answers with the byte that the previous ROM read asked for (its
//     reply carries the value of the request before it);
//   - after a transmission-rate write the rate poll reports "busy" (byte 3 = 0x00) for
//     a number of polls (SetTransmissionBusyPolls) before it reports 0xFF;
//   - main firmware before 1.15 keeps only the low byte of a calibration setting;
//   - flash targets (0x01, 0x03) only clear bits on a write until erased.
//   - a ROM write of a standalone slot's type (addresses 1 to 3) keeps the settings,
//     raw periods and control block of that moment with the slot; a ROM read of the
//     slot's address brings them back before the host reads them.
//   - after a ROM write the firmware is still storing the byte: the next ROM reads
//     (SetRomBusyReads, default none) are refused (byte 3 = 0x00) and leave the
//     one-late byte where it was. ROM and slots live in this object, so they survive an
//     unplug and replug of the emulator's port.
//
// Faults
//   The emulator's fault plan (Faults.h) changes replies after the model chose them:
//   silence (Drop), short (Truncate), late (Delay), altered echoes (Alter), byte 3 not
//   0xFF (Refuse), memory byte 4 not 0xFF (RefuseMemory() below). Those leave the
//   model's state changed as if the request were accepted. RefuseRequests() makes the
//   model itself refuse, leaving its state alone. Erase() and the profile's FPGA state
//   give erased images and a dead FPGA.
//
// Stream play (Stream.h)
//   An operator-mode write of a stream mode arms a stream; the stream packets (01,
//   64 bytes) are taken as data (TakeData: not in Requests(), no reply), checked and
//   played at the stream's rate; the data requests and the end notice go out on the
//   emulator's I/O thread when due (NextDueUs, Due). Every other request the model
//   answers is also checked as a command that may have come inside a batch. A closed
//   port ends the stream. Tests read the status, the counters and the played words,
//   wait for a condition, plan faults on the data requests and get each event through
//   the stream hook. Option and fault changes take effect at the I/O thread's next
//   turn (at the latest 100 ms later, at once when a packet or request arrives).
//
// Threads
//   Answer runs on the emulator's I/O thread; every accessor and setter may be called
//   from any thread at any time (one lock, never held while calling out). Answer never
//   blocks.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "Emulator.h"
#include "Faults.h"
#include "FpgaUpgrade.h"
#include "MemoryImage.h"
#include "Profile.h"
#include "Stream.h"
#include "SampleStream.h"

namespace nvsemu {

// One point of an uploaded raw period: DC word then AC word, as sent (big-endian on
// the wire).
struct RawPoint {
    uint16_t dc = 0;
    uint16_t ac = 0;
    bool operator==(const RawPoint& o) const { return dc == o.dc && ac == o.ac; }
};

// The memory command refused by the instrument: reply byte 4 = 0x00.
inline Fault RefuseMemory() { return Fault::Alter({{4, 0x00}}); }

class Firmware : public Responder {
public:
    static constexpr unsigned kNeverDone = ~0u;  // SetTransmissionBusyPolls: busy forever

    explicit Firmware(Profile profile = Profile::WithPpg2112());

    std::vector<Reply> Answer(const Request& request) override;
    // The sampling stream's packets that are due (see SampleStream.h).
    std::vector<std::vector<uint8_t>> Unsolicited(uint64_t nowUs, uint64_t* nextUs) override;
    // The same for bare bytes (a Known request), for tests that skip the port.
    std::vector<Reply> Answer(const std::vector<uint8_t>& bytes);
    // Stream packets; the stream's own writes; the port's end (Responder).
    bool TakeData(const Request& request) override;
    uint64_t NextDueUs() override;
    TimedOutput Due(uint64_t nowUs) override;
    void PortClosed() override;

    const Profile& GetProfile() const { return profile_; }  // fixed at construction

    // ---- Memory (bank -1: the PPG module selected now; banks apply to target 0x13)
    // n bytes from address; empty when the span is outside the target.
    std::vector<uint8_t> MemoryAt(uint8_t target, uint32_t address, size_t n, int bank = -1) const;
    bool SetMemory(uint8_t target, uint32_t address, const std::vector<uint8_t>& bytes, int bank = -1);
    void Erase(uint8_t target);  // the whole target, every bank
    bool Erase(uint8_t target, uint32_t address, size_t n, int bank = -1);
    void EraseAll();
    int SelectedPpgModule() const;

    // ---- Operator mode and control block
    std::array<uint8_t, 14> OperatorBlock() const;  // rate big-endian in bytes 3-4
    std::array<uint8_t, 57> ControlBlock() const;
    void SetControlBlock(const std::array<uint8_t, 57>& block);
    uint8_t AppliedOutputs() const;    // byte 0 of the block last written with apply set
    unsigned PulseGroupTakes() const;  // EA FF 0A requests accepted

    // ---- Waveform settings, raw data, ROM (channel 0: ECG; 1 to 3: PPG channels)
    // The setting block as the host last wrote it (58 bytes ECG, 64 PPG; empty: none).
    std::vector<uint8_t> Setting(int channel) const;
    std::vector<RawPoint> RawPoints(int channel) const;  // the last upload, padding included
    uint8_t RomAt(uint8_t address) const;
    void SetRom(uint8_t address, uint8_t value);
    // ROM reads refused after each ROM write (0: none; kNeverDone: every one from then).
    void SetRomBusyReads(unsigned reads);

    // ---- PPG module (0xCC, 0xB0)
    uint16_t CalibrationSetting(uint8_t id) const;  // 0 for an id never set
    void SetCalibrationSetting(uint8_t id, uint16_t value);
    void SetLedTriggerStatus(uint8_t bits);            // what a read of setting 5 reports
    std::vector<uint8_t> Register(uint8_t reg) const;  // device 0xD0
    void SetRegister(uint8_t reg, std::vector<uint8_t> bytes);
    std::array<uint16_t, 4> RespirationWords() const;
    std::array<uint8_t, 2> RespirationBaseline() const;
    uint8_t AmbientLightMode() const;
    uint16_t AmbientLightDc() const;
    bool DynamicLed() const;
    bool SignalStrengthDetection() const;
    bool AutoTrigger() const;
    uint8_t TransmissionRate() const;               // the rate in force (after the busy polls)
    void SetTransmissionBusyPolls(unsigned polls);  // default 1
    void SetAutoTriggerStatus(const std::array<uint8_t, 10>& status);
    void SetFpgaAlive(bool alive);
    void SetFpgaReport(const std::array<uint8_t, 10>& bytes8to17);
    // Reports that the polls (B0 00 02) answer in turn, cycling; empty: SetFpgaReport's.
    void SetFpgaReports(std::vector<std::array<uint8_t, 10>> bytes8to17);
    unsigned FpgaPolls() const;  // report queries answered
    void SetRld(uint16_t level1, uint16_t level2);

    // ---- Sampling stream (0xAD)
    // AD FF 00 00 v 00 answers one 0xAD packet (byte 3 0xFF, byte 4 v, length 0). When
    // v's low four bits are set the stream of those inputs starts (SampleStream.h);
    // v = 0 stops it: the packets in flight (SetStopInFlight, default 0) go out, then
    // the end packet (byte 4 = 0). A stream that is off streams nothing.
    bool StreamOn() const;
    uint8_t StreamMask() const;
    void SetSampleSource(int input, SampleSource source);  // input 0..3: PD1, PD2, SW1, SW2
    void SetStreamRate(unsigned samplesPerSecond);         // default 1000
    void SetStreamFlushMs(unsigned ms);                    // default 20
    void SetStreamFirstNumber(uint16_t number);            // default 0
    void SetStopInFlight(unsigned packets);
    void SetStreamFaults(const StreamFaults& faults);
    uint64_t StreamPackets() const;  // stream packets made since the last start
    unsigned StreamStarts() const;   // starts (low bits set) and stops answered
    unsigned StreamStops() const;

    // ---- Stream play (Stream.h). Readers first play the stream up to now.
    void SetStreamOptions(const StreamOptions& options);
    StreamOptions GetStreamOptions() const;
    StreamStatus GetStreamStatus() const;
    // The played words of a channel since the stream was armed, in play order, at most
    // StreamOptions::logSamples samples (WordsPerSample words each); PlayedSamples
    // counts them all.
    std::vector<uint16_t> PlayedWords(StreamChannel channel) const;
    uint64_t PlayedSamples(StreamChannel channel) const;
    // The commands that arrived while the latest stream was armed, each with its position
    // in the stream (StreamPlayer::CommandMarks).
    std::vector<StreamCommandMark> StreamCommands() const;
    // The failed checks of the stream (the first 1000).
    std::vector<StreamCheckFailure> StreamCheckFailures() const;
    // µs from each data request's write to the arrival of the last packet of the batch
    // that answered it (StreamPlayer::BatchLatencies).
    std::vector<uint64_t> BatchLatenciesUs() const;
    // Waits until done(status) holds, at most timeoutMs; done runs with the model's
    // lock held and must not call the model.
    bool WaitForStream(const std::function<bool(const StreamStatus&)>& done, unsigned timeoutMs) const;
    // Until stream number `stream` (1 = the first armed; 0 = the latest) has ended.
    bool WaitForStreamEnded(unsigned timeoutMs, uint64_t stream = 0) const;
    // Until the latest stream has played `packets` packets.
    bool WaitForPacketsPlayed(uint64_t packets, unsigned timeoutMs) const;
    // Called on the I/O thread (the end at Emulator::Stop: on the thread that stops it),
    // without the model's lock, for each stream event; it may call the model and the
    // emulator (Unplug acts at once).
    using StreamHook = std::function<void(const StreamEvent&)>;
    void SetStreamHook(StreamHook hook);
    // Faults on the data requests of every stream (index 0: each stream's first).
    void FaultOnDataRequest(size_t index, StreamFault fault, unsigned times = 1);
    void ClearStreamFaults();
    // ---- Restart and firmware update
    // The restart byte 0xDD, and leaving FPGA upgrade mode, restart the instrument: the
    // volatile state goes back to power-up (program and data memory, the ROM and the
    // FPGA's image flash stay), then the handler runs (on the I/O thread, without the
    // model's lock; typically Emulator::Restart, which makes the port vanish and return).
    void SetRestartHandler(std::function<void()> handler);
    unsigned Restarts() const;
    // The next write to program memory (target 0x03) that covers address stores that
    // byte with its lowest bit flipped (the verify then reads it back wrong).
    void FlipProgramByte(uint32_t address);
    // The FPGA's upgrade interface (FpgaUpgrade.h), under the model's lock; the FPGA
    // takes upgrades on profiles with a live photodiode FPGA.
    void WithFpgaUpgrade(const std::function<void(FpgaUpgrade&)>& fn);
    void SetFpgaGeometry(std::array<uint32_t, 3> sectorSizes);

    // ---- Refusals by the model: requests starting with prefix are refused (state
    // left alone); the first `skip` pass, then `times` are refused (0: all from then).
    void RefuseRequests(std::vector<uint8_t> prefix, unsigned times = 1, unsigned skip = 0);
    void ClearRefusals();

private:
    using Bytes = std::vector<uint8_t>;

    struct Refusal {
        Bytes prefix;
        unsigned times = 1, skip = 0, seen = 0;
        bool spent = false;
    };
    // What a standalone slot keeps (see the quirks above).
    struct Slot {
        std::array<uint8_t, 57> control{};
        std::array<Bytes, 4> settings;
        std::array<std::vector<RawPoint>, 4> raw;
    };

    // Family handlers, called with mu_ held; an empty result is no reply.
    Bytes OnOperatorMode(const Bytes& r);
    Bytes OnMemory(const Bytes& r);
    Bytes OnIdentity(const Bytes& r);
    Bytes OnRevision(const Bytes& r);
    Bytes OnSampling(const Bytes& r);
    Bytes OnPpgFunction(const Bytes& r);
    Bytes OnExtensionVersion(const Bytes& r);
    Bytes OnPpgModule(const Bytes& r);
    Bytes OnCalibrationSetting(const Bytes& r);
    Bytes OnRegister(const Bytes& r);
    Bytes OnDevice(const Bytes& r);  // 0xEA
    Bytes OnWaveformSetting(const Bytes& r, int channel);
    Bytes OnRawData(const Bytes& r, int channel);
    Bytes OnRom(const Bytes& r);

    std::vector<Reply> AnswerLocked(const Request& request, uint64_t nowUs, std::function<void()>& restartHandler);
    // Calls the stream hook for the events the player has gathered (mu_ not held).
    void Deliver(std::vector<StreamEvent> events);
    bool RefusalDue(const Bytes& r);
    int BankLocked(int bank) const { return bank < 0 ? selectedModule_ : bank; }
    bool FpgaAnswers() const { return profile_.fpga && fpgaAlive_; }
    Bytes SamplingPacket(uint8_t sub, uint8_t mode);

    const Profile profile_;
    mutable std::mutex mu_;
    MemoryImage memory_;
    int selectedModule_ = 0;
    std::array<uint8_t, 14> operatorBlock_{};
    std::array<uint8_t, 57> control_{};
    uint8_t appliedOutputs_ = 0;
    unsigned pulseGroupTakes_ = 0;
    std::array<Bytes, 4> settings_;  // [0] ECG (58 bytes), [1..3] PPG channels (64)
    std::array<std::vector<RawPoint>, 4> raw_;
    std::array<uint8_t, 256> rom_{};
    uint8_t romLatch_ = 0xFF;  // the ROM byte the next ROM read reply carries
    std::map<int, Slot> slots_;
    unsigned romBusyReads_ = 0, romBusyLeft_ = 0;
    std::map<uint8_t, uint16_t> calibration_;
    uint8_t ledTriggerStatus_ = 0;
    std::map<uint8_t, Bytes> registers_;
    std::array<uint16_t, 4> respirationWords_{};
    std::array<uint8_t, 2> respirationBaseline_{};
    uint8_t ambientMode_ = 0;
    uint16_t ambientDc_ = 0;
    bool dynamicLed_ = false;
    bool signalStrength_ = false;
    bool autoTrigger_ = false;
    bool autoStatusSet_ = false;
    std::array<uint8_t, 10> autoStatus_{};
    uint8_t rate_ = 0, pendingRate_ = 0;
    unsigned busyPolls_ = 1, busyLeft_ = 0;
    bool fpgaAlive_ = true;
    std::array<uint8_t, 10> fpgaReport_{};
    uint16_t rld_[2] = {0x0200, 0x0200};
    uint8_t ledFeedbackAdc_ = 0x9A;  // about 1.5 V of LED drive on the 8-bit ADC
    uint8_t usbBusVoltage_ = 0xC8;   // 5.0 V at 25 mV per step
    bool streamOn_ = false;
    uint8_t streamMask_ = 0;
    uint16_t streamSeq_ = 0;
    SampleStream stream_;
    unsigned stopInFlight_ = 0;
    unsigned streamStarts_ = 0, streamStops_ = 0;
    std::vector<Bytes> burst_;  // packets that go out before the reply being built
    std::vector<std::array<uint8_t, 10>> fpgaReports_;
    size_t fpgaNext_ = 0;
    unsigned fpgaPolls_ = 0;
    std::vector<Refusal> refusals_;
    mutable StreamPlayer player_;  // readers play it up to now
    mutable std::condition_variable streamCv_;
    StreamHook streamHook_;
    FpgaUpgrade fpgaUpgrade_;
    std::function<void()> restartHandler_;
    unsigned restarts_ = 0;
    int64_t flipProgramAt_ = -1;
    void PowerUp();  // the volatile state at power-up
};

}  // namespace nvsemu
