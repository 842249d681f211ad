// The entry points of the raw-data playback engine and of photodiode sampling, as the
// code below them calls them.
//
// Both subsystems sit above the device API, yet the protocol (a calibration-setting write
// while a stream plays), the connection, the common stop and the exported setters must
// reach them. The entries belong to those subsystems; this table only holds them, so that
// lower code calls upward without depending on it. It lives here, in the lowest layer
// that consults it, and uses only the exported types of api/nvs300.h.
//
// At load every entry is its null form, which behaves as a library without the
// subsystem: no playback runs, so every request goes out directly; there is no sampling
// thread to stop or prepare; no PPG source is loaded; the FPGA ratios keep their values.
// Each subsystem installs its entries when it is set up (InstallPlaybackHooks,
// InstallSamplingHooks). A null entry stands for its null form, so installing a table
// with null entries, or no table at all, puts the null forms back.
//
// Owns: the published tables. Installs are rare (a subsystem's set-up, tests); each one
// publishes a new table and keeps the earlier ones until unload, so a caller that read
// the table just before an install still calls code that exists. Install while no
// caller depends on the old entries (at set-up, or under g_CriticalSection).
#pragma once

#include "api/nvs300.h"

struct _DEVICE_CONTROL_SETTING;

// The playback engine. Its command window: while a stream plays, a request written
// between two stream batches would interleave with stream packets, so the engine runs it
// itself between two batches and answers the command's own result. A caller hands a
// request to the window only while isRunning answers non-zero (OpenCommandWindow) and
// otherwise sends it directly; the null form of every window entry is that direct
// command, so an engine without a window form for a setting lets it go out at once.
// Every window entry is called with g_CriticalSection held by the exported caller (the
// engine's own locks come after it) and may block until the engine opens the window.
struct PlaybackHooks {
    // PlayRawIsRunning: non-zero from a start until the next stop, also after the run
    // has ended by itself. Called through OpenCommandWindow by the exported setters and
    // the protocol's calibration-setting writes, all under g_CriticalSection. Must not
    // block. Null form: 0.
    int (*isRunning)();
    // PlayRawStop: ends the run and joins its threads; clearRespiration non-zero also
    // clears the respiration mode. The common stop calls it with 1, holding the sampling
    // pause and g_CriticalSection. Null form: nothing.
    void (*stop)(int clearRespiration);
    // PlayWrite0xCCCommand: the calibration-setting write (family 0xCC, data and length
    // form) in the window. Called by the protocol's one-byte and 16-bit writes while a
    // playback runs, under g_CriticalSection. True when the instrument accepted. Null
    // form: the direct write.
    bool (*write0xCC)(unsigned char id, unsigned char* data, int length);

    // The window forms of the exported setters (ORVDeviceEnableImpedance ... in
    // api/ControlApi.cpp and api/LedApi.cpp), each answering its command's result; null
    // forms: the direct commands of protocol/ControlBlock.h, PPGModule.h, StoredRecords.h.
    bool (*setOutputImpedance)(int code);                                   // PlayRawSetOutputImpedance
    bool (*setOutputLead)(int code);                                        // PlayRawSetOutputLead
    bool (*setDCOffset)(int millivolts);                                    // PlayRawSetDCOffset
    bool (*setOutputPacing)(int code);                                      // PlayRawSetOutputPacing
    int (*getLEDOutputFeedbackVoltageADCData)();                            // PlayRawGetLEDOutputFeedbackVoltageADCData
    bool (*setLEDPulseGroupSetting)(PPG_LED_PULSE_GROUP_SETTING* setting);  // PlayRawSetLEDPulseGroupSetting
    int (*getAmbientLightMode)();                                           // PlayRawGetAmbientLightMode
    bool (*setAmbientLightMode)(PPGAmbientLightMode mode);                  // PlayRawSetAmbientLightMode
    bool (*readLEDMatrixEnableStatus)(unsigned char* status);               // PlayReadLEDMatrixEnableStatus
    bool (*writeLEDMatrixEnableStatus)(unsigned char status);               // PlayWriteLEDMatrixEnableStatus
    bool (*updatePPGSyncPulse)(PPGChannel channel, SyncPulse pulse);        // PlayRawUpdatePPGSyncPulse
    bool (*readPPGLEDSetting)(int group, int index, PPG_LED_SETTING* setting);   // PlayReadPPGLEDSetting
    bool (*writePPGLEDSetting)(int group, int index, PPG_LED_SETTING* setting);  // PlayWritePPGLEDSetting

    // The range of AC + DC over the PPG source loaded for channel 1..3: true with the
    // range filled, false when nothing is loaded. Called by ORVGetLoadedPPGRange under
    // g_CriticalSection, with non-null outputs. Must not block. Null form: false.
    bool (*loadedPPGRange)(int channel, double* minimum, double* maximum);
    // PlayRawOnRunThread: true on one of the run's own threads (the reporter, which calls
    // the host's sample callbacks, the play or simulation thread and the reader). The
    // output starts ask it first: a start from there would replace the run it runs in.
    // Any thread, any lock; never blocks. Null form: false.
    bool (*onRunThread)();
};

// Photodiode sampling.
struct SamplingHooks {
    // ORVDisableSampling: ends a running sampling thread (clears its run and pause
    // events). Called by ORVFree without g_CriticalSection, which the sampling thread
    // needs for its reads. Null form: nothing.
    void (*disableSampling)();
    // StartSamplingPreProcessing: re-enables the photodiode inputs in the device control
    // block and hands back a copy of the block as it was (or null), which the caller
    // deletes. True when there was nothing to do or the instrument accepted. Called by the
    // common stop while sampling runs, holding the sampling pause and g_CriticalSection.
    // Null form: a null copy and true.
    bool (*startSamplingPreProcessing)(_DEVICE_CONTROL_SETTING*& copy);
    // FPGASyncFromEEPROM: loads the photodiode ratios from the FPGA module's memory; true
    // when they were read. Called by the loading after a connection to PPG models 0x2012
    // and 0x2014, under g_CriticalSection. Null form: false, the ratios stay.
    bool (*fpgaSyncFromEEPROM)();
};

struct SubsystemHooks {
    PlaybackHooks playback;
    SamplingHooks sampling;
};

// The current table; every entry is set (never null). Never blocks.
const SubsystemHooks& Hooks();

// The playback entries while a playback runs, so that its window carries the request;
// null when none runs.
const PlaybackHooks* OpenCommandWindow();

// Publish a table with the subsystem's entries copied from `entries` (null entries, or a
// null `entries`, take their null forms); the other subsystem's entries stay.
void InstallPlaybackHooks(const PlaybackHooks* entries);
void InstallSamplingHooks(const SamplingHooks* entries);
