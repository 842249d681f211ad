// ROM bytes and the standalone-mode slots (family 0xEA, sub-command 07).
//
// The instrument plays a stored waveform without a host from one of three slots. The
// slot's mode type lives in the instrument's ROM, a small byte store: ROM address 1, 2
// or 3 holds the type of slot 1, 2 or 3. A slot is stored by sending the waveform
// settings and one raw period of the ECG and of each PPG channel the type uses, then the
// device control block, and last the type byte to the slot's ROM address, so a store that
// fails on the way leaves the slot's old type in place. It is read back by reading that
// ROM byte first, then the control block and the settings.
//
// The ROM read answers one request late: the reply to a read carries, in byte 5, the
// byte that the read before it asked for. ReadFromROM therefore reads the address, then
// address 0, and takes the value from the second reply.
//
// Slot types and the records a slot operation needs:
//   1 ECG                          ECG
//   2 PWV, one PPG channel         ECG, PPG 1 (with a transit time)
//   3 SpO2, two channels           PPG 1, 2
//   4 PPG, one channel             PPG 1
//   5 PPG, two channels            PPG 1, 2
//   6 PWV, two PPG channels        ECG, PPG 1, 2 (with a transit time)
//   7 PWV, three PPG channels      ECG, PPG 1, 2, 3 (with a transit time)
//   8 SpO2, three channels         PPG 1, 2, 3
//   9 PPG, three channels          PPG 1, 2, 3
// Types 3 and 5 (and 8 and 9) store the same records and differ only in the type byte.
//
// Results of the slot operations (StandaloneResult). ReadStandaloneModeType gives the
// stored byte as it is (0xFF for a slot never written), or 10.
//
// Choices where the instrument leaves the meaning open:
//   - a read-back ECG record gets nRespirationMode 0x80 (external respiration) when
//     control-block byte 5 is 0xFF, else 0; PPG records get byte 5 as stored (0 or 0xFF);
//   - a type outside 1 to 9 needs no record but has nothing to store either: refused
//     with 3, nothing sent;
//   - the PWV types (2, 6, 7) need nRRInterval > 0 (after normalisation) for the PPG
//     delay: otherwise refused with 3, nothing sent.
//
// Owns: the ROM access and the slot operations (exchanges), and the pure pieces they are
// built from. Callers stop every output first and hold g_CriticalSection; no lock is
// taken and no thread started here. WriteToROM waits up to about 16 s for the instrument
// to answer again after a ROM write.
#pragma once

#include <cstdint>

#include "api/nvs300.h"
#include "protocol/ControlBlock.h"

enum StandaloneResult {
    STANDALONE_DONE = 0,
    STANDALONE_NO_INSTRUMENT = 1,
    STANDALONE_EXCHANGE_FAILED = 2,
    STANDALONE_BAD_ARGUMENT = 3,  // slot outside 1..3, type outside 1..9, missing record, RR <= 0
    STANDALONE_OTHER_TYPE = 4,    // read only: the slot holds another type
};
constexpr int kStandaloneTypeUnknown = 10;  // ReadStandaloneModeType: no type could be read

// One ROM read request: the reply's byte 5 goes to value (when a whole reply came); true
// when the reply is 0xEA with byte 3 = 0xFF.
bool DoReadFromROM(int address, unsigned char* value);
// The ROM byte at address: a read of the address, then up to three reads of address 0,
// 10 ms apart, the first accepted one delivering the value.
bool ReadFromROM(int address, unsigned char* value);
// Writes value at address, waits for the instrument to answer a read of the address (up
// to 80 tries, 200 ms after each refused one), then reads it back; true when the byte
// read back is value.
bool WriteToROM(int address, unsigned char value);

int ReadStandaloneModeType(int slot);
// Stores the records the type needs (others are not looked at). The records are changed in
// place: the stored setting carries the caller's values (with the chosen sample rate), the
// raw period the normalised ones.
int WriteWaveformToStandaloneMode(int slot, unsigned char type, int transitTime, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                  PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);
// Fills the records the type needs from the slot; transitTime may be null. On code 2 the
// records may be partly filled; on 4 they are untouched.
int ReadWaveformFromStandaloneMode(int slot, unsigned char type, int* transitTime, ECG_WAVEFORM* ecg,
                                   PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);

// ---- Pure pieces (no port) -------------------------------------------------------------

// What a type carries: the ECG record, the number of PPG channels (1 to count), a transit
// time. Types outside 1..9 carry nothing (valid false).
struct StandaloneKind {
    bool valid = false;
    bool ecg = false;
    int ppgChannels = 0;
    bool transitTime = false;
};
StandaloneKind StandaloneKindOf(int type);

// The PPG delay of the PWV types: (transitTime - time1 + rr) modulo rr taken as the
// mathematical modulo, in [0, rr), computed in 64 bits; 0 when rr <= 0.
int StandalonePPGDelay(int transitTime, int time1, int rr);

// The control block of a slot without ECG: sample rate and fraction of the first PPG
// record, no pacing fields, the default pacing period, byte 5 from its respiration mode.
void FillStandalonePPGBlock(const PPG_WAVEFORM& ppg1, _DEVICE_CONTROL_SETTING& block);

// The pacing rate a stored block reads back as: 2400000 / the pacing period limited to
// 30..300 when pacing is on (byte 4 non-zero) and the period is non-zero, else 60.
int StandalonePacingRate(const _DEVICE_CONTROL_SETTING& block);
