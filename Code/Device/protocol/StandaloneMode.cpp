// ROM access and the standalone-mode slot operations.
#include "protocol/StandaloneMode.h"

#include <cstring>

#include "platform/OsServices.h"
#include "platform/Transport.h"
#include "protocol/Exchange.h"
#include "protocol/PPGModule.h"
#include "protocol/WaveformSetting.h"
#include "protocol/Wire.h"
#include "waveform/Alignment.h"
#include "waveform/Normalise.h"
#include "waveform/Numeric.h"

namespace {

constexpr uint8_t kFamily = 0xEA;
constexpr uint8_t kRomSubCommand = 0x07;
constexpr int kRomRequestLength = 6;
constexpr int kReadBackTries = 3;
constexpr unsigned kReadBackPauseMs = 10;
constexpr int kWriteSettleTries = 80;  // 80 x 200 ms: the instrument may take 16 s to store a byte
constexpr unsigned kWriteSettlePauseMs = 200;
constexpr uint32_t kStepsPerMinute = 2400000;  // pacing period unit: 25 us
constexpr uint32_t kDefaultPacingPeriod = 80000;

bool ValidSlot(int slot) { return slot >= 1 && slot <= 3; }

PPGChannel Channel(int c) { return static_cast<PPGChannel>(c); }

// The block read with the instrument's acceptance checked: a refused read carries no block.
bool ReadBlock(_DEVICE_CONTROL_SETTING* block) {
    uint8_t request[kControlRequestLength] = {kFamily, 0x00, 0x00, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY))) {
        return false;
    }
    if (reply[0] != kFamily || reply[3] != proto::kAccepted) {
        return false;
    }
    memcpy(block, reply + 4, sizeof *block);
    return true;
}

// Reads of address 0 until one is accepted: its byte 5 is the byte the read before asked for.
bool ReadDelivered(unsigned char* value) {
    for (int attempt = 0; attempt < kReadBackTries; ++attempt) {
        if (attempt > 0) {
            SleepEx(kReadBackPauseMs);
        }
        if (DoReadFromROM(0, value)) {
            return true;
        }
    }
    return false;
}

// The records a type needs are all there.
bool HasRecords(const StandaloneKind& kind, const ECG_WAVEFORM* ecg, PPG_WAVEFORM* const ppg[3]) {
    if (kind.ecg && ecg == nullptr) {
        return false;
    }
    for (int c = 0; c < kind.ppgChannels; ++c) {
        if (ppg[c] == nullptr) {
            return false;
        }
    }
    return true;
}

// The checks every slot operation starts with, in their order.
int CheckArguments(int slot, const StandaloneKind& kind, const ECG_WAVEFORM* ecg, PPG_WAVEFORM* const ppg[3]) {
    if (!proto::Connected()) {
        return STANDALONE_NO_INSTRUMENT;
    }
    if (!ValidSlot(slot) || !kind.valid || !HasRecords(kind, ecg, ppg)) {
        return STANDALONE_BAD_ARGUMENT;
    }
    return STANDALONE_DONE;
}

}  // namespace

StandaloneKind StandaloneKindOf(int type) {
    StandaloneKind k;
    switch (type) {
        case 1:
            k.ecg = true;
            break;
        case 2:
            k.ecg = true;
            k.ppgChannels = 1;
            k.transitTime = true;
            break;
        case 3:
        case 5:
            k.ppgChannels = 2;
            break;
        case 4:
            k.ppgChannels = 1;
            break;
        case 6:
            k.ecg = true;
            k.ppgChannels = 2;
            k.transitTime = true;
            break;
        case 7:
            k.ecg = true;
            k.ppgChannels = 3;
            k.transitTime = true;
            break;
        case 8:
        case 9:
            k.ppgChannels = 3;
            break;
        default:
            return k;
    }
    k.valid = true;
    return k;
}

int StandalonePPGDelay(int transitTime, int time1, int rr) {
    if (rr <= 0) {
        return 0;
    }
    // 64 bits: the sum overflows int for extreme transit times; the C remainder takes the
    // dividend's sign, so a negative one is brought into [0, rr).
    const int64_t r = (int64_t{transitTime} - time1 + rr) % rr;
    return static_cast<int>(r < 0 ? r + rr : r);
}

void FillStandalonePPGBlock(const PPG_WAVEFORM& ppg1, _DEVICE_CONTROL_SETTING& block) {
    wire::PutBE16(block.usSampleRate, static_cast<uint32_t>(nvs::SatInt(1000.0 * ppg1.fSampleRateKHz)));
    wire::PutBE16(block.usSampleFraction, static_cast<uint32_t>(ppg1.nSampleFraction));
    wire::PutBE16(block.usPacingWidth, 0);
    wire::PutBE32(block.ulPacingPeriod, kDefaultPacingPeriod);
    block.ucRespirationEnable = static_cast<uint8_t>(ppg1.nRespirationMode);
}

int StandalonePacingRate(const _DEVICE_CONTROL_SETTING& block) {
    const uint32_t period = wire::GetBE32(block.ulPacingPeriod);
    if (block.ucPacingEnable == 0 || period == 0) {
        return 60;
    }
    const uint32_t rate = kStepsPerMinute / period;
    return rate < 30 ? 30 : (rate > 300 ? 300 : static_cast<int>(rate));
}

bool DoReadFromROM(int address, unsigned char* value) {
    const uint8_t request[kRomRequestLength] = {kFamily, 0x00, kRomSubCommand, 0x00, static_cast<uint8_t>(address),
                                                0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY))) {
        return false;
    }
    if (value != nullptr) {
        *value = reply[5];
    }
    return reply[0] == kFamily && reply[3] == proto::kAccepted;
}

bool ReadFromROM(int address, unsigned char* value) {
    unsigned char ignored = 0;
    if (!DoReadFromROM(address, &ignored)) {
        return false;
    }
    return ReadDelivered(value);
}

bool WriteToROM(int address, unsigned char value) {
    const uint8_t request[kRomRequestLength] = {kFamily, 0xFF, kRomSubCommand, 0x00, static_cast<uint8_t>(address),
                                                value};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY)) ||
        reply[0] != kFamily || reply[3] != proto::kAccepted) {
        return false;
    }
    // The instrument refuses ROM reads while it is still storing the byte.
    bool answered = false;
    for (int attempt = 0; attempt < kWriteSettleTries && !answered; ++attempt) {
        unsigned char ignored = 0;
        answered = DoReadFromROM(address, &ignored);
        if (!answered) {
            if (!proto::Connected()) {
                return false;  // gone: no instrument left to wait for
            }
            SleepEx(kWriteSettlePauseMs);
        }
    }
    unsigned char stored = 0;
    return answered && ReadDelivered(&stored) && stored == value;
}

int ReadStandaloneModeType(int slot) {
    if (!proto::Connected() || !ValidSlot(slot)) {
        return kStandaloneTypeUnknown;
    }
    unsigned char type = 0;
    return ReadFromROM(slot, &type) ? type : kStandaloneTypeUnknown;
}

int WriteWaveformToStandaloneMode(int slot, unsigned char type, int transitTime, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                  PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    const StandaloneKind kind = StandaloneKindOf(type);
    PPG_WAVEFORM* const ppg[3] = {ppg1, ppg2, ppg3};
    const int checked = CheckArguments(slot, kind, ecg, ppg);
    if (checked != STANDALONE_DONE) {
        return checked;
    }
    if (kind.ecg) {
        AdjustECGWaveform(ecg);
        int delay = 0;
        int start = 0;
        if (kind.transitTime) {
            const int rr = ecg->nRRInterval;
            if (rr <= 0) {
                return STANDALONE_BAD_ARGUMENT;  // the PPG delay has no value: nothing sent
            }
            delay = StandalonePPGDelay(transitTime, ppg1->nTime1, rr);
            start = CalcPPGStartPoint(ecg, ppg1, transitTime);
        }
        if (!WriteWaveformInfo(*ecg, transitTime, delay, start) || !WriteECGRawData(*ecg)) {
            return STANDALONE_EXCHANGE_FAILED;
        }
    }
    for (int c = 1; c <= kind.ppgChannels; ++c) {
        PPG_WAVEFORM* record = ppg[c - 1];
        AdjustPPGWaveformScale(record);
        if (!WriteWaveformInfo(Channel(c), *record)) {
            return STANDALONE_EXCHANGE_FAILED;
        }
        AdjustPPGWaveform(Channel(c), record, 0);
        if (!WritePPGRawData(Channel(c), *record)) {
            return STANDALONE_EXCHANGE_FAILED;
        }
    }
    _DEVICE_CONTROL_SETTING block;
    if (!ReadBlock(&block)) {
        return STANDALONE_EXCHANGE_FAILED;
    }
    if (kind.ecg) {
        ToDeviceControlSetting(ecg, block);
    } else {
        FillStandalonePPGBlock(*ppg1, block);
    }
    block.ucAmbientLightMode = static_cast<uint8_t>(GetAmbientLightMode());
    if (!WriteDeviceControlSetting(&block, 0) || !WriteToROM(slot, type)) {
        return STANDALONE_EXCHANGE_FAILED;
    }
    return STANDALONE_DONE;
}

int ReadWaveformFromStandaloneMode(int slot, unsigned char type, int* transitTime, ECG_WAVEFORM* ecg,
                                   PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    const StandaloneKind kind = StandaloneKindOf(type);
    PPG_WAVEFORM* const ppg[3] = {ppg1, ppg2, ppg3};
    const int checked = CheckArguments(slot, kind, ecg, ppg);
    if (checked != STANDALONE_DONE) {
        return checked;
    }
    unsigned char stored = 0;
    if (!ReadFromROM(slot, &stored)) {
        return STANDALONE_EXCHANGE_FAILED;
    }
    if (stored != type) {
        return STANDALONE_OTHER_TYPE;
    }
    _DEVICE_CONTROL_SETTING block;
    if (!ReadBlock(&block)) {
        return STANDALONE_EXCHANGE_FAILED;
    }
    if (kind.ecg) {
        int t = 0;
        if (!ReadWaveformInfo(ecg, &t)) {
            return STANDALONE_EXCHANGE_FAILED;
        }
        if (transitTime != nullptr) {
            *transitTime = t;
        }
        ecg->nImpedance = block.ucOutputImpedance;
        ecg->bPacingEnable = block.ucPacingEnable;
        ecg->nElectrode = block.ucOutputElectrode;
        ecg->nPacingRate = StandalonePacingRate(block);
        ecg->nRespirationMode = block.ucRespirationEnable == 0xFF ? 0x80 : 0;
    }
    for (int c = 1; c <= kind.ppgChannels; ++c) {
        if (!ReadWaveformInfo(Channel(c), ppg[c - 1])) {
            return STANDALONE_EXCHANGE_FAILED;
        }
        ppg[c - 1]->nRespirationMode = block.ucRespirationEnable;
    }
    SetAmbientLightMode(static_cast<PPGAmbientLightMode>(block.ucAmbientLightMode));
    return STANDALONE_DONE;
}
