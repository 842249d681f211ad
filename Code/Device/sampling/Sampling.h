// Decoding of the photodiode and switch stream: one 64-byte 0xAD packet into calls of
// the host's sampling callbacks. Pure: everything the mapping needs comes in a snapshot
// (SamplingMap) that the sampling thread takes under g_CriticalSection for each read,
// so the decoder never reads the calibration tables, the ratios or the model while a
// host thread changes them.
//
// Packet: byte 0 0xAD, byte 3 status (0xFF), byte 4 mode (ADC channel mask, 0 marks the
// end of the stream), byte 5 payload length, bytes 6-7 sequence number (big-endian),
// bytes 8-63 payload of records. Values are big-endian 16-bit raw measurements, counts
// one byte (consecutive samples with that value).
//
// Owns: nothing here; CSampling's operations are static. The sampling state (callbacks,
// thread handle) belongs to SamplingControl.cpp (SamplingState.h).
#pragma once

#include "api/nvs300.h"

struct _DEVICE_CONTROL_SETTING;

constexpr int kSamplingPayloadOffset = 8;
constexpr int kSamplingPayloadCapacity = 56;  // bytes 8-63
constexpr int kSamplingTableEntries = 1024;
constexpr int kSamplingMaxRaw = 1023;
constexpr int kSamplingGapCode = 18;  // told to the error callback for a sequence gap

// What the mapping reads, copied under g_CriticalSection: the calibration tables of the
// selected PPG module's two photodiode channels (hasTable false: the module has no
// table or its slot is empty, and the identity min(raw, 1023) stands in), column 0 of
// the photodiode ratio rows 0 and 1, and whether the PPG model carries the FPGA
// photodiode path (0x2012, 0x2014, 0x2112: ratio scaling and switch inversion).
struct SamplingMap {
    bool fpga = false;
    float ratio[2] = {1.0f, 1.0f};
    bool hasTable[2] = {false, false};
    int table[2][kSamplingTableEntries];
};

// The models whose PPG side carries the FPGA photodiode path.
bool IsFPGAPhotodiodeModel(unsigned short ppgModel);

// A snapshot of the library's state for the mapping; hold g_CriticalSection.
void TakeSamplingMap(SamplingMap* map);

// What the thread does after one packet.
enum class SamplingStep {
    Continue,   // delivered (or skipped); read the next
    EndMode,    // a mode without records: the run event is reset, the thread ends next pass
    BadHeader,  // family byte or status wrong: the thread goes to its exit
};

// The sequence state of one run: the expected number of each mode 0..15 (all 0 at the
// start of a run).
struct SamplingSequence {
    unsigned short expected[16] = {};
};

// What one packet is checked and decoded against: the callbacks as they stood when the
// packet was read, the skip count and the error callback.
struct SamplingTargets {
    PFN_SAMPLING_CALLBACK data[4] = {};
    PFN_SAMPLING_ERROR_CALLBACK error = nullptr;
    int skip = 0;
};

class CSampling {
public:
    CSampling() = default;
    ~CSampling() = default;

    // The mapped photodiode value of raw on channel 0 (PD1) or 1 (PD2).
    static int GetSamplingPDData(int channel, int raw, const SamplingMap& map);
    // The mapped switch value (the channel is not used).
    static int GetSamplingSwitchData(int channel, int raw, const SamplingMap& map);

    // The decoders take the payload (packet byte 8 on, 56 bytes readable) and the
    // payload length of byte 5. A record is read only while it lies wholly inside
    // min(length, 56), except the first record of the merged modes 1, 2, 4 and 8, which
    // is read whatever the length.
    static void DoSamplingPD(int channel, PFN_SAMPLING_CALLBACK cb, const unsigned char* payload, int length,
                             const SamplingMap& map);  // modes 1, 2
    static void DoSamplingPD(PFN_SAMPLING_CALLBACK pd1, PFN_SAMPLING_CALLBACK pd2, const unsigned char* payload,
                             int length, const SamplingMap& map);  // mode 3
    static void DoSamplingSwitch(PFN_SAMPLING_CALLBACK cb, const unsigned char* payload, int length,
                                 const SamplingMap& map);  // modes 4, 8
    static void DoSamplingSwitch(PFN_SAMPLING_CALLBACK sw1, PFN_SAMPLING_CALLBACK sw2, const unsigned char* payload,
                                 int length, const SamplingMap& map);  // mode 12
    static void DoSamplingPDSwitch(int channel, PFN_SAMPLING_CALLBACK pd, PFN_SAMPLING_CALLBACK sw,
                                   const unsigned char* payload, int length,
                                   const SamplingMap& map);  // modes 5 (channel 0), 10 (channel 1)
    static void DoSamplingAll(const PFN_SAMPLING_CALLBACK callbacks[4], const unsigned char* payload, int length,
                              const SamplingMap& map);  // mode 15

    // Whether every bit of bits is set in mask.
    static bool IsModeEnabled(unsigned char mask, unsigned char bits);

    // Decodes a mode of the table with the callbacks its inputs use; false for a mode
    // that carries no records (0, 6, 7, 9, 11, 13, 14, above 15).
    static bool DecodePacketPayload(unsigned char mode, const PFN_SAMPLING_CALLBACK callbacks[4],
                                    const unsigned char* payload, int length, const SamplingMap& map);

    // Steps 4 to 7 of the thread's pass for one 64-byte packet: header check, skip,
    // decoding, sequence check (only with an error callback; the gap code is told once
    // and the packet's number becomes the expected one).
    static SamplingStep ProcessPacket(const unsigned char packet[64], const SamplingTargets& targets,
                                      SamplingSequence* sequence, const SamplingMap& map);

    // ---- Control and thread (SamplingControl.cpp) -------------------------------------
    static bool SetSamplingCallback(PPGSampling kind, PFN_SAMPLING_CALLBACK callback);
    static bool StartSampling(int skip, PFN_SAMPLING_ERROR_CALLBACK error);
    // Re-enables the photodiode inputs in the device control block on main hardware
    // below 5 and hands back (new) the block as it was; the caller deletes it. True with
    // a null copy on hardware 5 and above. False (null copy) when the read or the write
    // failed. Hold g_CriticalSection.
    static bool StartSamplingPreProcessing(_DEVICE_CONTROL_SETTING*& copy);
    static void* PDSamplingThread(void* copy);
    static bool IsRunning();
};

extern CSampling g_Sampling;
