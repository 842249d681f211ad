// Calibration stream state, packet builders and send functions (CalibrationStream.h).
#include "service/CalibrationStream.h"

#include <cmath>
#include <cstring>

#include "platform/Transport.h"
#include "playback/PlayControl.h"
#include "playback/PlayThreads.h"
#include "playback/StreamPacket.h"
#include "protocol/Protocol.h"
#include "service/ConvertTable.h"

namespace calibration {

CSimpleCriticalSection g_CalibrationStreamLock;
PPG_WAVEFORM g_PPGCalibrationWaveform[kSlots] = {};
int32_t g_iCalibrationDCValue[kSlots] = {0, 0};
bool g_iCalibrationDCAscending[kSlots] = {true, true};
uint32_t g_nPlayCounter[3] = {0, 0, 0};
bool highLevel = false;
bool highLevelCh1 = false;
bool highLevelCh2 = false;
uint16_t* g_pPPGAC[kSlots] = {nullptr, nullptr};
uint16_t* g_pPPGDC[kSlots] = {nullptr, nullptr};
int32_t g_nPPGSrcSampleCount[kSlots] = {0, 0};

void ResetCalibrationStreamState() {
    CAutoCriticalSection lock(g_CalibrationStreamLock);
    memset(g_PPGCalibrationWaveform, 0, sizeof g_PPGCalibrationWaveform);
    for (int s = 0; s < kSlots; ++s) {
        g_iCalibrationDCValue[s] = 0;
        g_iCalibrationDCAscending[s] = true;
        delete[] g_pPPGAC[s];
        delete[] g_pPPGDC[s];
        g_pPPGAC[s] = g_pPPGDC[s] = nullptr;
        g_nPPGSrcSampleCount[s] = 0;
    }
    memset(g_nPlayCounter, 0, sizeof g_nPlayCounter);
    highLevel = highLevelCh1 = highLevelCh2 = false;
}

}  // namespace calibration

using namespace calibration;

namespace {

constexpr int kPacket = 64;
constexpr int kHeader = 8;
constexpr int kBatchPackets = 50;
constexpr int kRowTop = kConvertRowLength - 1;

// trunc(L), the full-scale DC code.
int Top() {
    const double level = g_nPPGDCDacLevel;
    if (!(level > 0.0)) {
        return 0;
    }
    return level >= kRowTop ? kRowTop : static_cast<int>(level);
}

// trunc(v) clamped into 0..top; NaN and negatives give 0.
int Index(double v, int top) {
    if (!(v > 0.0)) {
        return 0;
    }
    return v >= top ? top : static_cast<int>(v);
}

void Put(unsigned char* at, int32_t code) {
    at[0] = static_cast<unsigned char>((code >> 8) & 0xFF);
    at[1] = static_cast<unsigned char>(code & 0xFF);
}

// Bytes 0, 1, 5, 6 and 7; the point area is the caller's.
unsigned char* Header(unsigned char* packet, int mode, int payload, unsigned short seq) {
    packet[0] = 0x01;
    packet[1] = static_cast<unsigned char>(mode);
    packet[5] = static_cast<unsigned char>(payload);
    packet[6] = static_cast<unsigned char>(seq >> 8);
    packet[7] = static_cast<unsigned char>(seq & 0xFF);
    return packet + kHeader;
}

int OneChannelMode(int slot) { return slot == 0 ? 2 : 4; }

// ---- Method 2 ----

void Method2Point(int slot, int top, unsigned char* at) {
    const int base = Index(g_PPGCalibrationWaveform[slot].fAmplitude1, kRowTop);
    int index = base + g_iCalibrationDCValue[slot];
    index = index < 0 ? 0 : (index > top ? top : index);
    int32_t code = g_DCTable[slot][index].load(std::memory_order_relaxed);
    if (code > top) {
        code = top;
    }
    Put(at, code);
    Put(at + 2, 0);
}

// ---- Method 3 ----

// Copies the pair at the channel's position into at and advances the position.
void Method3Pair(int channel, uint32_t& position, unsigned char* at) {
    const int32_t count = g_nPPGSrcSampleCount[channel];
    if (count <= 0 || g_pPPGAC[channel] == nullptr || g_pPPGDC[channel] == nullptr) {
        return;  // nothing converted: zero words, the position kept
    }
    const uint32_t n = static_cast<uint32_t>(count);
    if (position >= n) {
        position %= n;
    }
    memcpy(at, &g_pPPGDC[channel][position], 2);
    memcpy(at + 2, &g_pPPGAC[channel][position], 2);
    position = position + 1 == n ? 0 : position + 1;
}

// ---- Method 4 ----

struct Codes {
    int32_t dc, ac;
};

Codes Method4Codes(int slot, int top) {
    const PPG_WAVEFORM& w = g_PPGCalibrationWaveform[slot];
    return {g_DCTable[slot][Index(w.fDCLevel, top)].load(std::memory_order_relaxed),
            g_ACTable[slot][Index(w.fAmplitude1, kRowTop)].load(std::memory_order_relaxed)};
}

void PutCodes(unsigned char* at, Codes c) {
    Put(at, c.dc);
    Put(at + 2, c.ac);
}

// ---- Method 5 ----

void Method5Sample(bool& high, uint32_t& position, const PPG_WAVEFORM& w, int top, unsigned char* at) {
    Put(at, high ? top : 0);
    Put(at + 2, 0);
    ++position;
    if (high && static_cast<double>(position) >= w.fAmplitude1) {
        position = 0;
        high = false;
    } else if (!high && static_cast<double>(position) >= w.fAmplitude2) {
        position = 0;
        high = true;
    }
}

// ---- Send functions ----

// The builder of a method for a mode; -1: the method has none for it.
int Build(int method, int mode, unsigned short seq, unsigned char* packet) {
    switch (method * 100 + mode) {
        case 202:
            return Method2ToPPGCalibrationDCPacket(0, seq, packet);
        case 204:
            return Method2ToPPGCalibrationDCPacket(1, seq, packet);
        case 206:
            return Method2ToPPGExCalibrationDCPacket(seq, packet);
        case 302:
            return Method3ToPPGPacket(0, seq, packet);
        case 304:
            return Method3ToPPGPacket(1, seq, packet);
        case 306:
            return Method3ToPPGExPacket(seq, packet);
        case 314:
            return Method3ToPPG3Packet(seq, packet);
        case 402:
            return Method4ToPPGPacket(0, seq, packet);
        case 404:
            return Method4ToPPGPacket(1, seq, packet);
        case 406:
            return Method4ToPPGExPacket(seq, packet);
        case 414:
            return Method4ToPPG3Packet(0, seq, packet);
        case 502:
            return Method5ToPPGPacket(0, seq, packet);
        case 504:
            return Method5ToPPGPacket(1, seq, packet);
        case 506:
            return Method5ToPPGExPacket(seq, packet);
        default:
            return -1;
    }
}

int Send(int method, int& seq, int count, int& more) {
    static unsigned char batch[kBatchPackets * kPacket];
    const int built = BuildCalibrationBatch(method, seq, count, more, batch);
    if (built == 0) {
        return 0;
    }
    const int length = built * kPacket;
    if (WriteData(batch, length, 0) != length) {
        return 0;
    }
    SetReadEvent();
    return 1;
}

}  // namespace

// ---- Builders ----------------------------------------------------------------------------

int Method2ToPPGCalibrationDCPacket(int slot, unsigned short seq, unsigned char* packet) {
    const int top = Top();
    unsigned char* at = Header(packet, OneChannelMode(slot), 56, seq);
    for (int p = 0; p < 14; ++p, at += 4) {
        Method2Point(slot, top, at);
        SetNextCalibrationValue(slot);
    }
    return 1;
}

int Method2ToPPGExCalibrationDCPacket(unsigned short seq, unsigned char* packet) {
    const int top = Top();
    unsigned char* at = Header(packet, 6, 56, seq);
    for (int p = 0; p < 7; ++p, at += 8) {
        Method2Point(0, top, at);
        Method2Point(1, top, at + 4);
        SetNextCalibrationValue(0);
        SetNextCalibrationValue(1);
    }
    return 1;
}

void SetNextCalibrationValue(int slot) {
    const int32_t height = Index(g_PPGCalibrationWaveform[slot].fDCLevel, kRowTop);
    int32_t& v = g_iCalibrationDCValue[slot];
    if (g_iCalibrationDCAscending[slot]) {
        if (++v > height) {
            v = (height > 1 ? height : 1) - 1;
            g_iCalibrationDCAscending[slot] = false;
        }
    } else if (--v < 0) {
        v = height < 1 ? height : 1;
        g_iCalibrationDCAscending[slot] = true;
    }
}

int Method3ToPPGPacket(int slot, unsigned short seq, unsigned char* packet) {
    unsigned char* at = Header(packet, OneChannelMode(slot), 56, seq);
    for (int p = 0; p < 14; ++p, at += 4) {
        Method3Pair(slot, g_nPlayCounter[0], at);
    }
    return 1;
}

int Method3ToPPGExPacket(unsigned short seq, unsigned char* packet) {
    unsigned char* at = Header(packet, 6, 56, seq);
    for (int p = 0; p < 7; ++p, at += 8) {
        Method3Pair(0, g_nPlayCounter[0], at);
        Method3Pair(1, g_nPlayCounter[1], at + 4);
    }
    return 1;
}

int Method3ToPPG3Packet(unsigned short seq, unsigned char* packet) {
    unsigned char* at = Header(packet, 14, 48, seq);
    for (int p = 0; p < 4; ++p, at += 12) {
        // PPG channel 3 repeats channel 1: the first pair is copied from the second.
        Method3Pair(0, g_nPlayCounter[0], at + 4);
        memcpy(at, at + 4, 4);
        Method3Pair(1, g_nPlayCounter[1], at + 8);
    }
    return 1;
}

int Method4ToPPGPacket(int slot, unsigned short seq, unsigned char* packet) {
    const Codes c = Method4Codes(slot, Top());
    unsigned char* at = Header(packet, OneChannelMode(slot), 56, seq);
    for (int p = 0; p < 14; ++p, at += 4) {
        PutCodes(at, c);
    }
    return 1;
}

int Method4ToPPGExPacket(unsigned short seq, unsigned char* packet) {
    const int top = Top();
    const Codes c1 = Method4Codes(0, top);
    const Codes c2 = Method4Codes(1, top);
    unsigned char* at = Header(packet, 6, 56, seq);
    for (int p = 0; p < 7; ++p, at += 8) {
        PutCodes(at, c1);
        PutCodes(at + 4, c2);
    }
    return 1;
}

int Method4ToPPG3Packet(int slot, unsigned short seq, unsigned char* packet) {
    const Codes c = Method4Codes(slot, Top());
    unsigned char* at = Header(packet, 14, 48, seq);
    for (int p = 0; p < 4; ++p, at += 12) {
        PutCodes(at, c);
        PutCodes(at + 4, c);
        PutCodes(at + 8, c);
    }
    return 1;
}

int Method5ToPPGPacket(int slot, unsigned short seq, unsigned char* packet) {
    const int top = Top();
    const PPG_WAVEFORM& w = g_PPGCalibrationWaveform[slot];
    unsigned char* at = Header(packet, OneChannelMode(slot), 56, seq);
    for (int p = 0; p < 14; ++p, at += 4) {
        Method5Sample(highLevel, g_nPlayCounter[0], w, top, at);
    }
    return 1;
}

int Method5ToPPGExPacket(unsigned short seq, unsigned char* packet) {
    const int top = Top();
    unsigned char* at = Header(packet, 6, 56, seq);
    for (int p = 0; p < 7; ++p, at += 8) {
        Method5Sample(highLevelCh1, g_nPlayCounter[0], g_PPGCalibrationWaveform[0], top, at);
        Method5Sample(highLevelCh2, g_nPlayCounter[1], g_PPGCalibrationWaveform[1], top, at + 4);
    }
    return 1;
}

// ---- Send functions ----------------------------------------------------------------------

int BuildCalibrationBatch(int method, int& seq, int count, int& more, unsigned char* batch) {
    if (count > kBatchPackets) {
        count = kBatchPackets;
    }
    memset(batch, 0, static_cast<size_t>(count > 0 ? count : 0) * kPacket);
    more = 1;
    int built = 0;
    CAutoCriticalSection lock(g_CalibrationStreamLock);
    while (built < count) {
        const int r = Build(method, GetOperatorMode(), static_cast<unsigned short>(seq), batch + built * kPacket);
        if (r < 0) {
            more = 0;  // a mode the method lacks: this packet is not part of the batch
            break;
        }
        ++built;
        seq = NextStreamSequence(static_cast<unsigned short>(seq));
        if (r == 0) {
            more = 0;
            break;
        }
    }
    return built;
}

int CalibrationMethod2SendPacket(int& seq, int count, int& more) { return Send(2, seq, count, more); }

int CalibrationMethod3SendPacket(int& seq, int count, int& more) { return Send(3, seq, count, more); }

int CalibrationMethod4SendPacket(int& seq, int count, int& more) { return Send(4, seq, count, more); }

int CalibrationMethod5SendPacket(int& seq, int count, int& more) { return Send(5, seq, count, more); }
