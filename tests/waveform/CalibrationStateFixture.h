// Test fixture that keeps the process-wide calibration and identity state the waveform
// model reads, and restores it after each test, so tests can set a PPG model, a
// capability row or a table without leaking into the next test.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "protocol/Memory.h"
#include "protocol/Protocol.h"
#include "waveform/Calibration.h"

class CalibrationStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        model_ = g_PPGModelInfo;
        feature_ = g_DeviceFeature;
        factory_ = g_FactorySettingMCU;
        acLevel_ = g_nPPGACDacLevel;
        dcLevel_ = g_nPPGDCDacLevel;
        rateMode_ = g_nTransmissionRateMode;
        acAboveDC_ = g_bACAboveDC;
        conversion_ = g_bPPGAmplitudeConversion;
        std::memcpy(ecgTable_, g_ECGDCVariableCalibrationData, sizeof ecgTable_);
        std::memcpy(ppgTable_, g_PPGDCTable, sizeof ppgTable_);
        std::memcpy(acCalMode_, g_ACCalMode, sizeof acCalMode_);
    }

    void TearDown() override {
        g_PPGModelInfo = model_;
        g_DeviceFeature = feature_;
        g_FactorySettingMCU = factory_;
        g_nPPGACDacLevel = acLevel_;
        g_nPPGDCDacLevel = dcLevel_;
        g_nTransmissionRateMode = rateMode_;
        g_bACAboveDC = acAboveDC_;
        g_bPPGAmplitudeConversion = conversion_;
        std::memcpy(g_ECGDCVariableCalibrationData, ecgTable_, sizeof ecgTable_);
        std::memcpy(g_PPGDCTable, ppgTable_, sizeof ppgTable_);
        std::memcpy(g_ACCalMode, acCalMode_, sizeof acCalMode_);
    }

    static void SetPPGModel(uint16_t model) {
        g_PPGModelInfo.ucGeneration = static_cast<uint8_t>(model >> 8);
        g_PPGModelInfo.ucModel = static_cast<uint8_t>(model & 0xFF);
    }

    // The capability row of PPG model 0x2112: AC 0.1..300 mV, DC from 300 mV.
    static void Use2112() {
        SetPPGModel(0x2112);
        g_DeviceFeature = {1, 1, 0, 2, 1, 1, 0.1, 300, 300, 3000, 0.01, 20, 10, 8};
    }

    // The capability row of PPG model 0x2012: AC 0.75..30 mV, DC from 30 mV.
    static void Use2012() {
        SetPPGModel(0x2012);
        g_DeviceFeature = {1, 1, 3, 2, 1, 1, 0.75, 30, 30, 3000, 0.025, 30, 8, 8};
    }

    static void SetPPGChannel3(bool present) { g_PPGModelInfo.nLEDType[2] = present ? 0 : 3; }

private:
    MODEL_INFORMATION model_{};
    DEVICE_FEATURE feature_{};
    FACTORY_SETTING_MCU factory_{};
    double acLevel_ = 0;
    double dcLevel_ = 0;
    int rateMode_ = 0;
    int acAboveDC_ = 0;
    int conversion_ = 0;
    uint16_t ecgTable_[2001]{};
    uint16_t ppgTable_[3][3001]{};
    uint8_t acCalMode_[3]{};
};
