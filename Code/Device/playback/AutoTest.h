// The auto-test sequencer: a list of timed test items (generated waveforms or waveform
// files) played one after another on one instrument-paced stream, in operator mode 15
// when the PPG module has a channel 3, else 7, at 10000 samples per second. Items change
// inside the packet builders, at sample granularity, on the play thread.
//
// Owns: the setting, the item list, the play position and the per-channel inversion and
// reload flags. The adders, the clear and the setting run under g_CriticalSection; the
// start also takes g_PlayRawCriticalSection; item changes run on the play thread under
// g_InterruptCriticalSection, and every item load holds g_DataCriticalSection. The play
// thread never waits for g_CriticalSection: the control-block update of an ECG item
// that changes on it is left pending and runs at the end of a send turn in which the
// global lock can be taken without waiting.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/nvs300.h"

// Longest waveform-file path kept, terminating NUL included.
constexpr size_t kAutoTestPathSize = 260;

struct PLAY_ALL_ITEM_ECG {
    int32_t bEnable;
    ECG_WAVEFORM Waveform;
};
// The PPG entry's record sits in a slot as large as an ECG record.
struct PLAY_ALL_ITEM_PPG {
    int32_t bEnable;
    union {
        PPG_WAVEFORM Waveform;
        unsigned char slot[sizeof(ECG_WAVEFORM) > sizeof(PPG_WAVEFORM) ? sizeof(ECG_WAVEFORM) : sizeof(PPG_WAVEFORM)];
    };
};

struct PLAY_ALL_ITEM {
    int32_t nDuration;  // s
    int32_t nPPGDelay;  // ms behind the ECG beat
    int32_t bPlayRaw;   // a waveform-file item
    PLAY_ALL_ITEM_ECG ECG;
    PLAY_ALL_ITEM_PPG PPG[3];
    char szFilePath[kAutoTestPathSize];
};

// Stores the setting whole (null: nothing).
void PlayRawSetSetting(AUTO_TEST_SETTING* setting);
AUTO_TEST_SETTING PlayRawGetSetting();
// Empties the list (play index 0). A running auto test is stopped first.
void PlayRawAutoTestClearAll();
// Append a zero-filled item and answer the new count. A running auto test is stopped
// first. A negative duration appends nothing; so does a null path or one of
// kAutoTestPathSize characters or more.
size_t PlayRawAutoTestAddItemECGAndPPGEx(int duration, int delay, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                         PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);
size_t PlayRawAutoTestAddItemPlayRaw(int duration, const char* path);
size_t PlayRawAutoTestItemCount();

// Starts a run of the list. 1 when the play (or simulation) thread started; 0 for an
// empty list, a refused pacing switch, an item 0 that does not load, or a refused
// operator mode (nothing runs then).
int PlayRawAutoTestStartOutput(PFN_SAMPLE_CALLBACK ecg, PFN_SAMPLE_CALLBACK ppg1, PFN_SAMPLE_CALLBACK ppg2,
                               PFN_SAMPLE_CALLBACK ppg3);

// The position and flags of a new run (item 0, inversion from the setting, indices 0),
// then item 0 loaded: the start's steps before the operator mode. 1 when item 0 loaded.
int PrepareAutoTestRun();

// Loads the item into the channel sources and extras under g_DataCriticalSection. 1 when
// loaded; 0 for a file item whose file cannot be read, or a failed source load. A channel
// that is not loaded is silent and off.
int LoadPlayAllItem(PLAY_ALL_ITEM* item, PLAY_ALL_ITEM* previous);

// The builders (mode 7: four 12-byte samples; mode 15: three 16-byte samples, PPG 3
// first): 1 full, 0 the sequence ended inside the packet, -1 it ended before its first
// counted sample.
int ToECGAndPPGExPacketByAutoTest(unsigned short seq, unsigned char* packet);
int ToECGAndPPG3PacketByAutoTest(unsigned short seq, unsigned char* packet);
// The send function of an auto-test run (the contract of PFN_SEND_PACKET).
int AutoTestSendPacket(int& seq, int count, int& more);

// Play position, for tests: the playing item and the index at which it began.
uint64_t AutoTestPlayIndex();
uint64_t AutoTestPlayLastCount();
// Back to the load-time state (tests).
void ResetAutoTestState();
