// The firmware model's sampling stream settings and the packets it sends by itself.
#include "Emulator.h"
#include "Firmware.h"

namespace nvsemu {

std::vector<std::vector<uint8_t>> Firmware::Unsolicited(uint64_t nowUs, uint64_t* nextUs) {
    std::lock_guard<std::mutex> lock(mu_);
    return stream_.Due(nowUs, nextUs);
}

void Firmware::SetSampleSource(int input, SampleSource source) {
    std::lock_guard<std::mutex> lock(mu_);
    stream_.SetSource(input, std::move(source));
}

void Firmware::SetStreamRate(unsigned samplesPerSecond) {
    std::lock_guard<std::mutex> lock(mu_);
    stream_.SetRate(samplesPerSecond);
}

void Firmware::SetStreamFlushMs(unsigned ms) {
    std::lock_guard<std::mutex> lock(mu_);
    stream_.SetFlushMs(ms);
}

void Firmware::SetStreamFirstNumber(uint16_t number) {
    std::lock_guard<std::mutex> lock(mu_);
    stream_.SetFirstNumber(number);
}

void Firmware::SetStopInFlight(unsigned packets) {
    std::lock_guard<std::mutex> lock(mu_);
    stopInFlight_ = packets;
}

void Firmware::SetStreamFaults(const StreamFaults& faults) {
    std::lock_guard<std::mutex> lock(mu_);
    stream_.SetFaults(faults);
}

uint64_t Firmware::StreamPackets() const {
    std::lock_guard<std::mutex> lock(mu_);
    return stream_.PacketsMade();
}

unsigned Firmware::StreamStarts() const {
    std::lock_guard<std::mutex> lock(mu_);
    return streamStarts_;
}

unsigned Firmware::StreamStops() const {
    std::lock_guard<std::mutex> lock(mu_);
    return streamStops_;
}

void Firmware::SetFpgaReports(std::vector<std::array<uint8_t, 10>> bytes8to17) {
    std::lock_guard<std::mutex> lock(mu_);
    fpgaReports_ = std::move(bytes8to17);
    fpgaNext_ = 0;
}

unsigned Firmware::FpgaPolls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return fpgaPolls_;
}

}  // namespace nvsemu
