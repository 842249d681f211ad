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
#  ifdef NVS_BUILDING_LIBRARY
#    define ORV_API __declspec(dllexport)
#  else
#    define ORV_API __declspec(dllimport)
#  endif
#else
#  define ORV_API __attribute__((visibility("default")))
#endif

/* ---- Host-facing records ---------------------------------------------------------- */

/* Record layouts are part of the binary interface: the library copies a host's record
 * whole, so the host must declare it exactly like this (the library checks the sizes and
 * offsets of every target at build time). */

/* A double that follows a 32-bit field directly, 4-aligned, on every target (the natural
 * layout on i386, where every double is 4-aligned). */
#if defined(__GNUC__) || defined(__clang__)
#  define ORV_DOUBLE_ALIGN4 __attribute__((packed, aligned(4)))
#else
#  define ORV_DOUBLE_ALIGN4
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
    int32_t nWaveformType;       /* 0 sine, 1 triangle, 2 square, 3 rectangle pulse,
                                    4 triangle pulse, 5 exponential, 6 (and any other) ECG beat */
    double fFrequency;           /* Hz; one period lasts 1000 / fFrequency ms; heart rate
                                    60 x fFrequency per minute for the ECG beat */
    double fAmplitude;           /* mV: peak-to-peak (sine, triangle, square), height (pulses,
                                    exponential) or R-wave height (ECG beat) */
    double fTAmplitude;          /* mV, T-wave height */
    double fPAmplitude;          /* mV, P-wave height */
    double fSTLevel;             /* mV, ST-segment level */
    int32_t bVariableDCOffset;   /* non-zero: nDCOffset goes through the DC DAC */
    int32_t nDCOffset;           /* mV: -1000..1000 (variable) or +-300 (fixed) */
    int32_t nRRInterval;         /* ms, beat period used by the beat timing and alignment */
    int32_t nPRInterval;         /* ms, P start to QRS start */
    int32_t nQRSWidth;           /* ms */
    int32_t nTWidth;             /* ms, 180 after normalisation */
    int32_t nQTInterval;         /* ms, QRS start to T end */
    int32_t nImpedance;          /* output-impedance selector */
    int32_t nElectrode;          /* electrode selector */
    int32_t nPulseWidth;         /* ms, rectangle and triangle pulses */
    double fNoiseAmplitude;      /* mV, 0..2 */
    int32_t nNoiseType;          /* 0 none, 1 50 Hz, 2 60 Hz, 3 100 Hz, 4 120 Hz */
    int32_t bPacingEnable;
    double fPacingAmplitude;     /* mV, -1000..1000 */
    double fPacingWidth;         /* ms, 0..2 */
    int32_t nPacingRate;         /* per minute, 10..300 */
    int32_t nRespirationMode;    /* 0 off; 1..15 bit mask (1 baseline, 2 amplitude, 4 rate);
                                    0x80 external respiration module */
    int32_t nRespirationAmplitude;      /* milliohms (external respiration) */
    int32_t nRespirationRate;           /* breaths per minute */
    int32_t nRespirationDepthOrRatio;   /* modes 1..15: depth in %; external: breath ratio */
    int32_t nRespirationRatioOrBaseline;/* modes 1..15: breath ratio; external: baseline ohms */
    int32_t nApneaDuration;      /* s */
    int32_t nApneaCycle;         /* min */
    double fSampleRateKHz;       /* samples per ms of the generated period */
    int32_t nSampleFraction;     /* 1/1000 sample: fractional part of the period's length */
} ECG_WAVEFORM;

/* Parameters of one PPG channel's output. fSampleRateKHz is 4-aligned on every target:
 * 128 bytes with fSampleRateKHz at offset 116 on the 64-bit targets and 32-bit ARM,
 * 124 bytes on i386. */
typedef struct PPG_WAVEFORM {
    int32_t nWaveformType;       /* 0 sine, 1 triangle, 2 square, 3 PPG pulse (arcs),
                                    16 PPG pulse (lines), 255 constant level */
    double fFrequency;           /* Hz, pulse rate / 60 */
    double fDCLevel;             /* mV */
    double fAmplitude1;          /* mV: AC span (sine, triangle, square), systolic peak (pulses) */
    double fAmplitude2;          /* mV, level at the notch */
    double fAmplitude3;          /* mV, diastolic peak */
    double fACOffset;            /* mV, added to every AC sample */
    int32_t nTime1;              /* ms, first peak */
    int32_t nTime2;              /* ms, notch */
    int32_t nTime3;              /* ms, second peak */
    int32_t nPeriod;             /* ms, beat period used by the ECG alignment */
    int32_t nSyncPulse;          /* 1 or 2 */
    int32_t bInverted;
    double fNoiseAmplitude;      /* mV, 0..2 */
    int32_t nNoiseType;          /* 0 none, 1..14 */
    int32_t nRespirationMode;    /* bit mask: 1 baseline, 2 amplitude, 4 rate */
    int32_t nRespirationRate;    /* breaths per minute */
    int32_t nRespirationDepth;   /* percent, signed */
    int32_t nRespirationRatio;   /* breath ratio 1..5 */
    int32_t nApneaDuration;      /* s */
    int32_t nApneaCycle;         /* min */
    double fSampleRateKHz ORV_DOUBLE_ALIGN4; /* samples per ms of the generated period */
    int32_t nSampleFraction;     /* 1/1000 sample */
} PPG_WAVEFORM;

/* One channel's sample stream for playback (natural alignment: 40 bytes on the 64-bit
 * targets, 32 on 32-bit ARM, 28 on i386). The caller owns the record and its arrays. */
typedef struct PLAY_RAW_DATA {
    double fSampleRate;          /* samples per second of both arrays */
    int32_t nSampleCount;        /* samples in each array */
    int32_t nSyncPulse;          /* low byte: the PPG channel's SyncPulse value */
    double* pACData;             /* AC component, mV */
    double* pDCData;             /* DC component, mV */
    PFN_SAMPLE_CALLBACK pCallback; /* the channel's sample callback, or null */
} PLAY_RAW_DATA;

/* ---- Exported functions (plain names) ---------------------------------------------- */
#ifdef __cplusplus
extern "C" {
#endif

/* -- Connection -- */

/* -- Device information and control settings -- */

/* -- LEDs, ambient light and PPG module -- */

/* -- External respiration -- */

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
                                 PPG_WAVEFORM* ppg3, PFN_SAMPLE_CALLBACK ecgCallback,
                                 PFN_SAMPLE_CALLBACK ppg1Callback, PFN_SAMPLE_CALLBACK ppg2Callback,
                                 PFN_SAMPLE_CALLBACK ppg3Callback);
/* One PPG channel (any channel other than 1 to 3 is channel 1). */
ORV_API bool ORVOutputPPG(int channel, PPG_WAVEFORM* ppg, PFN_SAMPLE_CALLBACK ppgCallback);
/* PPG channels 1 and 2; a null record leaves its channel out. */
ORV_API bool ORVOutputPPGEx(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PFN_SAMPLE_CALLBACK ppg1Callback,
                            PFN_SAMPLE_CALLBACK ppg2Callback);
/* PPG channels 1 to 3. Where the PPG side simulates channel 3, a channel that the pulse
 * group does not light is not simulated, and a lit channel without a record makes the
 * call fail with no output running. */
ORV_API bool ORVOutputPPG3(PPG_WAVEFORM* ppg1, PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3,
                           PFN_SAMPLE_CALLBACK ppg1Callback, PFN_SAMPLE_CALLBACK ppg2Callback,
                           PFN_SAMPLE_CALLBACK ppg3Callback);
/* The common stop: ends the output (each set callback gets its end marker before this
 * returns), stops any playback, turns dynamic LED strength off and restores the default
 * transmission rates. Does nothing harmful when nothing runs. */
ORV_API void ORVStopOutputWaveform(void);

#ifdef __cplusplus
}
#endif

/* ---- Factory and service functions (decorated names) -------------------------------- */
#ifdef __cplusplus
#if !defined(_WIN32)
#if defined(__APPLE__)
extern "C" {     /* the macOS build exports the service functions under plain names */
#endif

/* -- Connection (decorated) -- */

/* -- Device information and control settings (decorated) -- */

/* -- LEDs, ambient light and PPG module (decorated) -- */

/* -- External respiration (decorated) -- */

/* -- Simulated output (decorated) -- */

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

#if defined(__APPLE__)
}
#endif
#endif /* !_WIN32 */
#endif /* __cplusplus */

#endif /* NVS300_H */
