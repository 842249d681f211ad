#include "ProtocolState.h"

#include <cstring>

#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/PPGModule.h"
#include "protocol/RespirationTables.h"
#include "protocol/SubsystemHooks.h"
#include "waveform/Calibration.h"

void ResetProtocolState() {
    g_ECGModelInfo = MODEL_INFORMATION{};
    g_PPGModelInfo = MODEL_INFORMATION{{0, 0}, 0, 0, 0, 0, {0, 0, 3}};
    g_ECGModuleHWInfo = HW_INFORMATION{};
    g_PPGModuleHWInfo = HW_INFORMATION{};
    g_DeviceFeature = DEVICE_FEATURE{1, 1, 0, 2, 1, 0, 0.75, 30, 100, 3000, 0.025, 30, 8, 8};
    g_nFWVersion = 0;
    g_nECGDacLevel = g_nPPGDCDacLevel = g_nPPGACDacLevel = 4095.0;
    g_iTargetDeviceSerialNumber = 0;
    g_FactorySettingMCU = FACTORY_SETTING_MCU{};
    memset(g_ACCalMode, 0, sizeof g_ACCalMode);
    ForgetDynamicLEDState();
    UpdateMCUTransmissionRate(0, 0, 0, 0);  // not model 0x2112 now: forgets what was sent
    InstallPlaybackHooks(nullptr);
    InstallSamplingHooks(nullptr);
    for (double& c : g_fECGExtRespirationCoef) {
        c = 110.0;
    }
    memset(g_fECGExtRespiratationRDAC3, 0, sizeof g_fECGExtRespiratationRDAC3);
    memset(g_ECGExtRespirationBaselineDACTable, 0, sizeof g_ECGExtRespirationBaselineDACTable);
    SetDefaultECGDCVariableCalibrationData();
}
