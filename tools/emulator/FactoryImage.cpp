#include "FactoryImage.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

void PutLe16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v & 0xFF));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutBe16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

// Floats and doubles in the host's little-endian IEEE layout.
void PutLe(Bytes& out, float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

void PutLe(Bytes& out, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<uint8_t>(bits >> (8 * i)));
}

Bytes Text(const std::string& text, size_t size) {
    Bytes out(text.begin(), text.end());
    out.resize(size, 0);
    return out;
}

std::string ModelText(const ModuleIdentity& m) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%c%c%04X SN%02X-%05u HW%u.%u", m.letters[0], m.letters[1], m.model, m.serialPrefix,
                  m.serial, m.hwMajor, m.hwMinor);
    return buf;
}

// The factory backup of the LED and trigger levels, made on an erased record: the
// channel-3 bytes (5, 6, 9, 12) are written only with more than two channels; bytes 13
// on stay erased.
Bytes FactorySetting(const std::map<uint8_t, uint16_t>& s, int channels) {
    Bytes r(64, 0xFF);
    if (channels > 2) {
        r[5] = static_cast<uint8_t>(s.at(18) & 0xFF);
        r[6] = static_cast<uint8_t>(s.at(19) & 0xFF);
        r[9] = static_cast<uint8_t>(s.at(18) >> 8);
        r[12] = static_cast<uint8_t>(s.at(19) >> 8);
    }
    r[0] = 1;
    const uint8_t low[] = {1, 2, 3, 4};
    for (int i = 0; i < 4; ++i)
        r[1 + i] = static_cast<uint8_t>(s.at(low[i]) & 0xFF);
    r[7] = static_cast<uint8_t>(s.at(1) >> 8);
    r[8] = static_cast<uint8_t>(s.at(2) >> 8);
    r[10] = static_cast<uint8_t>(s.at(3) >> 8);
    r[11] = static_cast<uint8_t>(s.at(4) >> 8);
    return r;
}

// The MCU factory record of PPG 0x2112 (256 bytes, little-endian).
Bytes FactorySettingMcu(const std::map<uint8_t, uint16_t>& s) {
    Bytes r;
    for (int c = 1; c <= 3; ++c)  // usACModeSetting[3(c-1)+m]
        for (uint8_t base : {uint8_t{21}, uint8_t{38}, uint8_t{41}})
            PutLe16(r, s.at(static_cast<uint8_t>(base + c - 1)));
    for (int c = 1; c <= 3; ++c)  // usACFullScaleDAC: a little under the 16-bit full scale
        for (int m = 0; m < 3; ++m)
            PutLe16(r, static_cast<uint16_t>(64000 + 300 * m + 10 * c));
    for (int c = 1; c <= 3; ++c)  // usRateLEDSetting[6(c-1)+r]
        for (int rate = 0; rate < 6; ++rate)
            PutLe16(r, static_cast<uint16_t>(800 - 40 * rate + c));
    for (int c = 1; c <= 3; ++c)  // usRateParamSetting
        for (int rate = 0; rate < 6; ++rate)
            PutLe16(r, static_cast<uint16_t>(1023 - 100 * rate));
    for (int row = 0; row < 3; ++row)  // fPDRatio
        for (int col = 0; col < 8; ++col)
            PutLe(r, 0.97f + 0.005f * static_cast<float>(row * 8 + col));
    r.resize(256, 0);
    return r;
}

}  // namespace

std::map<uint8_t, uint16_t> FactoryCalibrationSettings(const Profile&) {
    return {
        {1, 800},     {2, 800},     {18, 800},     // LED levels
        {3, 0x0200},  {4, 0x0200},  {19, 0x0200},  // trigger levels
        {5, 0x00},                                 // LED trigger status (read) / GPIO mode
        {6, 0x00},                                 // photodiode input selection
        {7, 0x00},                                 // working mode
        {8, 0xFFFF},                               // photodiode sampling range: full
        {17, 0x01},                                // LED matrix enabled
        {21, 0x0410}, {22, 0x0420}, {23, 0x0430},  // AC range 0 of channels 1-3
        {38, 0x0510}, {39, 0x0520}, {40, 0x0530},  // AC range 1
        {41, 0x0610}, {42, 0x0620}, {43, 0x0630},  // AC range 2
        {25, 1023},   {26, 1023},                  // second transmission-rate values
    };
}

void WriteFactoryImage(const Profile& p, MemoryImage& image) {
    using namespace memmap;
    const auto main = p.main.Record();
    image.Program(kMainIdentityTarget, 0, 0, Bytes(main.begin(), main.end()));

    // ECG DC-variable table: the nominal code of each offset (-1000..1000 mV) with a
    // small measured correction, so a loaded table differs from the host's defaults.
    Bytes ecg;
    for (int v = -1000; v <= 1000; ++v) {
        int code = static_cast<int>(0.5 + (1000 + v / 1.02) / 2000 * 4095) + 3;
        if (code > 4095)
            code = 4095;
        PutBe16(ecg, static_cast<uint16_t>(code));
    }
    image.Program(kEcgTarget, 0, kEcgDcVariable, ecg);
    image.Program(kEcgTarget, 0, kEcgMfgInfo, Text("ECG " + ModelText(p.main), 64));

    const ModuleIdentity& side = p.PpgSide();
    const auto ppgRecord = side.Record();
    const auto settings = FactoryCalibrationSettings(p);
    const bool yb = side.letters[0] == 'Y' && side.letters[1] == 'B';
    for (int bank = 0; bank < image.Banks(kPpgTarget); ++bank) {
        image.Program(kPpgTarget, bank, 0, Bytes(ppgRecord.begin(), ppgRecord.end()));
        image.Program(kPpgTarget, bank, kFactorySetting, FactorySetting(settings, p.ppgChannels));
        image.Program(kPpgTarget, bank, kPpgMfgInfo, Text("PPG " + ModelText(side), 64));
        if (yb) {
            // Photodiode-sampling tables: raw 0..1023 to calibrated values.
            Bytes ch1, ch2;
            for (int i = 0; i < 1024; ++i) {
                PutBe16(ch1, static_cast<uint16_t>(i * 1000 / 1023));
                PutBe16(ch2, static_cast<uint16_t>(5 + i * 990 / 1023));
            }
            image.Program(kPpgTarget, bank, kPdSampling1, ch1);
            image.Program(kPpgTarget, bank, kPdSampling2, ch2);
        }
        if (p.separatePpg && p.ppg.model == 0x2112) {
            image.Program(kPpgTarget, bank, kFactorySettingMcu, FactorySettingMcu(settings));
            // DC tables: DC level in whole mV (0..3000) to 16-bit DC DAC codes.
            for (int c = 1; c <= 2; ++c) {
                Bytes table;
                for (int mv = 0; mv <= 3000; ++mv)
                    PutLe16(table, static_cast<uint16_t>(400 + 20 * c + mv * 64000 / 3000));
                table.resize(8192, 0);
                image.Program(kPpgTarget, bank, c == 1 ? kPpgDcTable1 : kPpgDcTable2, table);
            }
        }
        if (p.separatePpg && p.ppg.model == 0x2012) {
            Bytes ratios;
            for (int row = 0; row < 3; ++row)
                for (int col = 0; col < 8; ++col)
                    PutLe(ratios, 0.95f + 0.01f * static_cast<float>(col) + 0.001f * static_cast<float>(row));
            image.Program(kPpgTarget, bank, kPdRatio, ratios);
        }
        if (p.extResp) {
            Bytes rwa;
            PutLe(rwa, kRwaMarker);
            for (double coef : {1.25, -0.5, 0.03, 0.0007})
                PutLe(rwa, coef);
            rwa.resize(64, 0);
            image.Program(kPpgTarget, bank, kRespirationRwa, rwa);
            Bytes baseline;
            for (int i = 0; i < 12; ++i)
                PutLe16(baseline, static_cast<uint16_t>(1000 + 250 * i));
            image.Program(kPpgTarget, bank, kRespirationBaseline, baseline);
            Bytes rdac3;
            for (int i = 0; i < 96; ++i)
                PutLe(rdac3, 0.5 + 0.01 * i);
            image.Program(kPpgTarget, bank, kRespirationRdac3, rdac3);
        }
    }
}

}  // namespace nvsemu
