// The stream packets of a playback run: 64 bytes each, a header and as many consecutive
// output samples as the operator mode's channel set fits, each sample a run of big-endian
// 16-bit DAC words (per channel its DC word, then its AC word).
//
//   byte 0     0x01
//   byte 1     the operator mode (low byte of g_nOperatorMode)
//   bytes 2-4  0
//   byte 5     counted sample bytes: samples x bytes per sample (at most 56)
//   bytes 6-7  sequence number, big-endian (0..65499; the sender wraps it)
//   bytes 8-63 the samples; past the counted ones the packet stays as handed in, except
//              that the sample at which a stream ended is written but not counted
//
// Owns: the eight builders and the mode table. Pure computation on the engine state of
// PlaybackState.h: each builder evaluates the channels (Signal.h) at g_nCurrent, advances
// g_nCurrent per sample, runs the drift trim and the reload rules (so it may move cycle
// offsets and live rates, and end the stream), and updates g_bPlayIsApnea (not in mode
// 17). Called by the producer holding the interrupt lock.
//
// Builder contract. Each takes the packet's sequence number and a zero-filled 64-byte
// packet and answers
//    1  the packet is full;
//    0  the stream ended inside it: it holds at least one counted sample (byte 5 says how
//       many bytes) and is the stream's last packet;
//   -1  the stream ended before the first sample counted: the packet carries nothing to
//       play. The sender must not write it and it takes no sequence number (the next
//       packet, if any, reuses seq).
// After 0 or -1 the data have ended; the sender builds no further packet.
#pragma once

#include <cstdint>

constexpr int kStreamPacketSize = 64;
constexpr int kStreamPacketHeaderSize = 8;
constexpr int kStreamPacketPayloadMax = 56;
constexpr unsigned short kStreamSequenceModulo = 65500;  // 65499 is followed by 0

// The next sequence number after seq (65499 wraps to 0).
unsigned short NextStreamSequence(unsigned short seq);

// The layout of an operator mode's stream: samples per packet and bytes per sample; both
// 0 for a mode without a stream (0, 8, above 17).
struct StreamLayout {
    int samplesPerPacket;
    int bytesPerSample;
};
StreamLayout GetStreamLayout(int mode);

// Mode 1: ECG DC (with the pacing pulse while g_bPacingEnable), ECG AC.
int ToECGPacket(unsigned short seq, unsigned char* packet);
// Modes 2, 4, 16: one PPG channel (0..2), DC then AC (calibration index = channel).
int ToPPGPacket(int channel, unsigned short seq, unsigned char* packet);
// Modes 3, 5, 9: ECG, then one PPG channel (calibration index = channel).
int ToECGAndPPGPacket(int channel, unsigned short seq, unsigned char* packet);
// Modes 6, 10, 12: two PPG channels (calibration index = slot 0, 1).
int ToPPGExPacket(int channelA, int channelB, unsigned short seq, unsigned char* packet);
// Modes 7, 11, 13: ECG, then two PPG channels (calibration index = slot 0, 1).
int ToECGAndPPGExPacket(int channelA, int channelB, unsigned short seq, unsigned char* packet);
// Mode 14: PPG 3, PPG 1, PPG 2 (calibration index = slot 0, 1, 2).
int ToPPG3Packet(unsigned short seq, unsigned char* packet);
// Mode 15: ECG, then PPG 3, PPG 1, PPG 2 (calibration index = slot 0, 1, 2).
int ToECGAndPPG3Packet(unsigned short seq, unsigned char* packet);
// Mode 17: ECG DC, ECG AC (apnea never applied), the three amplitude words of the
// external-respiration module for the resistance at n (zero words when the module's
// model gives none), the module's baseline word.
int ToECGAndExternalRespirationPacket(unsigned short seq, unsigned char* packet);

// The builder of the current operator mode (g_nOperatorMode) with its channels, as the
// sender picks it. A mode without a stream builds nothing and answers -1.
int BuildStreamPacket(unsigned short seq, unsigned char* packet);
