#include "Firmware.h"

#include <algorithm>

#include "FactoryImage.h"
#include "FirmwareReplies.h"

namespace nvsemu {

using namespace fw;

Firmware::Firmware(Profile profile) : profile_(std::move(profile)), memory_(profile_.ppgModules) {
    WriteFactoryImage(profile_, memory_);
    calibration_ = FactoryCalibrationSettings(profile_);
    fpgaAlive_ = profile_.fpgaAlive;
    for (int c = 0; c < 2; ++c)  // LED trigger status: bit per channel that has an LED
        if (profile_.ledTypes[static_cast<size_t>(c)] != 3)
            ledTriggerStatus_ |= static_cast<uint8_t>(1u << c);
    rom_.fill(0xFF);
    PowerUp();
}

void Firmware::PowerUp() {
    selectedModule_ = 0;
    appliedOutputs_ = 0;
    control_ = {};
    settings_ = {};
    raw_ = {};
    romLatch_ = 0xFF;
    streamOn_ = false;
    streamMask_ = 0;
    streamSeq_ = 0;
    dynamicLed_ = false;
    signalStrength_ = false;
    autoTrigger_ = false;
    ambientMode_ = 0;
    busyLeft_ = 0;

    // Operator block at power-up: mode 0, 1000 samples/s, sync pulses 1, AC range 0.
    operatorBlock_ = {0x00, 0xFF, 0x00, 0x03, 0xE8, 1, 1, 1, 0, 0, 0, 0, 0, 0};
    // Control block at power-up: outputs off, 1000 samples/s, pacing period 80000
    // steps of 25 us, LED pulse group without period, slots 2 4 (channels 1, 2).
    control_[6] = 0x03;
    control_[7] = 0xE8;
    control_[16] = 0x00;
    control_[17] = 0x01;
    control_[18] = 0x38;
    control_[19] = 0x80;
    control_[31] = 1;
    control_[36] = 2;
    control_[37] = 4;

    // Device 0xD0 of the PPG module: VRef words of channels 1 and 2 (register 0x51),
    // the finger configuration register 0x70.
    registers_[0x51] = {0x08, 0x00, 0x08, 0x00};
    registers_[0x70] = {0x00};
    respirationWords_ = {0x0800, 0x0800, 0x0400, 0x0400};
    respirationBaseline_ = {0x01, 0x00};
    ambientDc_ = 0x0120;
    rate_ = pendingRate_ = 0;
    // Automatic trigger levels once found: status 00 01, flags 0, levels 500 and 600.
    autoStatus_ = {0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0xF4, 0x02, 0x58};
}

std::vector<Reply> Firmware::Answer(const std::vector<uint8_t>& bytes) {
    Request r;
    r.bytes = bytes;
    return Answer(r);
}

namespace {

// A request the firmware takes whole: its header is in the request table and it has
// one of that entry's lengths (the handlers read fixed offsets of it).
// The switch back to standalone mode at the end of a stream: mode 8, rate 1, sync
// pulses 1 1 0, AC modes 0.
const std::vector<uint8_t> kStandaloneSwitch = {0x00, 0xFF, 0x08, 0x00, 0x01, 0x01, 0x01,
                                                0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

bool WellFormed(const std::vector<uint8_t>& r) {
    if (r.empty())
        return false;
    const Lookup found = LookupRequest(r.data(), r.size());
    if (found.result != Lookup::Result::Match)
        return false;
    const auto& lengths = found.rule->lengths;
    return std::find(lengths.begin(), lengths.end(), r.size()) != lengths.end();
}

}  // namespace

std::vector<Reply> Firmware::Answer(const Request& request) {
    std::vector<Reply> replies;
    std::vector<StreamEvent> events;
    std::function<void()> restartHandler;
    {
        std::lock_guard<std::mutex> lock(mu_);
        replies = AnswerLocked(request, request.atUs != 0 ? request.atUs : NowUs(), restartHandler);
        events = player_.TakeEvents();
    }
    streamCv_.notify_all();
    Deliver(std::move(events));
    // A restart's handler runs without the model's lock (it unplugs the port).
    if (restartHandler)
        restartHandler();
    return replies;
}

std::vector<Reply> Firmware::AnswerLocked(const Request& request, uint64_t nowUs,
                                          std::function<void()>& restartHandler) {
    const Bytes& r = request.bytes;
    const bool modeWrite = request.kind == FrameKind::Known && WellFormed(r) && r[0] == 0x00 && r[1] == 0xFF;
    player_.Command(modeWrite && !IsStreamMode(r[2]), nowUs, r);
    if (request.kind != FrameKind::Known || !WellFormed(r))
        return {};
    Bytes reply;
    bool restart = false;
    if (r[0] == 0xDD) {
        restart = true;
    } else if (RefusalDue(r)) {
        reply = Echo(r, ReplyLength(r));
        if (r[0] == 0x12 && reply.size() > 4)
            reply[4] = kRefused;  // the memory command's status
        else if (reply.size() > 3)
            reply[3] = kRefused;
    } else {
        switch (r[0]) {
            case 0x00:
                reply = OnOperatorMode(r);
                if (modeWrite)
                    player_.OperatorMode(operatorBlock_[2],
                                         Be16(Bytes(operatorBlock_.begin(), operatorBlock_.end()), 3),
                                         r == kStandaloneSwitch, nowUs);
                break;
            case 0x12:
                reply = OnMemory(r);
                break;
            case 0x55:
                reply = OnIdentity(r);
                break;
            case 0xAA:
                reply = OnRevision(r);
                break;
            case 0xAD:
                reply = OnSampling(r);
                break;
            case 0xB0:
                reply = OnPpgFunction(r);
                break;
            case 0xB8:
                if (r[1] == 0x00 && r[2] == 0x00)
                    reply = OnExtensionVersion(r);
                else
                    reply = fpgaUpgrade_.Answer(r, FpgaAnswers() && !profile_.extModuleB9, &restart);
                break;
            case 0xB9:
                reply = OnExtensionVersion(r);
                break;
            case 0xCC:
                reply = OnPpgModule(r);
                break;
            case 0xEA:
                reply = OnDevice(r);
                break;
            default:
                break;  // stream packets: no reply
        }
    }
    if (restart) {
        PowerUp();
        fpgaUpgrade_.Restarted();
        ++restarts_;
        restartHandler = restartHandler_;
    }
    std::vector<Reply> out;
    for (Bytes& packet : burst_)  // the sampling stream's packets in flight at a stop
        out.push_back(Reply{std::move(packet), 0});
    burst_.clear();
    if (!reply.empty())
        out.push_back(Reply{std::move(reply), 0});
    return out;
}

bool Firmware::RefusalDue(const Bytes& r) {
    bool due = false;
    for (Refusal& f : refusals_) {
        if (f.spent || r.size() < f.prefix.size() || !std::equal(f.prefix.begin(), f.prefix.end(), r.begin()))
            continue;
        const unsigned n = f.seen++;
        if (n < f.skip)
            continue;
        due = true;
        if (f.times != 0 && n + 1 - f.skip >= f.times)
            f.spent = true;
    }
    return due;
}

void Firmware::RefuseRequests(std::vector<uint8_t> prefix, unsigned times, unsigned skip) {
    std::lock_guard<std::mutex> lock(mu_);
    Refusal f;
    f.prefix = std::move(prefix);
    f.times = times;
    f.skip = skip;
    refusals_.push_back(std::move(f));
}

void Firmware::SetRestartHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(mu_);
    restartHandler_ = std::move(handler);
}

unsigned Firmware::Restarts() const {
    std::lock_guard<std::mutex> lock(mu_);
    return restarts_;
}

void Firmware::FlipProgramByte(uint32_t address) {
    std::lock_guard<std::mutex> lock(mu_);
    flipProgramAt_ = address;
}

void Firmware::WithFpgaUpgrade(const std::function<void(FpgaUpgrade&)>& fn) {
    std::lock_guard<std::mutex> lock(mu_);
    fn(fpgaUpgrade_);
}

void Firmware::SetFpgaGeometry(std::array<uint32_t, 3> sectorSizes) {
    std::lock_guard<std::mutex> lock(mu_);
    fpgaUpgrade_ = FpgaUpgrade(sectorSizes);
}

void Firmware::ClearRefusals() {
    std::lock_guard<std::mutex> lock(mu_);
    refusals_.clear();
}

// ---- accessors -------------------------------------------------------------------

std::vector<uint8_t> Firmware::MemoryAt(uint8_t target, uint32_t address, size_t n, int bank) const {
    std::lock_guard<std::mutex> lock(mu_);
    Bytes out;
    if (!memory_.Read(target, target == 0x13 ? BankLocked(bank) : 0, address, n, out))
        out.clear();
    return out;
}

bool Firmware::SetMemory(uint8_t target, uint32_t address, const std::vector<uint8_t>& bytes, int bank) {
    std::lock_guard<std::mutex> lock(mu_);
    return memory_.Program(target, target == 0x13 ? BankLocked(bank) : 0, address, bytes);
}

void Firmware::Erase(uint8_t target) {
    std::lock_guard<std::mutex> lock(mu_);
    memory_.EraseTarget(target);
}

bool Firmware::Erase(uint8_t target, uint32_t address, size_t n, int bank) {
    std::lock_guard<std::mutex> lock(mu_);
    return memory_.EraseSpan(target, target == 0x13 ? BankLocked(bank) : 0, address, n);
}

void Firmware::EraseAll() {
    std::lock_guard<std::mutex> lock(mu_);
    for (uint8_t t : {uint8_t{0x01}, uint8_t{0x03}, uint8_t{0x12}, uint8_t{0x13}})
        memory_.EraseTarget(t);
}

int Firmware::SelectedPpgModule() const {
    std::lock_guard<std::mutex> lock(mu_);
    return selectedModule_;
}

std::array<uint8_t, 14> Firmware::OperatorBlock() const {
    std::lock_guard<std::mutex> lock(mu_);
    return operatorBlock_;
}

std::array<uint8_t, 57> Firmware::ControlBlock() const {
    std::lock_guard<std::mutex> lock(mu_);
    return control_;
}

void Firmware::SetControlBlock(const std::array<uint8_t, 57>& block) {
    std::lock_guard<std::mutex> lock(mu_);
    control_ = block;
}

uint8_t Firmware::AppliedOutputs() const {
    std::lock_guard<std::mutex> lock(mu_);
    return appliedOutputs_;
}

unsigned Firmware::PulseGroupTakes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return pulseGroupTakes_;
}

std::vector<uint8_t> Firmware::Setting(int channel) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (channel < 0 || channel > 3)
        return {};
    return settings_[static_cast<size_t>(channel)];
}

std::vector<RawPoint> Firmware::RawPoints(int channel) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (channel < 0 || channel > 3)
        return {};
    return raw_[static_cast<size_t>(channel)];
}

uint8_t Firmware::RomAt(uint8_t address) const {
    std::lock_guard<std::mutex> lock(mu_);
    return rom_[address];
}

void Firmware::SetRom(uint8_t address, uint8_t value) {
    std::lock_guard<std::mutex> lock(mu_);
    rom_[address] = value;
}

void Firmware::SetRomBusyReads(unsigned reads) {
    std::lock_guard<std::mutex> lock(mu_);
    romBusyReads_ = reads;
}

uint16_t Firmware::CalibrationSetting(uint8_t id) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = calibration_.find(id);
    return it == calibration_.end() ? 0 : it->second;
}

void Firmware::SetCalibrationSetting(uint8_t id, uint16_t value) {
    std::lock_guard<std::mutex> lock(mu_);
    calibration_[id] = value;
}

void Firmware::SetLedTriggerStatus(uint8_t bits) {
    std::lock_guard<std::mutex> lock(mu_);
    ledTriggerStatus_ = bits;
}

std::vector<uint8_t> Firmware::Register(uint8_t reg) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = registers_.find(reg);
    return it == registers_.end() ? Bytes{} : it->second;
}

void Firmware::SetRegister(uint8_t reg, std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mu_);
    registers_[reg] = std::move(bytes);
}

std::array<uint16_t, 4> Firmware::RespirationWords() const {
    std::lock_guard<std::mutex> lock(mu_);
    return respirationWords_;
}

std::array<uint8_t, 2> Firmware::RespirationBaseline() const {
    std::lock_guard<std::mutex> lock(mu_);
    return respirationBaseline_;
}

uint8_t Firmware::AmbientLightMode() const {
    std::lock_guard<std::mutex> lock(mu_);
    return ambientMode_;
}

uint16_t Firmware::AmbientLightDc() const {
    std::lock_guard<std::mutex> lock(mu_);
    return ambientDc_;
}

bool Firmware::DynamicLed() const {
    std::lock_guard<std::mutex> lock(mu_);
    return dynamicLed_;
}

bool Firmware::SignalStrengthDetection() const {
    std::lock_guard<std::mutex> lock(mu_);
    return signalStrength_;
}

bool Firmware::AutoTrigger() const {
    std::lock_guard<std::mutex> lock(mu_);
    return autoTrigger_;
}

uint8_t Firmware::TransmissionRate() const {
    std::lock_guard<std::mutex> lock(mu_);
    return rate_;
}

void Firmware::SetTransmissionBusyPolls(unsigned polls) {
    std::lock_guard<std::mutex> lock(mu_);
    busyPolls_ = polls;
}

void Firmware::SetAutoTriggerStatus(const std::array<uint8_t, 10>& status) {
    std::lock_guard<std::mutex> lock(mu_);
    autoStatus_ = status;
    autoStatusSet_ = true;
}

void Firmware::SetFpgaAlive(bool alive) {
    std::lock_guard<std::mutex> lock(mu_);
    fpgaAlive_ = alive;
}

void Firmware::SetFpgaReport(const std::array<uint8_t, 10>& bytes8to17) {
    std::lock_guard<std::mutex> lock(mu_);
    fpgaReport_ = bytes8to17;
}

void Firmware::SetRld(uint16_t level1, uint16_t level2) {
    std::lock_guard<std::mutex> lock(mu_);
    rld_[0] = level1;
    rld_[1] = level2;
}

bool Firmware::StreamOn() const {
    std::lock_guard<std::mutex> lock(mu_);
    return streamOn_;
}

uint8_t Firmware::StreamMask() const {
    std::lock_guard<std::mutex> lock(mu_);
    return streamMask_;
}

}  // namespace nvsemu

namespace nvsemu {

// ---- stream play -----------------------------------------------------------------

void Firmware::Deliver(std::vector<StreamEvent> events) {
    if (events.empty())
        return;
    StreamHook hook;
    {
        std::lock_guard<std::mutex> lock(mu_);
        hook = streamHook_;
    }
    if (hook)
        for (const StreamEvent& e : events)
            hook(e);
}

bool Firmware::TakeData(const Request& request) {
    const Bytes& r = request.bytes;
    if (request.kind != FrameKind::Known || r.size() != 64 || r[0] != 0x01)
        return false;
    std::vector<StreamEvent> events;
    {
        std::lock_guard<std::mutex> lock(mu_);
        player_.Packet(r.data(), request.atUs != 0 ? request.atUs : NowUs());
        events = player_.TakeEvents();
    }
    streamCv_.notify_all();
    Deliver(std::move(events));
    return true;
}

uint64_t Firmware::NextDueUs() {
    std::lock_guard<std::mutex> lock(mu_);
    return player_.NextDueUs();
}

TimedOutput Firmware::Due(uint64_t nowUs) {
    TimedOutput out;
    std::vector<StreamEvent> events;
    {
        std::lock_guard<std::mutex> lock(mu_);
        StreamOutput due = player_.Due(nowUs);
        out.packets = std::move(due.packets);
        out.unplug = due.unplug;
        events = player_.TakeEvents();
    }
    streamCv_.notify_all();
    Deliver(std::move(events));
    return out;
}

void Firmware::PortClosed() {
    std::vector<StreamEvent> events;
    {
        std::lock_guard<std::mutex> lock(mu_);
        player_.PortClosed(NowUs());
        events = player_.TakeEvents();
    }
    streamCv_.notify_all();
    Deliver(std::move(events));
}

void Firmware::SetStreamOptions(const StreamOptions& options) {
    std::lock_guard<std::mutex> lock(mu_);
    player_.SetOptions(options);
}

StreamOptions Firmware::GetStreamOptions() const {
    std::lock_guard<std::mutex> lock(mu_);
    return player_.Options();
}

StreamStatus Firmware::GetStreamStatus() const {
    std::lock_guard<std::mutex> lock(mu_);
    player_.Advance(NowUs());
    return player_.Status();
}

std::vector<uint16_t> Firmware::PlayedWords(StreamChannel channel) const {
    std::lock_guard<std::mutex> lock(mu_);
    player_.Advance(NowUs());
    return player_.PlayedWords(channel);
}

uint64_t Firmware::PlayedSamples(StreamChannel channel) const {
    std::lock_guard<std::mutex> lock(mu_);
    player_.Advance(NowUs());
    return player_.PlayedSamples(channel);
}

std::vector<StreamCommandMark> Firmware::StreamCommands() const {
    std::lock_guard<std::mutex> lock(mu_);
    return player_.CommandMarks();
}

std::vector<StreamCheckFailure> Firmware::StreamCheckFailures() const {
    std::lock_guard<std::mutex> lock(mu_);
    return player_.CheckFailures();
}

std::vector<uint64_t> Firmware::BatchLatenciesUs() const {
    std::lock_guard<std::mutex> lock(mu_);
    return player_.BatchLatencies();
}

bool Firmware::WaitForStream(const std::function<bool(const StreamStatus&)>& done, unsigned timeoutMs) const {
    const uint64_t deadline = NowUs() + uint64_t{timeoutMs} * 1000;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        const uint64_t now = NowUs();
        player_.Advance(now);
        if (done(player_.Status()))
            return true;
        if (now >= deadline)
            return false;
        // Woken by whatever the I/O thread changes, and when the next held packet has
        // played (nobody else would tell).
        const uint64_t wake = std::min(deadline, player_.NextPlayedUs());
        streamCv_.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::microseconds(wake)));
    }
}

bool Firmware::WaitForStreamEnded(unsigned timeoutMs, uint64_t stream) const {
    return WaitForStream(
        [stream](const StreamStatus& s) {
            if (stream == 0)
                return s.state == StreamState::Ended;
            return s.streams > stream || (s.streams == stream && s.state == StreamState::Ended);
        },
        timeoutMs);
}

bool Firmware::WaitForPacketsPlayed(uint64_t packets, unsigned timeoutMs) const {
    return WaitForStream([packets](const StreamStatus& s) { return s.counters.played >= packets; }, timeoutMs);
}

void Firmware::SetStreamHook(StreamHook hook) {
    std::lock_guard<std::mutex> lock(mu_);
    streamHook_ = std::move(hook);
}

void Firmware::FaultOnDataRequest(size_t index, StreamFault fault, unsigned times) {
    std::lock_guard<std::mutex> lock(mu_);
    player_.FaultOnDataRequest(index, fault, times);
}

void Firmware::ClearStreamFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    player_.ClearFaults();
}

}  // namespace nvsemu
