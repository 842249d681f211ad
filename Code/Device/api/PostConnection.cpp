// The default status after a connection and the loading of the stored calibration data.
//
// Sound behaviour beyond the bare loading order:
// - A stored table or record is read into scratch storage and installed only when the
//   read went through: a failed read keeps what the host held (the ECG DC defaults, the
//   cached MCU factory record) instead of installing zeros.
// - The factory backup is made only when the instrument reports no valid backup, never
//   because the read of the stored record failed on the way.
// - The cached MCU factory record of model 0x2112 is read before the factory backup,
//   which writes it back whole; a cache that was not read from this instrument is never
//   written to it (protocol/Memory.h).
// - Photodiode tables are identity tables from the moment the connection thread starts,
//   so a module that is skipped (absent LED, beyond the reported module count) maps raw
//   values to themselves.
#include "api/PostConnection.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "api/Connection.h"
#include "api/ExternalRespiratory.h"
#include "platform/StaticObjects.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/Memory.h"
#include "protocol/PPGModule.h"
#include "protocol/Protocol.h"
#include "protocol/RespirationTables.h"
#include "protocol/StoredRecords.h"
#include "protocol/SubsystemHooks.h"
#include "waveform/Calibration.h"

int* g_pPPGPDSamplingCalibrationData[kPPGPDSamplingTableSlots] = {};
float g_FPGA_PDRatio[3][8] = {};

namespace {

constexpr int kPDTableCount = g_nPPGPDSamplingCalibrationDataCount;
constexpr int kECGDCEntries = 2001;
constexpr int kPPGDCEntries = 3001;
constexpr int kErasedWord = 0xFFFF;

// The tables' storage: static, so no slot ever points at freed memory.
int s_pdTables[kPPGPDSamplingTableSlots][kPDTableCount];

void FillIdentity(int* table, int count) {
    for (int i = 0; i < count; ++i) {
        table[i] = i;
    }
}

bool Letters(const MODEL_INFORMATION& record, char a, char b) {
    return record.cProductName[0] == a && record.cProductName[1] == b;
}

uint16_t ModelNumber(const MODEL_INFORMATION& record) {
    return static_cast<uint16_t>((record.ucGeneration << 8) | record.ucModel);
}

// One photodiode table from the instrument into slot; `erasedAt` is the entry whose
// 0xFFFF marks the table erased (0 for channel 1, 1 for channel 2), as is a last entry
// of 0. An erased table, or one that could not be read, becomes the identity.
void LoadPDTable(PPGChannel channel, int slot, int erasedAt) {
    int scratch[kPDTableCount];
    int* table = scratch;
    int* target = g_pPPGPDSamplingCalibrationData[slot];
    if (target == nullptr) {
        return;
    }
    const bool read = ReadPPGCalibrationDataPDSampling(channel, table);
    if (!read || scratch[erasedAt] == kErasedWord || scratch[kPDTableCount - 1] == 0) {
        FillIdentity(target, kPDTableCount);
        return;
    }
    memcpy(target, scratch, sizeof scratch);
}

}  // namespace

int* PPGPDSamplingTable(int module, int channelIndex) {
    if (module < 0 || module >= kPPGModulesWithTables || channelIndex < 0 || channelIndex > 1) {
        return nullptr;
    }
    return g_pPPGPDSamplingCalibrationData[module * 2 + channelIndex];
}

void AllocatePPGPDSamplingTables() {
    CAutoCriticalSection lock(g_CriticalSection);
    for (int slot = 0; slot < kPPGPDSamplingTableSlots; ++slot) {
        FillIdentity(s_pdTables[slot], kPDTableCount);
        g_pPPGPDSamplingCalibrationData[slot] = s_pdTables[slot];
    }
}

void ReleasePPGPDSamplingTables() {
    CAutoCriticalSection lock(g_CriticalSection);
    for (int*& slot : g_pPPGPDSamplingCalibrationData) {
        slot = nullptr;
    }
}

void ForgetInstrumentCalibration() {
    for (int slot = 0; slot < kPPGPDSamplingTableSlots; ++slot) {
        if (g_pPPGPDSamplingCalibrationData[slot] != nullptr) {
            FillIdentity(s_pdTables[slot], kPDTableCount);
        }
    }
    memset(g_FPGA_PDRatio, 0, sizeof g_FPGA_PDRatio);
    {
        // A playback run builds its batches from these tables under the interrupt lock.
        CAutoCriticalSection interrupt(g_InterruptCriticalSection);
        SetDefaultECGDCVariableCalibrationData();
        memset(g_PPGDCTable, 0, sizeof g_PPGDCTable);
    }
    ResetRespirationTables();
}

bool ResetDeviceToDefaultStatus() {
    // Each setter takes the global lock itself; a failure does not stop the later ones.
    ORVDeviceSetElectrode(0);
    ORVDeviceEnableImpedance(0);
    ORVDeviceEnablePacing(0);
    ORVDeviceEnableRespiration(0);
    return ORVSetLEDAmbientLightMode(PPG_AMBIENT_LIGHT_MODE_0);
}

// The host ended the connection handling (ORVFree): the loading stops between tables, so
// the free is not held up by hundreds of exchanges whose results nobody will use.
namespace {
bool LoadingAbandoned() { return g_bStopConnectDeviceThread.load() != 0; }
}  // namespace

void InititalizeAfterConnected() {
    CAutoCriticalSection lock(g_CriticalSection);
    LoadPPGDCTable();
    LoadPPGPDSamplingCalibrationData();
    if (LoadingAbandoned()) {
        return;
    }
    LoadRespirationDACCalibrationData();
    if (g_DeviceFeature.bSeparatePPGModule != 0) {
        LoadECGDCVariableCalibrationData();
    }
    const bool model2112 = GetPPGFullModelNumber() == 0x2112;
    SetFactorySettingMCULoaded(false);
    if (model2112) {
        // Read before the factory backup, which writes the cached record back whole.
        LoadFactorySettingMCU();
    }
    CheckFactorySetting();
    if (model2112) {
        UpdateMCUTransmissionRate(800, 1023, 800, 1023);
        for (int row = 0; row < 3; ++row) {
            for (int col = 0; col < 8; ++col) {
                const float ratio = g_FactorySettingMCU.fPDRatio[row][col];
                g_FPGA_PDRatio[row][col] = (ratio == 0.0f || std::isnan(ratio)) ? 1.0f : ratio;
            }
        }
    }
    EnableDynamicLEDStrength(0);
}

void LoadPPGDCTable() {
    if (GetPPGFullModelNumber() != 0x2112) {
        return;
    }
    // Channels 1 and 2 only; channel 3 has no stored table on this model.
    for (int row = 0; row < 2; ++row) {
        uint16_t* table = g_PPGDCTable[row];
        ReadPPGDCTable(static_cast<PPGChannel>(row + 1), table, kPPGDCEntries);  // a failed read leaves the row
        if (table[kPPGDCEntries - 1] == kErasedWord) {
            for (int i = 0; i < kPPGDCEntries; ++i) {
                table[i] = static_cast<uint16_t>(i);
            }
        }
    }
}

void LoadPPGPDSamplingCalibrationData() {
    MODEL_INFORMATION record = {};
    if (!GetModelInfo(1, &record) || !Letters(record, 'Y', 'B')) {
        return;
    }
    const int selected = PPGModuleGetSelected();
    // Tables exist for modules 0..5 only, whatever the capability record says.
    const int modules = std::min(std::max(g_DeviceFeature.nPPGModuleNumber, 0), kPPGModulesWithTables);
    for (int m = 0; m < modules && !LoadingAbandoned(); ++m) {
        PPGModuleSetSelected(m);
        if (record.nLEDType[0] == 3) {
            continue;  // no LED on channel 1: nothing stored (the same answer for every module)
        }
        LoadPDTable(PPG_CHANNEL_1, 2 * m, 0);
        if (g_DeviceFeature.nPPGChannelNumber > 1) {
            LoadPDTable(PPG_CHANNEL_2, 2 * m + 1, 1);
        }
    }
    PPGModuleSetSelected(selected);
    const uint16_t model = ModelNumber(record);
    if (model == 0x2012 || model == 0x2014) {
        Hooks().sampling.fpgaSyncFromEEPROM();
    }
}

void LoadRespirationDACCalibrationData() {
    if (!ExtRespIsAvailable()) {
        return;
    }
    if (LoadRespirationRWA() && LoadRespirationBaselineDACTable()) {
        LoadRespirationRDAC3();
    }
}

void LoadECGDCVariableCalibrationData() {
    int scratch[kECGDCEntries];
    if (!ReadDCVariableCalibrationData(scratch)) {
        return;  // keep the table in force (the defaults after DoInit)
    }
    // A run the host started as soon as it heard of the connection builds its batches
    // from the table under the interrupt lock: the table changes between two batches.
    CAutoCriticalSection interrupt(g_InterruptCriticalSection);
    if (scratch[0] == kErasedWord) {
        SetDefaultECGDCVariableCalibrationData();
        return;
    }
    for (int i = 0; i < kECGDCEntries; ++i) {
        g_ECGDCVariableCalibrationData[i] = static_cast<uint16_t>(scratch[i]);
    }
}

bool LoadFactorySettingMCU() {
    FACTORY_SETTING_MCU record;
    if (!ReadFactorySettingMCU(&record)) {
        ForgetFactorySettingMCU();  // zeros, and the record writers refuse
        return false;
    }
    g_FactorySettingMCU = record;
    SetFactorySettingMCULoaded(true);
    return true;
}

void CheckFactorySetting() {
    // The backup replaces the stored record with the settings in force now, so it is
    // made only when the instrument showed that no valid backup is stored: a read that
    // failed on the way (no reply, refused) says nothing about the record and must not
    // overwrite a factory backup. A failed read leaves the record untouched, an erased
    // one reads 0xFF, so a marker in ucValid tells the two apart.
    constexpr uint8_t kNotRead = 0xA5;
    FACTORY_SETTING record = {};
    record.ucValid = kNotRead;
    const bool valid = ReadFactorySetting(&record);
    const bool erased = !valid && record.ucValid == 0xFF;
    if (erased || (valid && record.ucValid != 1)) {
        BackupFactorySetting();
    }
}

void ResetPostConnectionState() {
    ReleasePPGPDSamplingTables();
    memset(g_FPGA_PDRatio, 0, sizeof g_FPGA_PDRatio);
}
