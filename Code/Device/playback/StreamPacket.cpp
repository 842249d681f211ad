// The stream packet builders.
#include "playback/StreamPacket.h"

#include "api/ExternalRespiratory.h"
#include "playback/PlaybackState.h"
#include "playback/Signal.h"
#include "protocol/Wire.h"
#include "waveform/Conversion.h"
#include "waveform/Numeric.h"

namespace {

constexpr uint8_t kStreamPacketType = 0x01;
constexpr int kModeOffset = 1;
constexpr int kLengthOffset = 5;
constexpr int kSequenceOffset = 6;
constexpr int kWordBytes = 2;
constexpr int kExtRespWords = 3;

bool IsPPGIndex(int channel) { return channel >= 0 && channel <= 2; }

// The ECG DC and AC words of sample n, the DC with the pacing pulse when asked.
void PutECG(unsigned char*& p, unsigned long long n, int apnea, bool pacing) {
    const unsigned long long offset = g_nCurrentOffset[kECGOffsetIndex].load();
    double dc = CalculateECGDCVoltage(n - offset);
    if (pacing && g_bPacingEnable.load()) {
        // A pulse of g_fPacingDuraton ms every 1 / g_fPacingRate s, counted from the start
        // of the run; a period that is not positive gives no pulse.
        const int rate = g_nSampleRate.load();
        const int period = nvs::SatInt(rate / g_fPacingRate);
        if (period > 0) {
            const int phase = static_cast<int>(n % static_cast<unsigned long long>(period));
            const double width = g_fPacingDuraton * (rate / 1000);
            if (width > phase) {
                dc += g_fPacingAmplitude;
            }
        }
    }
    wire::PutSwapped16(p, ECG_DC_VoltageToDAC(dc));
    wire::PutSwapped16(p + kWordBytes, ECG_AC_VoltageToDAC_Ex(CalculateECGACVoltage(n, offset, apnea)));
    p += 2 * kWordBytes;
}

// The DC and AC words of PPG channel c at sample n; calIndex picks the AC conversion's
// calibration.
void PutPPG(unsigned char*& p, int c, int calIndex, unsigned long long n) {
    const unsigned long long offset = g_nCurrentOffset[c].load();
    wire::PutSwapped16(p, PPG_DC_VoltageToDAC(CalculatePPGDCVoltage(c, n - offset)));
    wire::PutSwapped16(p + kWordBytes,
                       PPG_AC_VoltageToDAC(calIndex, CalculatePPGACVoltage(c, n, offset, g_bPlayIsApnea)));
    p += 2 * kWordBytes;
}

// The three amplitude words of the external-respiration module for the resistance at n
// (zeros when the module's model gives none), then its baseline word.
void PutExtRespiration(unsigned char*& p, unsigned long long n) {
    unsigned short words[kExtRespWords] = {0, 0, 0};
    if (!ExtRespGetAmplitudeDAC(CalculateECGExtRespiration(n), words)) {
        words[0] = words[1] = words[2] = 0;
    }
    for (unsigned short w : words) {
        wire::PutBE16(p, w);
        p += kWordBytes;
    }
    wire::PutBE16(p, g_nECGExtRespirationBaselineDAC);
    p += kWordBytes;
}

// Fills one packet: per sample position, the apnea update (unless skipped), the words of
// sample g_nCurrent, the advance with the drift trim, and the reload rules; the sample at
// which the stream ended is written but not counted.
template <typename Words>
int FillPacket(unsigned short seq, unsigned char* packet, StreamLayout layout, bool updateApnea, Words words) {
    packet[0] = kStreamPacketType;
    packet[kModeOffset] = static_cast<uint8_t>(g_nOperatorMode.load());
    wire::PutBE16(packet + kSequenceOffset, seq);
    int counted = 0;
    for (int i = 0; i < layout.samplesPerPacket; ++i) {
        if (updateApnea) {
            CheckApnea(g_nCurrent.load(), g_bPlayIsApnea);
        }
        unsigned char* p = packet + kStreamPacketHeaderSize + i * layout.bytesPerSample;
        words(p, g_nCurrent.load());
        g_nCurrent.fetch_add(1);
        FineTunePlayCounter();
        if (DoReloadIfNeeded() == 0) {
            break;
        }
        ++counted;
    }
    packet[kLengthOffset] = static_cast<uint8_t>(counted * layout.bytesPerSample);
    if (counted == 0) {
        return -1;
    }
    return counted == layout.samplesPerPacket ? 1 : 0;
}

constexpr StreamLayout kOneChannel = {14, 4};
constexpr StreamLayout kTwoChannels = {7, 8};
constexpr StreamLayout kThreeChannels = {4, 12};
constexpr StreamLayout kFourChannels = {3, 16};

}  // namespace

unsigned short NextStreamSequence(unsigned short seq) {
    return static_cast<unsigned short>((seq + 1u) % kStreamSequenceModulo);
}

StreamLayout GetStreamLayout(int mode) {
    switch (mode) {
        case 1:
        case 2:
        case 4:
        case 16:
            return kOneChannel;
        case 3:
        case 5:
        case 6:
        case 9:
        case 10:
        case 12:
            return kTwoChannels;
        case 7:
        case 11:
        case 13:
        case 14:
        case 17:
            return kThreeChannels;
        case 15:
            return kFourChannels;
        default:
            return {0, 0};
    }
}

int ToECGPacket(unsigned short seq, unsigned char* packet) {
    return FillPacket(seq, packet, kOneChannel, true,
                      [](unsigned char* p, unsigned long long n) { PutECG(p, n, g_bPlayIsApnea, true); });
}

int ToPPGPacket(int channel, unsigned short seq, unsigned char* packet) {
    if (!IsPPGIndex(channel)) {
        return -1;
    }
    return FillPacket(seq, packet, kOneChannel, true,
                      [channel](unsigned char* p, unsigned long long n) { PutPPG(p, channel, channel, n); });
}

int ToECGAndPPGPacket(int channel, unsigned short seq, unsigned char* packet) {
    if (!IsPPGIndex(channel)) {
        return -1;
    }
    return FillPacket(seq, packet, kTwoChannels, true, [channel](unsigned char* p, unsigned long long n) {
        PutECG(p, n, g_bPlayIsApnea, false);
        PutPPG(p, channel, channel, n);
    });
}

int ToPPGExPacket(int channelA, int channelB, unsigned short seq, unsigned char* packet) {
    if (!IsPPGIndex(channelA) || !IsPPGIndex(channelB)) {
        return -1;
    }
    return FillPacket(seq, packet, kTwoChannels, true, [channelA, channelB](unsigned char* p, unsigned long long n) {
        PutPPG(p, channelA, 0, n);
        PutPPG(p, channelB, 1, n);
    });
}

int ToECGAndPPGExPacket(int channelA, int channelB, unsigned short seq, unsigned char* packet) {
    if (!IsPPGIndex(channelA) || !IsPPGIndex(channelB)) {
        return -1;
    }
    return FillPacket(seq, packet, kThreeChannels, true, [channelA, channelB](unsigned char* p, unsigned long long n) {
        PutECG(p, n, g_bPlayIsApnea, false);
        PutPPG(p, channelA, 0, n);
        PutPPG(p, channelB, 1, n);
    });
}

int ToPPG3Packet(unsigned short seq, unsigned char* packet) {
    return FillPacket(seq, packet, kThreeChannels, true, [](unsigned char* p, unsigned long long n) {
        PutPPG(p, 2, 0, n);
        PutPPG(p, 0, 1, n);
        PutPPG(p, 1, 2, n);
    });
}

int ToECGAndPPG3Packet(unsigned short seq, unsigned char* packet) {
    return FillPacket(seq, packet, kFourChannels, true, [](unsigned char* p, unsigned long long n) {
        PutECG(p, n, g_bPlayIsApnea, false);
        PutPPG(p, 2, 0, n);
        PutPPG(p, 0, 1, n);
        PutPPG(p, 1, 2, n);
    });
}

int ToECGAndExternalRespirationPacket(unsigned short seq, unsigned char* packet) {
    return FillPacket(seq, packet, kThreeChannels, false, [](unsigned char* p, unsigned long long n) {
        PutECG(p, n, 0, false);
        PutExtRespiration(p, n);
    });
}

int BuildStreamPacket(unsigned short seq, unsigned char* packet) {
    switch (g_nOperatorMode.load()) {
        case 1:
            return ToECGPacket(seq, packet);
        case 2:
            return ToPPGPacket(0, seq, packet);
        case 3:
            return ToECGAndPPGPacket(0, seq, packet);
        case 4:
            return ToPPGPacket(1, seq, packet);
        case 5:
            return ToECGAndPPGPacket(1, seq, packet);
        case 6:
            return ToPPGExPacket(0, 1, seq, packet);
        case 7:
            return ToECGAndPPGExPacket(0, 1, seq, packet);
        case 9:
            return ToECGAndPPGPacket(2, seq, packet);
        case 10:
            return ToPPGExPacket(0, 2, seq, packet);
        case 11:
            return ToECGAndPPGExPacket(0, 2, seq, packet);
        case 12:
            return ToPPGExPacket(1, 2, seq, packet);
        case 13:
            return ToECGAndPPGExPacket(1, 2, seq, packet);
        case 14:
            return ToPPG3Packet(seq, packet);
        case 15:
            return ToECGAndPPG3Packet(seq, packet);
        case 16:
            return ToPPGPacket(2, seq, packet);
        case 17:
            return ToECGAndExternalRespirationPacket(seq, packet);
        default:
            return -1;
    }
}
