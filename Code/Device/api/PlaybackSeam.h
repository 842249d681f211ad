// What the device API needs of the raw-data playback engine, which sits above it: the
// engine's command window (while a stream plays, settings go out between two stream
// batches instead of directly) and the range of a loaded PPG source.
//
// Whether a playback runs is the protocol's command-window seam (protocol/CommandWindow.h,
// PlaybackWindowOpen): one answer for the whole library. The engine installs the
// window forms of the API's settings here; while a playback runs, each exported setter
// that has a window form hands its request to it, and one without an installed form
// sends directly. Until the engine exists nothing is installed and every request goes
// out directly.
//
// Owns: the installed entry points. Installed once before any thread talks to the
// instrument (or with the global lock held).
#pragma once

#include "api/nvs300.h"

struct ApiCommandWindow {
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
};

// Installs the engine's window forms (copied), or removes them with null.
void SetApiCommandWindow(const ApiCommandWindow* window);
// The installed forms while a playback runs; null when none runs or none are installed.
const ApiCommandWindow* OpenApiCommandWindow();

// The playback engine's range of AC + DC over the PPG source loaded for channel 1..3.
// False when nothing is loaded (until the engine exists: always).
bool GetLoadedPPGRange(int channel, double* minimum, double* maximum);
