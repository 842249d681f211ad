/*
 * The NVS300 device library: the one header a host includes.
 *
 * Every function that talks to the instrument returns true when the instrument accepted
 * the request and false otherwise, also when no instrument is connected; value getters
 * return 0 when the exchange fails. No exception crosses this interface.
 *
 * Functions declared inside the extern "C" block are exported under their plain names.
 * The factory and service functions further below keep C++ linkage: the Linux builds
 * export them under their decorated names, which encode the parameter types, so those
 * types must not change.
 */
#ifndef NVS300_H
#define NVS300_H

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#include <stdbool.h>
#endif

#if defined(_WIN32)
#ifdef NVS_BUILDING_LIBRARY
#define ORV_API __declspec(dllexport)
#else
#define ORV_API __declspec(dllimport)
#endif
#else
#define ORV_API __attribute__((visibility("default")))
#endif

/* ---- Host-facing records ---------------------------------------------------------- */

/* Record layouts are part of the binary interface: the library copies a host's record
 * whole, so the host must declare it exactly like this (the library checks the sizes and
 * offsets of every target at build time). */

/* A double that follows a 32-bit field directly, 4-aligned, on every target (the natural
 * layout on i386, where every double is 4-aligned). */
#if defined(__GNUC__) || defined(__clang__)
#define ORV_DOUBLE_ALIGN4 __attribute__((packed, aligned(4)))
#else
/* Other compilers (MSVC) cannot under-align one member: PPG_WAVEFORM is packed to 4 with
 * the one gap of its natural layout spelled out, and keeps its 8-byte alignment. */
#define ORV_DOUBLE_ALIGN4
#define ORV_PPG_WAVEFORM_PACKED
#endif

/* PPG channel number. In C++ its underlying type is int, so that any channel number a
 * host passes (also a wrong one, which the functions refuse) is a valid value. */
#ifdef __cplusplus
typedef enum PPGChannel : int {
#else
typedef enum PPGChannel {
#endif
    PPG_CHANNEL_1 = 1,
    PPG_CHANNEL_2 = 2,
    PPG_CHANNEL_3 = 3
} PPGChannel;

/* Sample callback of a channel: t in seconds since the output or run began (each channel
 * has its own clock); ac and dc in microvolts. The end marker is one further call with
 * ac = dc = 0x80000000. */
typedef void (*PFN_SAMPLE_CALLBACK)(double t, int ac, int dc);

/* Parameters of an ECG output. The library normalises its own copy (some play functions
 * write the rate fields into the caller's record). Natural alignment: 168 bytes on the
 * 64-bit targets and on 32-bit ARM, 160 on i386. */
typedef struct ECG_WAVEFORM {
    int32_t nWaveformType;     /* 0 sine, 1 triangle, 2 square, 3 rectangle pulse,
                                    4 triangle pulse, 5 exponential, 6 (and any other) ECG beat */
    double fFrequency;         /* Hz; one period lasts 1000 / fFrequency ms; heart rate
                                    60 x fFrequency per minute for the ECG beat */
    double fAmplitude;         /* mV: peak-to-peak (sine, triangle, square), height (pulses,
                                    exponential) or R-wave height (ECG beat) */
    double fTAmplitude;        /* mV, T-wave height */
    double fPAmplitude;        /* mV, P-wave height */
    double fSTLevel;           /* mV, ST-segment level */
    int32_t bVariableDCOffset; /* non-zero: nDCOffset goes through the DC DAC */
    int32_t nDCOffset;         /* mV: -1000..1000 (variable) or +-300 (fixed) */
    int32_t nRRInterval;       /* ms, beat period used by the beat timing and alignment */
    int32_t nPRInterval;       /* ms, P start to QRS start */
    int32_t nQRSWidth;         /* ms */
    int32_t nTWidth;           /* ms, 180 after normalisation */
    int32_t nQTInterval;       /* ms, QRS start to T end */
    int32_t nImpedance;        /* output-impedance selector */
    int32_t nElectrode;        /* electrode selector */
    int32_t nPulseWidth;       /* ms, rectangle and triangle pulses */
    double fNoiseAmplitude;    /* mV, 0..2 */
    int32_t nNoiseType;        /* 0 none, 1 50 Hz, 2 60 Hz, 3 100 Hz, 4 120 Hz */
    int32_t bPacingEnable;
    double fPacingAmplitude;             /* mV, -1000..1000 */
    double fPacingWidth;                 /* ms, 0..2 */
    int32_t nPacingRate;                 /* per minute, 10..300 */
    int32_t nRespirationMode;            /* 0 off; 1..15 bit mask (1 baseline, 2 amplitude, 4 rate);
                                    0x80 external respiration module */
    int32_t nRespirationAmplitude;       /* milliohms (external respiration) */
    int32_t nRespirationRate;            /* breaths per minute */
    int32_t nRespirationDepthOrRatio;    /* modes 1..15: depth in %; external: breath ratio */
    int32_t nRespirationRatioOrBaseline; /* modes 1..15: breath ratio; external: baseline ohms */
    int32_t nApneaDuration;              /* s */
    int32_t nApneaCycle;                 /* min */
    double fSampleRateKHz;               /* samples per ms of the generated period */
    int32_t nSampleFraction;             /* 1/1000 sample: fractional part of the period's length */
} ECG_WAVEFORM;

/* Parameters of one PPG channel's output. fSampleRateKHz is 4-aligned on every target:
 * 128 bytes with fSampleRateKHz at offset 116 on the 64-bit targets and 32-bit ARM,
 * 124 bytes on i386. */
#if defined(ORV_PPG_WAVEFORM_PACKED)
#pragma pack(push, 4)
typedef struct __declspec(align(8)) PPG_WAVEFORM {
#else
typedef struct PPG_WAVEFORM {
#endif
    int32_t nWaveformType; /* 0 sine, 1 triangle, 2 square, 3 PPG pulse (arcs),
                                    16 PPG pulse (lines), 255 constant level */
#if defined(ORV_PPG_WAVEFORM_PACKED)
    int32_t nReservedPad; /* the natural gap before fFrequency */
#endif
    double fFrequency;  /* Hz, pulse rate / 60 */
    double fDCLevel;    /* mV */
    double fAmplitude1; /* mV: AC span (sine, triangle, square), systolic peak (pulses) */
    double fAmplitude2; /* mV, level at the notch */
    double fAmplitude3; /* mV, diastolic peak */
    double fACOffset;   /* mV, added to every AC sample */
    int32_t nTime1;     /* ms, first peak */
    int32_t nTime2;     /* ms, notch */
    int32_t nTime3;     /* ms, second peak */
    int32_t nPeriod;    /* ms, beat period used by the ECG alignment */
    int32_t nSyncPulse; /* 1 or 2 */
    int32_t bInverted;
    double fNoiseAmplitude;                  /* mV, 0..2 */
    int32_t nNoiseType;                      /* 0 none, 1..14 */
    int32_t nRespirationMode;                /* bit mask: 1 baseline, 2 amplitude, 4 rate */
    int32_t nRespirationRate;                /* breaths per minute */
    int32_t nRespirationDepth;               /* percent, signed */
    int32_t nRespirationRatio;               /* breath ratio 1..5 */
    int32_t nApneaDuration;                  /* s */
    int32_t nApneaCycle;                     /* min */
    double fSampleRateKHz ORV_DOUBLE_ALIGN4; /* samples per ms of the generated period */
    int32_t nSampleFraction;                 /* 1/1000 sample */
} PPG_WAVEFORM;
#if defined(ORV_PPG_WAVEFORM_PACKED)
#pragma pack(pop)
#endif

/* One channel's sample stream for playback (natural alignment: 40 bytes on the 64-bit
 * targets, 32 on 32-bit ARM, 28 on i386). The caller owns the record and its arrays. */
typedef struct PLAY_RAW_DATA {
    double fSampleRate;            /* samples per second of both arrays */
    int32_t nSampleCount;          /* samples in each array */
    int32_t nSyncPulse;            /* low byte: the PPG channel's SyncPulse value */
    double* pACData;               /* AC component, mV */
    double* pDCData;               /* DC component, mV */
    PFN_SAMPLE_CALLBACK pCallback; /* the channel's sample callback, or null */
} PLAY_RAW_DATA;

/* An ECG sine sweep (natural alignment: 32 bytes on the 64-bit targets and 32-bit ARM,
 * 28 on i386). The frequency rises linearly from the first sample to the last, its phase
 * running on without a jump. */
typedef struct FREQUENCY_SCAN {
    double fAmplitude;      /* mV, peak to peak */
    double fStartFrequency; /* Hz, at the first sample */
    double fEndFrequency;   /* Hz, aimed at for the last sample; held at 500 Hz at most */
    int32_t nDuration;      /* s */
} FREQUENCY_SCAN;

/* A PPG sine sweep of one channel (natural alignment: 48 bytes on the 64-bit targets and
 * 32-bit ARM, 40 on i386). */
typedef struct FREQUENCY_SCAN2 {
    double fAmplitude;      /* mV, peak to peak: the AC spans 0 .. fAmplitude */
    double fDCLevel;        /* mV, DC of every sample */
    int32_t nSyncPulse;     /* low byte: the channel's SyncPulse value */
    double fStartFrequency; /* Hz */
    double fEndFrequency;   /* Hz; held at 500 Hz at most */
    int32_t nDuration;      /* s */
} FREQUENCY_SCAN2;

/* The auto test's setting (8 bytes on every target); {1, 1} at load. */
typedef struct AUTO_TEST_SETTING {
    int32_t nSyncPulse;   /* low byte: the SyncPulse value sent for all three PPG channels */
    int32_t bPPGInverted; /* non-zero: every PPG channel of every item plays inverted */
} AUTO_TEST_SETTING;

/* One module's model record (natural alignment, 24 bytes). */
typedef struct MODEL_INFORMATION {
    char cProductName[2];  /* product letters, not terminated */
    uint8_t ucGeneration;  /* model number, high byte */
    uint8_t ucModel;       /* model number, low byte */
    int32_t iSerialNumber; /* stored 16-bit serial number, sign-extended */
    int32_t nSerialPrefix; /* 0..255 */
    int32_t nLEDType[3];   /* LED type of PPG channels 1..3: 0, 1, 2, or 3 = no LED */
} MODEL_INFORMATION;

/* One module's versions: seven 32-bit fields (28 bytes). */
typedef struct HW_INFORMATION {
    int32_t nFWMajor;
    int32_t nFWMinor;
    int32_t nFWRevision; /* main module: the firmware revision; PPG side: 255 */
    int32_t nHWMinor;
    int32_t nHWMajor;
    int32_t nExtModuleVersionHigh; /* extension module (FPGA) of the PPG side; 0 when not read */
    int32_t nExtModuleVersionLow;
} HW_INFORMATION;

/* The instrument's capabilities, derived from the model numbers (80 bytes: the doubles
 * follow the six ints without padding on every target). All zero while no instrument
 * is connected, once one has been. */
typedef struct DEVICE_FEATURE {
    int32_t bSeparatePPGModule; /* the PPG side is a module of its own */
    int32_t nPPGModuleNumber;   /* PPG modules the main unit selects between */
    int32_t nFPGAType;
    int32_t nPPGChannelNumber;
    int32_t nFlag1;
    int32_t nFlag2;
    double fACMinimum; /* mV, smallest PPG AC amplitude */
    double fACMaximum; /* mV, largest PPG AC amplitude */
    double fDCMinimum; /* mV, smallest PPG DC level */
    double fDCMaximum; /* mV, largest PPG DC level */
    double fParam1;
    double fParam2;
    int32_t nParam1;
    int32_t nParam2;
} DEVICE_FEATURE;

/* A PPG LED pulse group (10 bytes). */
typedef struct PPG_LED_PULSE_GROUP_SETTING {
    uint8_t ucSlot[8]; /* LED lit per slot: 2 PPG channel 1, 4 channel 2, 1 channel 3, 0 none */
    uint16_t usPeriod; /* host order; 0: the group has no period */
} PPG_LED_PULSE_GROUP_SETTING;

/* A stored LED setting (32 bytes): opaque to the library, its contents are the host's. */
typedef struct PPG_LED_SETTING {
    uint8_t ucData[32];
} PPG_LED_SETTING;

/* Status of the automatic trigger level (10 bytes). */
typedef struct AUTO_TRIGGER_STATUS {
    uint8_t ucStatus[2];
    uint8_t ucFlags; /* bits 0 and 1 both set: no trigger levels were found */
    uint8_t ucReserved[3];
    uint16_t usLevel1; /* host order; 0 when no levels were found */
    uint16_t usLevel2;
} AUTO_TRIGGER_STATUS;

/* Sync-pulse setting of a PPG channel. */
typedef enum SyncPulse { SYNC_PULSE_1 = 1, SYNC_PULSE_2 = 2 } SyncPulse;

/* Ambient-light mode 0..14. */
#ifdef __cplusplus
typedef enum PPGAmbientLightMode : int {
#else
typedef enum PPGAmbientLightMode {
#endif
    PPG_AMBIENT_LIGHT_MODE_0 = 0,
    PPG_AMBIENT_LIGHT_MODE_14 = 14
} PPGAmbientLightMode;

/* Identifier of a numbered calibration setting of the PPG side (one byte on the wire;
 * any value may be used). A 16-bit setting travels low byte first; main firmware before
 * 1.15 takes only its low byte. */
#ifdef __cplusplus
typedef enum PPGCalibrationSetting : unsigned char {
#else
typedef enum PPGCalibrationSetting {
#endif
    PPG_CAL_LED_LEVEL_CH1 = 1,
    PPG_CAL_LED_LEVEL_CH2 = 2,
    PPG_CAL_TRIGGER_LEVEL_CH1 = 3,
    PPG_CAL_TRIGGER_LEVEL_CH2 = 4,
    PPG_CAL_LED_TRIGGER_STATUS = 5, /* read: trigger status bits; written: GPIO mode (0 enter, 1 leave) */
    PPG_CAL_PD_INPUT = 6,           /* photodiode input selection (0x10 ch 1, 0x20 ch 2) */
    PPG_CAL_WORKING_MODE = 7,
    PPG_CAL_SAMPLING_RANGE = 8, /* FF FF full range, FF FC the other */
    PPG_CAL_LED_MATRIX_ENABLE = 17,
    PPG_CAL_LED_LEVEL_CH3 = 18,
    PPG_CAL_TRIGGER_LEVEL_CH3 = 19,
    PPG_CAL_AC_RANGE0_CH1 = 21, /* 22, 23: channels 2, 3 */
    PPG_CAL_RATE_PARAM_CH1 = 25,
    PPG_CAL_RATE_PARAM_CH2 = 26,
    PPG_CAL_AC_RANGE1_CH1 = 38, /* 39, 40 */
    PPG_CAL_AC_RANGE2_CH1 = 41  /* 42, 43 */
} PPGCalibrationSetting;

/* The connection listener: true when an instrument was connected, false when it went
 * away. Called on the library's connection thread; it must not call ORVFree or
 * ORVConnect. */
typedef void (*PFN_CONNECT_LISTENER)(bool connected);

/* ---- Firmware burn and FPGA upgrade: blocks, progress and results ------------------- */

/* A block of the microcontroller's program memory that a firmware burn writes: block 0
 * from address 0x00000, 0x1E000 bytes (120 pages of 1024); block 1 from 0x3F000, one
 * page of 1024 bytes. */
#ifdef __cplusplus
typedef enum FlashBlock : int {
#else
typedef enum FlashBlock {
#endif
    FLASH_BLOCK_0 = 0,
    FLASH_BLOCK_1 = 1
} FlashBlock;

/* Progress of a firmware burn or an FPGA upgrade, called on the caller's own thread with
 * the library's lock held (it must not wait for another thread that calls the library).
 * Stages and their values:
 *   1 erase    burn: before each page, page offset x 100 / block length; then 100.
 *              upgrade: 0 once upgrade mode is entered, then 33, 66, 100 per sector.
 *   2 write    burn: before each chunk, chunk offset x 100 / image size; then 100.
 *              upgrade: after each acknowledged packet, image offset reached x 100 /
 *              0xB8000; then 100.
 *   3 verify   burn only: as the write stage.
 *   4 restart  99, just before the instrument is asked to restart.
 *   5 reconnect 100, after the 5 s wait for the restart.
 *   6 result   the result code; every update ends with exactly one such report. */
typedef void (*PFN_UPDATE_PROGRESS)(int stage, int value);
enum {
    ORV_UPDATE_STAGE_ERASE = 1,
    ORV_UPDATE_STAGE_WRITE = 2,
    ORV_UPDATE_STAGE_VERIFY = 3,
    ORV_UPDATE_STAGE_RESTART = 4,
    ORV_UPDATE_STAGE_RECONNECT = 5,
    ORV_UPDATE_STAGE_RESULT = 6
};

/* Result codes of the update functions (0 success). */
enum {
    ORV_UPDATE_OK = 0,
    ORV_UPDATE_NOT_PROVIDED = -1,       /* the MCU file functions have no body */
    ORV_UPDATE_BAD_REQUEST = -2,        /* refused before anything was sent: no, empty or
                                          oversized image, a block other than 0 and 1, or
                                          called from a library callback */
    ORV_UPDATE_NO_INSTRUMENT = -3,      /* no instrument answered at the start */
    ORV_UPDATE_NO_MEMORY = -4,          /* no memory for the image copy */
    ORV_UPDATE_WRITE_SHORT = -5,        /* an erase, write or data packet not written whole */
    ORV_UPDATE_NO_REPLY = -6,           /* an erase, write or data packet got no 64-byte reply */
    ORV_UPDATE_VERIFY_WRITE_SHORT = -7, /* a verify request not written whole */
    ORV_UPDATE_VERIFY_NO_REPLY = -8,    /* a verify request got no 64-byte reply */
    ORV_UPDATE_MISMATCH = -9,           /* bytes read back, or a sector's CRC-32, differ */
    ORV_UPDATE_RESTART_NOT_SENT = -10,  /* the restart byte was not written */
    ORV_UPDATE_NOT_FOUND_AGAIN = -11,   /* the instrument was not found after its restart */
    ORV_UPDATE_MODE_REFUSED = -14,      /* FPGA upgrade mode refused or not answered */
    ORV_UPDATE_CONTROL_REFUSED = -15,   /* an FPGA erase or sector selection refused */
    ORV_UPDATE_PACKET_REFUSED = -16,    /* an FPGA data packet still refused after 10 resends */
    ORV_UPDATE_IMAGE_FILE = -17         /* the FPGA image file is missing, unreadable or short */
};
/* Photodiode sampling kind: the input whose measurements a sampling callback hears. In
 * C++ its underlying type is int, so that any kind a host passes is a valid value (the
 * library refuses those outside 0..3). */
#ifdef __cplusplus
typedef enum PPGSampling : int {
#else
typedef enum PPGSampling {
#endif
    PPG_SAMPLING_PD1 = 0, /* photodiode 1 */
    PPG_SAMPLING_PD2 = 1, /* photodiode 2 */
    PPG_SAMPLING_SW1 = 2, /* switch 1 */
    PPG_SAMPLING_SW2 = 3  /* switch 2 */
} PPGSampling;

/* Sampling callback of one input: a mapped value 0..65535 (photodiode values through the
 * module's calibration table, 0..1023) and the number of consecutive samples with it.
 * Called on the library's sampling thread. */
typedef void (*PFN_SAMPLING_CALLBACK)(int value, int count);
/* Told of a gap in the stream's packet numbers (code 18); sampling carries on. */
typedef void (*PFN_SAMPLING_ERROR_CALLBACK)(int code);
/* The location of the device under test that the FPGA photodiode reports give: -1, -2,
 * or 0..100. */
typedef void (*PFN_DUT_DETECTION_CALLBACK)(int location);
/* A mean FPGA photodiode report (FPGA_PD_REPORT*), valid only during the call. */
typedef void (*PFN_FPGA_SAMPLING_CALLBACK)(void* report);

/* One FPGA photodiode report (144 bytes on every target). In a mean report of five polls
 * the signals are the fraction of polls that had the bit set and the levels the means. */
typedef struct FPGA_PD_REPORT {
    double fSignal[6];  /* signal bits 5..0 of the report: 0.0 or 1.0, or a fraction */
    double fLevel1[3];  /* first 12-bit level of groups 0..2 */
    double fLevel2[3];  /* second 12-bit level of groups 0..2 */
    double fScaled1[3]; /* fLevel1 x photodiode ratio row 0 (mean reports only, else 0) */
    double fScaled2[3]; /* fLevel2 x photodiode ratio row 1 (mean reports only, else 0) */
} FPGA_PD_REPORT;

/* ---- Exported functions (plain names) ---------------------------------------------- */
#ifdef __cplusplus
extern "C" {
#endif

/* -- Connection -- */

/* Starts the connection handling: the library's connection thread scans every port for
 * the instrument, tells the listener of each connection (true) and disconnection (false)
 * and reconnects by itself. Returns at once: true when the connection thread runs. A
 * second call keeps the running thread and replaces the listener. */
ORV_API bool ORVInit(PFN_CONNECT_LISTENER listener);
/* Connects to the instrument on port (/dev/ttyACM<port>; macOS: the number after
 * /dev/cu.usbmodem; 0xFFFFFFFF: the first found)
 * and waits at most timeout ms for it. True when connected; on time-out the connection
 * handling is ended (ORVFree) and the result is false. Already connected on that port
 * (or any port for 0xFFFFFFFF): true at once. Later disconnections are not reported. */
ORV_API bool ORVConnect(unsigned int port, unsigned int timeout);
/* Ends the connection handling: stops every output, closes the port (the listener hears
 * false first when an instrument was connected) and ends the connection thread, which
 * may take up to a port scan and one second. Nothing happens when idle. Call it before
 * unloading the library. */
ORV_API void ORVFree(void);

/* -- Device information and control settings -- */

/* Copies of the records read when the instrument was connected (all zero when none is).
 * The PPG variants give the main module's record when the PPG side is not a module of
 * its own. False only for a null pointer. */
ORV_API bool ORVGetDeviceInformation(MODEL_INFORMATION* info);
ORV_API bool ORVGetPPGDeviceInformation(MODEL_INFORMATION* info);
ORV_API bool ORVGetHWInformation(HW_INFORMATION* info);
ORV_API bool ORVGetPPGHWInformation(HW_INFORMATION* info);
/* Serial-number text such as "ONV1001-030042" (letters, model, prefix, serial number);
 * the empty string when no instrument is connected. The buffer is the library's: it
 * stays valid and is overwritten by the next call. */
ORV_API char* ORVGetSerialNumber(void);
ORV_API char* ORVGetPPGSerialNumber(void);
/* The library's version a.b.c.d as a << 24 | b << 16 | c << 8 | d. */
ORV_API int ORVGetVersion(void);
/* Right-leg drive on (true) or off; the two right-leg-drive levels in volts. */
ORV_API bool ORVEnableRLD(bool enable);
ORV_API bool ORVReadRLD(double* level1, double* level2);
/* Host-side flag of the PPG normalisation: the AC part rides above the DC level. */
ORV_API void ORVEnableACAboveDC(bool enable);
/* Output path: non-zero switches impedance, electrode and pacing on, zero off.
 * Respiration: 128 switches the external respiration on, anything else off. DC offset:
 * 0, 300 or -300 mV only, and only on hardware up to 8.1 (false otherwise, nothing sent). */
ORV_API bool ORVDeviceEnableImpedance(int enable);
ORV_API bool ORVDeviceSetElectrode(int electrode);
ORV_API bool ORVDeviceSetDCOffset(int millivolts);
ORV_API bool ORVDeviceEnablePacing(int enable);
ORV_API bool ORVDeviceEnableRespiration(int mode);

/* -- LEDs, ambient light and PPG module -- */

/* The PPG LED pulse group. False for a null pointer. */
ORV_API bool ORVReadLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* setting);
ORV_API bool ORVWriteLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* setting);
/* Ambient-light mode 0..14 (the getter gives 0 when the exchange fails). */
ORV_API int ORVGetLEDAmbientLightMode(void);
ORV_API bool ORVSetLEDAmbientLightMode(PPGAmbientLightMode mode);
/* Transmission-rate mode 0..5 (clamped), with the rate values stored in the instrument. */
ORV_API bool ORVConfigureTransmissionRate(int mode);
ORV_API bool ORVEnableDynamicLEDStrength(bool enable);

/* -- Standalone mode -- */

/* The instrument keeps three slots (1..3) of waveforms that it plays without a host. Each
 * function first stops every output (ORVStopOutputWaveform), so none may be called from a
 * sample callback. Results:
 *   0 done; 1 no instrument connected; 2 an exchange with the instrument failed (a store
 *   leaves what was sent, and the slot keeps its old type; a read may leave the records
 *   partly filled); 3 slot outside 1..3, a record the kind needs is null, or (PWV kinds)
 *   the ECG record's nRRInterval is 0 or less, nothing sent; 4 (readers) the slot holds
 *   another kind, records untouched.
 * Slot kinds, the byte ORVReadStandaloneModeType gives: 1 ECG, 2 PWV (ECG and PPG 1),
 * 3 SpO2 (PPG 1, 2), 4 PPG (PPG 1), 5 PPGEx (PPG 1, 2), 6 PWVEx (ECG, PPG 1, 2), 7 PWV
 * with three PPG channels, 8 SpO2 with three, 9 PPG with three. The PWV kinds carry the
 * time difference: ms the PPG pulse follows the ECG peak.
 * Writers copy the records (the host's are not changed); the stored setting carries the
 * values given, the stored period the normalised ones. Readers fill the host's records:
 * an ECG record gets nImpedance, nElectrode, bPacingEnable (0xFF on: pacing or a variable
 * DC offset), nPacingRate (60 when pacing is off) and nRespirationMode (0x80 when the
 * external respiration was on, else 0); each PPG record gets nRespirationMode 0xFF when
 * the external respiration was on, else 0. A read also sets the instrument's ambient-light
 * mode to the one stored with the slot. A null time-difference pointer is allowed. */

/* The kind stored in the slot (0xFF for a slot never written), or 10 when no instrument
 * is connected, the slot is outside 1..3 or the read fails. */
ORV_API int ORVReadStandaloneModeType(int slot);
ORV_API int ORVReadECGModeFromStandaloneMode(int slot, ECG_WAVEFORM* ecg);
ORV_API int ORVWriteECGModeToStandaloneMode(int slot, ECG_WAVEFORM* ecg);
ORV_API int ORVReadPWVModeFromStandaloneMode(int slot, int* timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg);
ORV_API int ORVWritePWVModeToStandaloneMode(int slot, int timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg);
ORV_API int ORVReadPWVModeExFromStandaloneMode(int slot, int* timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                               PPG_WAVEFORM* ppg2);
ORV_API int ORVWritePWVModeExToStandaloneMode(int slot, int timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                              PPG_WAVEFORM* ppg2);
ORV_API int ORVReadPWVModePPG3FromStandaloneMode(int slot, int* timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                                 PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);
ORV_API int ORVWritePWVModePPG3ToStandaloneMode(int slot, int timeDifference, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                                PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);
ORV_API int ORVReadSPO2ModeFromStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2);
ORV_API int ORVWriteSPO2ModeToStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2);
ORV_API int ORVReadSPO2ModePPG3FromStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);
ORV_API int ORVWriteSPO2ModePPG3ToStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);
ORV_API int ORVReadPPGModeFromStandaloneMode(int slot, PPG_WAVEFORM* ppg);
ORV_API int ORVWritePPGModeToStandaloneMode(int slot, PPG_WAVEFORM* ppg);
ORV_API int ORVReadPPGModeExFromStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2);
ORV_API int ORVWritePPGModeExToStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2);
ORV_API int ORVReadPPGModePPG3FromStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);
ORV_API int ORVWritePPGModePPG3ToStandaloneMode(int slot, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);

/* -- External respiration -- */

/* External-respiration module: the baseline request (index 0..11 and a second byte),
 * then the module's baseline DAC word from the stored baseline table. */
ORV_API bool ORVExternalRespiratorySetBaseline(int baseline, int second);

/* -- Simulated output -- */

/* The instrument generates a parametric waveform itself while the library computes the
 * same signal on the host and calls each channel's sample callback once per simulated
 * millisecond, in bursts of 20 every 20 ms, on the library's output thread, with no lock
 * held. Every start first stops whatever output runs (ORVStopOutputWaveform); it returns
 * true when the output runs. Without an instrument nothing is sent and only the callbacks
 * are produced. A callback may be null. After the stop every callback that was set gets
 * one end marker. A callback must not stop the output nor call a function that talks to
 * the instrument: the stop holds the library's lock while it waits for the output thread.
 * The library works on copies of the records, except that ORVOutputPPGEx on PPG model
 * 0x2112 scales the caller's two records into one AC range. */

/* ECG alone. False for a null record or a failed upload. */
ORV_API bool ORVOutputECG(ECG_WAVEFORM* ecg, PFN_SAMPLE_CALLBACK ecgCallback);
/* ECG with PPG channel 1; pttMs: ms the PPG peak follows the ECG peak. */
ORV_API bool ORVOutputECGAndPPG(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg, PFN_SAMPLE_CALLBACK ecgCallback,
                                PFN_SAMPLE_CALLBACK ppgCallback);
/* ECG with PPG channels 1 and 2; a null PPG record leaves its channel out. */
ORV_API bool ORVOutputECGAndPPGEx(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2,
                                  PFN_SAMPLE_CALLBACK ecgCallback, PFN_SAMPLE_CALLBACK ppg1Callback,
                                  PFN_SAMPLE_CALLBACK ppg2Callback);
/* ECG with PPG channels 1 to 3; a channel whose LED the pulse group does not light is
 * output but not simulated (its callback is not called). */
ORV_API bool ORVOutputECGAndPPG3(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2,
                                 PPG_WAVEFORM* ppg3, PFN_SAMPLE_CALLBACK ecgCallback, PFN_SAMPLE_CALLBACK ppg1Callback,
                                 PFN_SAMPLE_CALLBACK ppg2Callback, PFN_SAMPLE_CALLBACK ppg3Callback);
/* One PPG channel (any channel other than 1 to 3 is channel 1). */
ORV_API bool ORVOutputPPG(int channel, PPG_WAVEFORM* ppg, PFN_SAMPLE_CALLBACK ppgCallback);
/* PPG channels 1 and 2; a null record leaves its channel out. */
ORV_API bool ORVOutputPPGEx(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PFN_SAMPLE_CALLBACK ppg1Callback,
                            PFN_SAMPLE_CALLBACK ppg2Callback);
/* PPG channels 1 to 3. Where the PPG side simulates channel 3, a channel that the pulse
 * group does not light is not simulated, and a lit channel without a record makes the
 * call fail with no output running. */
ORV_API bool ORVOutputPPG3(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3, PFN_SAMPLE_CALLBACK ppg1Callback,
                           PFN_SAMPLE_CALLBACK ppg2Callback, PFN_SAMPLE_CALLBACK ppg3Callback);
/* The common stop: ends the output (each set callback gets its end marker before this
 * returns), stops any playback, turns dynamic LED strength off and restores the default
 * transmission rates. Does nothing harmful when nothing runs. Windows: a callback that
 * has not returned 3 s after the stop began is left to return alone; the stop then
 * returns without the end markers, and no callback of that output starts afterwards.
 * The next output start waits for that callback to return; one called from a library
 * callback returns false instead. */
ORV_API void ORVStopOutputWaveform(void);

/* -- Photodiode sampling -- */
/* The library runs at most one sampling thread (the photodiode stream or the FPGA report
 * poller); every start first ends the one that runs. Callbacks run on that thread and
 * may call ORVDisableSampling (the sampling then ends once the callback returns), but
 * must not start sampling (such a start returns false). The end of a sampling clears
 * its callbacks, so a host sets them again before every start. */

/* Stores the callback of one input; a null callback switches the input off. Sends
 * nothing; takes effect at the next start. False, nothing stored, for a kind outside
 * 0..3. */
ORV_API bool ORVEnableSampling(PPGSampling kind, PFN_SAMPLING_CALLBACK callback);
/* ORVStartSamplingEx(0, error). */
ORV_API bool ORVStartSampling(PFN_SAMPLING_ERROR_CALLBACK error);
/* Ends the sampling thread and returns once it has ended (from a sampling callback: asks
 * for the end and returns). Returns at once when none runs. */
ORV_API void ORVDisableSampling(void);
/* Detection of the device under test from the FPGA photodiode reports: five polls about
 * 100 ms apart give one mean report, whose location the callback hears. Sends nothing to
 * start. False (any sampling stopped, nothing started) for enable false or a null
 * callback. */
ORV_API bool ORVEnableDUTSignalDetection(bool enable, PFN_DUT_DETECTION_CALLBACK callback);
/* -- Playback -- */

/* The instrument plays a sample stream that the library sends, paced by the instrument's
 * data requests; the library computes the same samples and calls each channel's sample
 * callback from its reporter thread (t in seconds since the run began, ac and dc in
 * microvolts; one end marker per callback after the run). Without an instrument the
 * stream is simulated and only the callbacks are produced. A run lasts until
 * ORVStopPlayRawData, the common stop, another start, or with looping off the end of its
 * data. Records are checked first: a refused record returns false with nothing stopped.
 * PLAY_RAW_DATA entries need a positive count and both arrays; a null entry of the
 * 3-channel functions is an absent channel. */

/* Waveform player: the host's own arrays. Each runs the common stop first. The PPG
 * channel argument is 1..3 (other values are channel 1); the engine plays ECG with PPG
 * channel 1 or 2 only. The 3-channel forms need a PPG side with channel 3 and, where the
 * pulse group decides (ECG with three PPG; PPG alone when channel 3 is simulated), drop
 * the channels it does not light and refuse a lit channel without a valid record (also
 * when the pulse group cannot be read from a connected instrument). */
ORV_API bool ORVWaveformPlayerOutputECG(PLAY_RAW_DATA* ecg);
ORV_API bool ORVWaveformPlayerOutputECGAndPPG(PLAY_RAW_DATA* ecg, int channel, PLAY_RAW_DATA* ppg);
ORV_API bool ORVWaveformPlayerOutputECGAndPPGEx(PLAY_RAW_DATA* ecg, PLAY_RAW_DATA* ppg1, PLAY_RAW_DATA* ppg2);
ORV_API bool ORVWaveformPlayerOutputECGAndPPG3(PLAY_RAW_DATA* ecg, PLAY_RAW_DATA* ppg1, PLAY_RAW_DATA* ppg2,
                                               PLAY_RAW_DATA* ppg3);
ORV_API bool ORVWaveformPlayerOutputPPG(int channel, PLAY_RAW_DATA* ppg);
ORV_API bool ORVWaveformPlayerOutputPPGEx(PLAY_RAW_DATA* ppg1, PLAY_RAW_DATA* ppg2);
ORV_API bool ORVWaveformPlayerOutputPPG3(PLAY_RAW_DATA* ppg1, PLAY_RAW_DATA* ppg2, PLAY_RAW_DATA* ppg3);
/* Looping of later runs (on at load). */
ORV_API void ORVWaveformPlayerLoop(bool loop);

/* Play functions: the library generates one period of each record and plays it in a
 * loop (looping is switched on). The rate fields of the caller's records are written
 * (fSampleRateKHz 40 for ECG alone, else 10), and the Ex/3 forms normalise the PPG
 * records in place. pttMs: ms the PPG pulse follows the ECG beat. With an instrument the
 * control block is written from the ECG record first; ORVPlayECGAndPPG3 requires that
 * write, so it returns false without an instrument. ORVPlayPPG with channel 3 plays on
 * channel 1. False for a null required record. */
ORV_API bool ORVPlayECG(ECG_WAVEFORM* ecg, PFN_SAMPLE_CALLBACK ecgCallback);
ORV_API bool ORVPlayECGAndPPG(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg, PFN_SAMPLE_CALLBACK ecgCallback,
                              PFN_SAMPLE_CALLBACK ppgCallback);
ORV_API bool ORVPlayECGAndPPGEx(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2,
                                PFN_SAMPLE_CALLBACK ecgCallback, PFN_SAMPLE_CALLBACK ppg1Callback,
                                PFN_SAMPLE_CALLBACK ppg2Callback);
ORV_API bool ORVPlayECGAndPPG3(int pttMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3,
                               PFN_SAMPLE_CALLBACK ecgCallback, PFN_SAMPLE_CALLBACK ppg1Callback,
                               PFN_SAMPLE_CALLBACK ppg2Callback, PFN_SAMPLE_CALLBACK ppg3Callback);
ORV_API bool ORVPlayPPG(int channel, PPG_WAVEFORM* ppg, PFN_SAMPLE_CALLBACK ppgCallback);
ORV_API bool ORVPlayPPGEx(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PFN_SAMPLE_CALLBACK ppg1Callback,
                          PFN_SAMPLE_CALLBACK ppg2Callback);
ORV_API bool ORVPlayPPG3(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3, PFN_SAMPLE_CALLBACK ppg1Callback,
                         PFN_SAMPLE_CALLBACK ppg2Callback, PFN_SAMPLE_CALLBACK ppg3Callback);

/* Sine sweeps, played once (looping off). They stop a running playback but leave a
 * simulated output running. False, with nothing stopped or changed, for a null record, a
 * duration not positive or over 53687 s, a field that is not finite, or both frequencies 0. */
ORV_API bool ORVOutputFrequencyScan(FREQUENCY_SCAN* scan, PFN_SAMPLE_CALLBACK callback);
ORV_API bool ORVOutputFrequencyScanPPG(int channel, FREQUENCY_SCAN2* scan, PFN_SAMPLE_CALLBACK callback);
/* Ends playback only (a simulated output keeps running). */
ORV_API void ORVStopPlayRawData(void);

/* Start signal: a manual-reset event that the host owns. While one is registered and not
 * set, every instrument-paced run holds its first batch back until the host sets it.
 * Set sets the registered signal (nothing when none is); register and reset accept only
 * handles made by ORVCreateSynchronizationSignal (null unregisters). */
ORV_API void* ORVCreateSynchronizationSignal(void);
ORV_API void ORVSetSynchronizationSignal(void* handle);
ORV_API void ORVSynchronizationSignalSetEvent(void* handle);
ORV_API void ORVSynchronizationSignalResetEvent(void* handle);

/* Auto test: a list of timed items played one after another on one stream (operator mode
 * 15 with a PPG channel 3, else 7, 10000 samples per second). The adders return the
 * number of items (unchanged for a negative duration); they and the clear stop a running
 * auto test first. The PPG records are normalised in place. The start returns false for
 * an empty list, an item 0 that does not load, or a refused pacing or operator-mode
 * command. Without an instrument only item 0 plays. */
ORV_API void ORVAutoTestSetSetting(AUTO_TEST_SETTING* setting);
ORV_API void ORVAutoTestClear(void);
ORV_API int ORVAutoTestAddItem(int durationS, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2,
                               PPG_WAVEFORM* ppg3);
ORV_API int ORVAutoTestAddItemECGAndPPGEx(int durationS, int delayMs, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                          PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3);
ORV_API bool ORVAutoTestStartOutput(PFN_SAMPLE_CALLBACK ecgCallback, PFN_SAMPLE_CALLBACK ppg1Callback,
                                    PFN_SAMPLE_CALLBACK ppg2Callback, PFN_SAMPLE_CALLBACK ppg3Callback);

/* ---- Factory: PPG calibration settings ------------------------------------------------ */

/* The LED level of a PPG channel (setting 1, 2 or 18; a channel outside 1..3 counts as 1).
 * False for a null pointer or when the read fails. */
ORV_API bool ORVReadPPGLedCalibrationSetting(PPGChannel channel, unsigned short* value);
/* Writes the LED level; on an instrument with channel-3 support and one PPG channel the
 * value goes to settings 1 and 2 whatever the channel. During a playback it is sent
 * between two stream batches. */
ORV_API bool ORVWritePPGLedCalibrationSetting(PPGChannel channel, unsigned short value);
/* The trigger level (setting 3, 4 or 19): only its low byte is stored in *value, which is
 * untouched when the read fails. Pauses the photodiode sampling. */
ORV_API bool ORVReadPPGTriggerLevelCalibrationSetting(PPGChannel channel, unsigned short* value);
ORV_API bool ORVWritePPGTriggerLevelCalibrationSetting(PPGChannel channel, unsigned short value);
/* Writes the factory backup's LED and trigger levels back to settings 1 to 4 (and 18, 19
 * with more than two PPG channels), then on PPG model 0x2112 the AC-range settings of
 * channels 1 and 2 from the record cached at the connection. False when the backup cannot
 * be read or is not marked valid (nothing written), at the first refused write, or on
 * 0x2112 when the cached record could not be read from this instrument. */
ORV_API bool ORVRestoreFactorySetting(void);

#ifdef __cplusplus
}
#endif

/* ---- Factory and service functions (decorated names) -------------------------------- */
#ifdef __cplusplus
#if !defined(_WIN32)
#if defined(__APPLE__) || defined(NVS_PLAIN_SERVICE_EXPORTS)
extern "C" { /* the macOS build exports the service functions under plain names */
#endif

/* -- Connection (decorated) -- */

/* As ORVInit, accepting only an instrument whose serial number matches: 0 any, bit 15
 * set: serial numbers below 9000, bit 16 set: above 8999, otherwise exactly that one.
 * The port of the last ORVConnect stays in force. */
ORV_API bool ORVInitEx(int serialNumber, PFN_CONNECT_LISTENER listener);

/* -- Device information and control settings (decorated) -- */

/* The capability record (nothing for a null pointer). */
ORV_API void ORVGetDeviceFeature(DEVICE_FEATURE* feature);
/* The open port's descriptor as a handle ((void*)-1 when none is open), and the
 * hand-over of a port the host opened itself: the library takes it over and identifies
 * the instrument on it. A null handle leaves the library without a port. */
ORV_API void* ORVGetDeviceHandle();
ORV_API void ORVSetDeviceHandle(void* handle);
/* Raw pass-through: writes length bytes, then reads one reply of exactly replyLength
 * bytes into reply (never more). replyLength, or length when no reply is wanted (null
 * reply or replyLength 0); -1 on failure or bad arguments. */
ORV_API int ORVSendCommand(unsigned char* command, int length, unsigned char* reply, int replyLength);
/* The library writes no log; kept for hosts that call it. */
ORV_API void ORVLog(char* text);
/* Frees an array that an ORVGen function returned; any other pointer is ignored. */
ORV_API void ORVMemFree(void* memory);
/* Measurements of the PPG module; 0 when the exchange fails. */
ORV_API int ORVGetLEDOutputFeedbackVoltageADCData();
ORV_API int ORVGetUSBBusVoltage();

/* -- LEDs, ambient light and PPG module (decorated) -- */

/* PPG modules fitted, and the selected one (0..6; the getter gives 0 on failure). The
 * selection is clamped to 0..6 and reads back what the instrument then reports. */
ORV_API int ORVGetPPGModuleNumber();
ORV_API int ORVGetSelectedPPGModule();
ORV_API bool ORVSelectPPGModule(int module);
ORV_API bool ORVReadLEDMatrixEnableStatus(unsigned char* status);
ORV_API bool ORVWriteLEDMatrixEnableStatus(unsigned char status);
ORV_API int ORVReadAmbientLightDC();
ORV_API bool ORVWriteAmbientLightDC(int value);
/* A channel outside 1..3 addresses channel 1. */
ORV_API bool ORVWritePPGSyncPulse(PPGChannel channel, SyncPulse pulse);
/* Stored LED settings: groups 0..8, indexes 0..31. Clear writes 32 bytes of 0xFF. */
ORV_API bool ORVReadPPGLEDSetting(int group, int index, PPG_LED_SETTING* setting);
ORV_API bool ORVWritePPGLEDSetting(int group, int index, PPG_LED_SETTING* setting);
ORV_API bool ORVClearPPGLEDSetting(int group, int index);
/* Writes the default pulse group: slots 1 4 2 0 0 0 0 0, period 8000. */
ORV_API void ORVSaveDefaultPulseSettings();
ORV_API bool ORVSetTransmissionRate(int rate);
/* Reference voltages of PPG channels 1 and 2. */
ORV_API bool ORVReadPPGVRef(PPGChannel channel, unsigned int* value);
ORV_API bool ORVWritePPGVRef(PPGChannel channel, unsigned int value);
ORV_API bool ORVEnableAutoTriggerLevel(bool enable);
ORV_API bool ORVGetAutoTriggerLevelStatus(AUTO_TRIGGER_STATUS* status);
/* Host-side flag of the PPG normalisation: finger-PPG amplitude conversion (on at load). */
ORV_API void ORVEnablePPGAmplitudeConversion(bool enable);
/* Smallest and largest AC + DC value (mV) of the PPG source loaded for a channel 1..3. */
ORV_API bool ORVGetLoadedPPGRange(int channel, double* minimum, double* maximum);
/* Full-scale code of the PPG AC DAC; the next connection sets it from the instrument. */
ORV_API int ORVGetPPGDacLevel();
ORV_API void ORVSetPPGDacLevel(int level);
/* Stored only; the library's own presence monitor always runs. */
ORV_API void ORVEnableHotPlugDetection(bool enable);

/* -- External respiration (decorated) -- */

/* Stored calibration of the external-respiration module: the four model coefficients,
 * the 96 RDAC3 resistances (ohms) and the 12 baseline DAC words. The two table writers
 * change the library's copy before they store it. */
ORV_API bool ORVWriteRespirationRWA(double* coefficients);
ORV_API bool ORVExternalRespiratoryWriteRDAC3(double* table);
ORV_API bool ORVWriteRespirationBaselineDACTable(unsigned short* table);
/* The module's four setting words: potentiometer 0, potentiometer 1, RDAC3 index,
 * baseline DAC. */
ORV_API bool ORVExternalRespiratorySetDAC(unsigned short pot0, unsigned short pot1, unsigned short rdac3,
                                          unsigned short baseline);
/* The first three setting words for a resistance in ohms; sends nothing. All zero when
 * no RDAC3 calibration is loaded or the resistance cannot be made. */
ORV_API void ORVExternalRespiratoryGetAmplitudeDACByResistance(double resistance, unsigned short* words);
ORV_API bool ORVExternalRespiratorySetBaselineDAC(unsigned short baseline);
/* False, with nothing written, when no RDAC3 calibration is loaded. */
ORV_API bool ORVExternalRespiratorySetAmplitudeByResistance(double resistance);

/* -- Firmware burn and FPGA upgrade (decorated) -- */

/* Keeps a private copy of size bytes of a firmware image (replacing the one kept), sends
 * nothing. Returns size; -4 without memory; -2 for a null image with a size, or a size
 * above 0x1E000 (no block holds it), or from a burn's progress callback: the kept image
 * stays. Waits for a running burn. */
ORV_API int ORVUpdateLoadBinFile(unsigned char* image, unsigned int size);
/* Ends the connection (ORVFree), then on the caller's thread finds the instrument (10
 * scans), erases the block page by page, writes the kept image in 48-byte chunks, reads
 * it back, restarts the instrument, waits 5 s and finds it again (15 scans); the port is
 * closed afterwards and the host connects again. The image must be 1 byte to the block's
 * length: otherwise -2 before anything is sent. 0 or a negative code; null progress:
 * no reports. Other threads' lifecycle calls wait for its end. About 5 s + 40 ms a page. */
ORV_API int ORVUpdateBurnFlashBlock(FlashBlock block, PFN_UPDATE_PROGRESS progress);
/* ORVUpdateBurnFlashBlock into block 0. */
ORV_API int ORVUpdateFwBurnBinFile(PFN_UPDATE_PROGRESS progress);
/* Loads nothing: 0, outputs and kept image untouched. */
ORV_API int ORVUpdateFwLoadBinFile(char* path, int* a, int* b, int* c);
/* Not provided: -1. */
ORV_API int ORVUpdateMCULoadBinFile(char* path, int* a, int* b);
ORV_API int ORVUpdateMCUBurnBinFile(PFN_UPDATE_PROGRESS progress);
/* Ends the connection (ORVFree), finds the instrument (5 scans), puts its FPGA in upgrade
 * mode, erases the three image sectors, writes the loaded image in 32-byte packets (a
 * refused packet is resent after 600 ms, at most 10 times), compares each sector's CRC-32,
 * leaves upgrade mode, waits 5 s for the restart and finds the instrument again (15
 * scans), leaving its port open. -2 without a loaded image (nothing sent). 0 or a negative
 * code. About 2 ms a packet on full-speed USB: 23552 packets. */
ORV_API int ORVUpdateFPGABurn(PFN_UPDATE_PROGRESS progress);
/* Loads an FPGA image file: the image flash's raw bytes, sectors in order, at least
 * 0xB8000 bytes (the first 0xB8000 are kept). 0 on success, with *length (kept bytes)
 * and *crc (CRC-32 of the kept image) set when not null; -2 for a null path or from an
 * upgrade's progress callback, -17 for a file that is missing, unreadable or short: the
 * loaded image then stays. */
ORV_API int ORVUpdateFPGALoadFile(char* path, int* length, int* crc);

/* -- Simulated output (decorated) -- */

/* Calibration method 1: the instrument plays one uploaded period at 1000 points per
 * second until ORVStopOutputWaveform; nothing reaches the host's callbacks. The period
 * must hold 1..65536 points (nRRInterval, nPeriod), else false with nothing stopped or
 * sent. The ECG form stops any output, uploads the setting and nRRInterval points of the
 * DC code (nDCOffset when bVariableDCOffset is set, else 0) and the AC code
 * (fAmplitude); without an instrument it sends nothing and is still true. */
ORV_API bool ORVECGCalibrateMethod1(ECG_WAVEFORM* ecg);
/* PPG: a raised sine from 0 to fAmplitude1 codes (kept within the DAC's full scale) over
 * nPeriod points on the DC code fDCLevel, through the channel's convert tables when
 * bInverted is set (nNoiseType: tables from their files). Channel 2, or channel 1 for any
 * other value; the Ex form plays channels 1 and 2. False without an instrument or when an
 * upload fails. */
ORV_API bool ORVCalibrateMethod1(PPGChannel channel, PPG_WAVEFORM* ppg);
ORV_API bool ORVCalibrateMethod1Ex(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2);

/* -- Photodiode sampling (decorated) -- */

/* Starts the photodiode stream of the inputs whose callbacks are set (switching the
 * photodiode inputs on in the control block on main hardware below 5, selecting the
 * inputs with calibration setting 6, then sending the ADC channel mask). Packets
 * numbered below skip are not delivered (again after the number wraps past 65535); a
 * non-null error callback hears 18 for each gap in the numbering. True when the sampling
 * thread runs; false without an instrument or when a request failed (nothing then
 * streams and the control block is restored). No callback set: mask 0 and true. */
ORV_API bool ORVStartSamplingEx(int skip, PFN_SAMPLING_ERROR_CALLBACK error);
/* FPGA photodiode reports: switches signal-strength detection to mode, then hands each
 * mean report of five polls to the callback. False (any sampling stopped, nothing sent)
 * for enable false or a null callback; false when the instrument refused the mode. */
ORV_API bool ORVEnableFPGASampling(bool enable, int mode, PFN_FPGA_SAMPLING_CALLBACK callback);
/* -- Playback (decorated) -- */

/* A waveform-file item (the file is read when the item plays); the path must be shorter
 * than 260 characters. Returns the number of items. */
ORV_API int ORVAutoTestAddItemPlayRaw(int durationS, char const* path);
/* One period of the record generated on the host, nothing played; the AC array
 * (microvolts) is the caller's, given back with ORVMemFree; *count = its samples. The ECG
 * form normalises the record and returns the rate it chose in *rateKHz; the Ex forms
 * write rateKHz into the record (PPG: whole kHz) and return null for a rate that is not
 * finite or out of the int range; ORVGenPPGWaveform writes 1.0. */
ORV_API int* ORVGenECGWaveform(ECG_WAVEFORM* ecg, int* count, double* rateKHz);
ORV_API int* ORVGenECGWaveformEx(ECG_WAVEFORM* ecg, int* count, double rateKHz);
ORV_API int* ORVGenPPGWaveform(PPG_WAVEFORM const* ppg, int* count);
ORV_API int* ORVGenPPGWaveformEx(PPG_WAVEFORM const* ppg, int* count, double rateKHz);
/* RMS of one period's AC at 10 kHz, mV (0.0 for an empty period). Takes no lock. */
ORV_API double ORVCalculateACByRMS(PPG_WAVEFORM ppg);

/* -- Waveform model services -- */

/* Service: refers a PPG automatic-DC reading (dcReading, gainReading as the module reports
 * them) to full gain and to the default transmission-rate word, using the channel's rate
 * settings for the transmission-rate mode in force. Sends nothing, takes no lock.
 * Returns 0.0 for a channel outside 1..3. */
ORV_API double ORVConvertAutoDCToFixedDC(PPGChannel channel, int dcReading, int gainReading);

/* Service: the start point, in milliseconds, at which the PPG period must begin so that
 * its peak follows the ECG peak by delay ms. Writes fSampleRateKHz = 1.0 and
 * nSampleFraction = 0 into *ecg. Sends nothing, takes no lock. Returns 0 for a null ECG
 * record, a null PPG record, an RR interval of 0 or a period of 0 or less. */
ORV_API int ORVCalcPPGStartPoint(ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg, int delay);

/* -- Factory identity (decorated) -- */

/* Each rewrites the module's identity record: reads it, checks that the reply is the
 * record's (false, nothing erased or written, otherwise), erases the main module's record
 * (the PPG side is overwritten without an erase) and writes it back changed. False when an
 * exchange fails; a main-module record erased before a failed write stays erased. */
/* Letters, model number, serial prefix and number of the main module; on success the
 * cached record becomes *info. False for a null record. */
ORV_API bool ORVSetDeviceInformation(MODEL_INFORMATION* info);
/* The same for the PPG side (letters XJ first set calibration setting 6 = 0x3F); on
 * success the cache takes the record with LED types derived from its model number, and
 * the working mode is sent again (its outcome not counted). */
ORV_API bool ORVSetPPGDeviceInformation(MODEL_INFORMATION* info);
/* Product letters of the main module, its model number by the letters (ZM 0x3001, KQ
 * 0x2001, NV 0x1001), then letters YB on the PPG side; the result is the last write's. */
ORV_API bool ORVSetProductName(char first, char second);
/* Hardware version major.minor (low bytes) of the main module / the PPG side; on success
 * the cached HW_INFORMATION takes it. */
ORV_API bool ORVSetHWInformation(int major, int minor);
ORV_API bool ORVSetPPGModuleHWInformation(int major, int minor);
/* Serial prefix (low byte) and 16-bit serial number of the main module / the PPG side;
 * the cached record changes at the next connection. */
ORV_API bool ORVSetSerialNumber(int prefix, int serial);
ORV_API bool ORVSetPPGModuleSerialNumber(int prefix, int serial);
/* The PPG side's model number (generation = high byte, model = low byte); the cache
 * changes at the next connection. */
ORV_API bool ORVSetPPGModuleType(unsigned short model);

/* -- Factory calibration data (decorated) -- */

/* The ECG DC-offset table (exactly 2001 codes for -1000..1000 mV, low 16 bits kept): host
 * copy, then the stored copy; false for another count (nothing changed) or a failed write.
 * The clear puts the host table back to its defaults and erases the stored one. Both pause
 * the photodiode sampling. */
ORV_API bool ORVWriteECGDCVariableCalibrationData(int* values, unsigned long count);
ORV_API bool ORVClearECGDCVariableCalibrationData();
/* The selected PPG module's photodiode-sampling table (exactly 1024 entries) of
 * photodiode channel 2 for channel 2, channel 1 otherwise. The read copies the host
 * table; the write changes the host table, stores it and is true when the stored table
 * reads back equal. False with nothing sent while no connection is under way (before
 * ORVInit, after ORVFree) or with module 6 selected. */
ORV_API bool ORVReadPPGCalibrationDataPDSampling(PPGChannel channel, int* out, int count);
ORV_API bool ORVWritePPGCalibrationDataPDSampling(PPGChannel channel, int* data, unsigned long count);
/* Both tables (the Ex form: channel 1 or 2 only) of the selected module back to the
 * identity, host and stored copy. */
ORV_API bool ORVClearPPGCalibrationDataPDSampling();
ORV_API bool ORVClearPPGCalibrationDataPDSamplingEx(PPGChannel channel);
/* The PPG DC table of channel 1..3: up to 3001 codes replace the first entries of the
 * host row, then the whole row of 3001 is stored; the clear makes the row the identity
 * and stores it. False for another channel, a null array or more than 3001 values. */
ORV_API bool ORVWritePPGCalibrationDataDC(PPGChannel channel, int* values, unsigned long count);
ORV_API bool ORVClearPPGCalibrationDataDC(PPGChannel channel);
/* The AC full-scale codes of channel 1..3 in AC modes 0, 1, 2 (exactly 3 values, low 16
 * bits kept): changes the library's copy only, which the AC conversions use at once;
 * nothing is sent. */
ORV_API bool ORVWritePPGCalibrationDataACFullDAC(PPGChannel channel, int* values, unsigned long count);
/* Writes the LED levels of the factory backup back to settings 1 and 2 (and 18 with three
 * or more PPG channels). False when the backup cannot be read or is not marked valid
 * (nothing written) or at the first refused write. */
ORV_API bool ORVRestoreLEDLevelFactorySetting();
/* Photodiode ratios of channel 1..3 (another channel counts as 1): at most 8 of count
 * replace the first of the row; stored in the cached record (written whole) on PPG model
 * 0x2112, as the channel's row on 0x2012 and 0x2014. False, nothing changed or sent, on
 * any other model; false on 0x2112 when the cached record was not read from this
 * instrument (the ratios are changed on the host). */
ORV_API bool ORVWriteFPGACalibrationData(PPGChannel channel, float* ratios, unsigned long count);
/* ORVWriteFPGACalibrationData with eight ratios of 1.0. */
ORV_API bool ORVClearFPGACalibrationData(PPGChannel channel);
/* The LED and parameter words of channel 1..3 for transmission-rate mode 0..5 in the
 * cached record, which is then written whole when it was read from this instrument;
 * another channel or mode changes nothing. The outcome is not reported. */
ORV_API void ORVCalibrationSetTransmissionRate(PPGChannel channel, int mode, unsigned short ledValue,
                                               unsigned short paramValue);
/* Stores the LED and trigger levels in force as the factory backup (marked valid); on PPG
 * model 0x2112 also loads each AC range (3 s each) and writes its settings with the cached
 * record, false when that record was not read from this instrument. During a playback it
 * runs between two stream batches; on 0x2112 it is then refused (false, nothing sent):
 * stop the playback first. */
ORV_API bool ORVBackupFactorySetting();

/* -- Factory calibration streams (decorated) -- */

/* Calibration streams of DAC codes, played until the output or playback is stopped. Each
 * is false without an instrument, for a null record, or when a command or conversion
 * fails (nothing then started). A start while the same method streams in a mode that
 * plays its channels changes that stream's parameters (methods 3Ex and 4 also its
 * operator mode, between two batches); any other running stream is stopped first. */
/* Method 2: a DC sweep from code trunc(fAmplitude1) up trunc(fDCLevel) codes and back, one
 * code a sample at 5000 per second, through the DC table (nNoiseType: from its file);
 * writes the channel's PPG waveform setting first. Channel outside 1..3: 1; channel 3:
 * false. Sets fSampleRateKHz 1.0 and nSampleFraction 0 in the record. */
ORV_API bool ORVCalibrateMethod2(PPGChannel channel, PPG_WAVEFORM* record);
/* Method 2 on channels 1 and 2 (operator mode 6). */
ORV_API bool ORVCalibrateMethod2Ex(PPG_WAVEFORM* record1, PPG_WAVEFORM* record2);
/* Method 3: one generated PPG cycle of the record, converted once through the channel's
 * AC and DC tables, repeated at 10000 per second. Channel outside 1..3: 1; channel 3, or
 * a record that generates no samples: false. */
ORV_API bool ORVCalibrateMethod3(PPGChannel channel, PPG_WAVEFORM* record);
/* Method 3 on the enabled channels (both: mode 14 with a third PPG channel, else 6); false
 * when a channel the mode plays holds no converted cycle. */
ORV_API bool ORVCalibrateMethod3Ex(bool enable1, PPG_WAVEFORM* record1, bool enable2, PPG_WAVEFORM* record2);
/* Method 4: constant codes, AC table entry trunc(fAmplitude1) and DC table entry
 * trunc(fDCLevel), at 10000 per second; mode 14 on an instrument with a third PPG channel,
 * whatever the flags. */
ORV_API bool ORVCalibrateMethod4(bool enable1, PPG_WAVEFORM* record1, bool enable2, PPG_WAVEFORM* record2);
/* Method 5: a DC square wave between 0 and full scale, fAmplitude1 samples high and
 * fAmplitude2 low, at 10000 per second; each channel's level carries on from the last
 * run. Always a new run; false for a NaN length of a played channel. */
ORV_API bool ORVCalibrateMethod5(bool enable1, PPG_WAVEFORM* record1, bool enable2, PPG_WAVEFORM* record2);

/* -- Factory settings and module commands (decorated) -- */

/* Any PPG calibration setting as a 16-bit value; the read is sent at once, the write
 * between two stream batches during a playback. */
ORV_API bool ORVReadPPGCalibrationSetting(int setting, unsigned short* value);
ORV_API bool ORVWritePPGCalibrationSetting(int setting, unsigned short value);
/* A one-byte setting read, and a raw write of length (1..60) bytes; false for a null
 * pointer or another length, with nothing sent. Both pause the photodiode sampling. */
ORV_API bool ORVRead0xCCCommand(unsigned char setting, unsigned char* value);
ORV_API bool ORVWrite0xCCCommand(unsigned char setting, unsigned char* data, int length);
/* Photodiode sampling range (setting 8: FF FF full, FF FC otherwise). */
ORV_API bool ORVSwitchPDSamplingFullRange(bool full);
/* The PPG side's working mode (setting 7). */
ORV_API bool ORVSwitchDeviceWorkingMode(unsigned char mode);
/* GPIO mode on (setting 5 = 0) or off (1). */
ORV_API bool ORVSwitchToGPIOMode(bool gpio);
/* LED trigger test: selects the channel's photodiode input (setting 6: 16 for channel 1,
 * 32 otherwise) and reads the trigger status (setting 5). True when triggered; false also
 * when an exchange fails; a channel other than 1 or 2 reads as not triggered (triggered on
 * PPG models 0x2012, 0x2014 and 0x2112, whose status is inverted). */
ORV_API bool ORVIsLEDTriggered(PPGChannel channel);
/* The finger module's debug mode (bus register 0x70 of device 0xD0); true when the
 * request was written. */
ORV_API bool ORVFingerEnableDebugMode(bool enable);

/* -- Factory manufacturing information (decorated) -- */

/* The main module's / the PPG side's manufacturing block: min(length, 64) bytes, not
 * interpreted. False for a null buffer or when an exchange fails. */
ORV_API bool ORVReadMfgInfo(unsigned char* buffer, unsigned long length);
ORV_API bool ORVReadPPGMfgInfo(unsigned char* buffer, unsigned long length);
ORV_API bool ORVWriteMfgInfo(unsigned char const* buffer, unsigned long length);
ORV_API bool ORVWritePPGMfgInfo(unsigned char const* buffer, unsigned long length);

#if defined(__APPLE__) || defined(NVS_PLAIN_SERVICE_EXPORTS)
}
#endif
#endif /* !_WIN32 */
#endif /* __cplusplus */

#endif /* NVS300_H */
