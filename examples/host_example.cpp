// Example host: drives the instrument through the library's public interface only
// (api/nvs300.h and libnvs), against the instrument emulator running in this process.
//
// As root the emulator's port is linked as /dev/ttyACM126, where the shipped library
// scans, and the host connects with ORVConnect. Without root no link can be made under
// /dev, so the host opens the emulator's port itself and hands it over with
// ORVSetDeviceHandle; the library identifies the instrument on it (there is then no
// connection thread, no listener notice and no loading of the stored calibration).
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

#include "Emulator.h"
#include "Firmware.h"
#include "nvs300.h"

namespace {

constexpr unsigned kPort = 126;
constexpr unsigned kConnectTimeoutMs = 20000;

void PrintModule(const char* what, const MODEL_INFORMATION& m, const HW_INFORMATION& hw) {
    std::printf("%s: %c%c model %02X%02X, serial prefix %d, serial %d; hardware %d.%d, firmware %d.%d (revision %d)\n",
                what, m.cProductName[0] ? m.cProductName[0] : '-', m.cProductName[1] ? m.cProductName[1] : '-',
                m.ucGeneration, m.ucModel, m.nSerialPrefix, m.iSerialNumber, hw.nHWMajor, hw.nHWMinor, hw.nFWMajor,
                hw.nFWMinor, hw.nFWRevision);
}

}  // namespace

int main() {
    nvsemu::Emulator emulator;
    if (!emulator.Start()) {
        std::fprintf(stderr, "cannot open a pseudo-terminal\n");
        return 1;
    }
    emulator.SetResponder(std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpg2112()));

    const std::string node = "/dev/ttyACM" + std::to_string(kPort);
    bool connected = false;
    int handedOver = -1;
    if (geteuid() == 0) {
        unlink(node.c_str());
        if (!emulator.LinkAs(node)) {
            std::fprintf(stderr, "cannot link %s\n", node.c_str());
            return 1;
        }
        std::printf("path: root, emulator linked as %s; ORVConnect(%u)\n", node.c_str(), kPort);
        connected = ORVConnect(kPort, kConnectTimeoutMs);
    } else {
        handedOver = open(emulator.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        std::printf("path: not root, no link under /dev possible; port %s handed over with ORVSetDeviceHandle\n",
                    emulator.SlavePath().c_str());
        if (handedOver >= 0) {
            ORVSetDeviceHandle(reinterpret_cast<void*>(static_cast<intptr_t>(handedOver)));
            connected = ORVGetDeviceHandle() != reinterpret_cast<void*>(-1) && ORVGetSerialNumber()[0] != '\0';
        }
    }
    if (!connected) {
        std::fprintf(stderr, "no instrument found\n");
        return 1;
    }

    const int version = ORVGetVersion();
    std::printf("library version %d.%d.%d.%d\n", (version >> 24) & 0xFF, (version >> 16) & 0xFF, (version >> 8) & 0xFF,
                version & 0xFF);
    std::printf("serial number %s, PPG side %s\n", ORVGetSerialNumber(), ORVGetPPGSerialNumber());
    MODEL_INFORMATION main = {}, ppg = {};
    HW_INFORMATION mainHw = {}, ppgHw = {};
    ORVGetDeviceInformation(&main);
    ORVGetHWInformation(&mainHw);
    ORVGetPPGDeviceInformation(&ppg);
    ORVGetPPGHWInformation(&ppgHw);
    PrintModule("main module", main, mainHw);
    PrintModule("PPG side", ppg, ppgHw);
    DEVICE_FEATURE feature = {};
    ORVGetDeviceFeature(&feature);
    std::printf(
        "capabilities: separate PPG module %d, %d PPG module(s), %d PPG channel(s), FPGA type %d, "
        "AC %.3g..%.3g mV, DC %.3g..%.3g mV\n",
        feature.bSeparatePPGModule, feature.nPPGModuleNumber, feature.nPPGChannelNumber, feature.nFPGAType,
        feature.fACMinimum, feature.fACMaximum, feature.fDCMinimum, feature.fDCMaximum);

    const bool set = ORVSetLEDAmbientLightMode(static_cast<PPGAmbientLightMode>(3));
    const int mode = ORVGetLEDAmbientLightMode();
    std::printf("ambient-light mode set to 3: %s, read back %d\n", set ? "accepted" : "refused", mode);
    PPG_LED_PULSE_GROUP_SETTING group = {{2, 4, 0, 0, 0, 0, 0, 0}, 4000}, back = {};
    const bool wrote = ORVWriteLEDPulseGroupSetting(&group);
    const bool read = ORVReadLEDPulseGroupSetting(&back);
    std::printf("LED pulse group written: %s, read back slots %d %d, period %u\n", wrote ? "yes" : "no", back.ucSlot[0],
                back.ucSlot[1], back.usPeriod);

    // Standalone mode: the ECG goes to slot 1, where the instrument can play it alone.
    ECG_WAVEFORM ecg = {};
    ecg.nWaveformType = 6;  // ECG beat, 60 per minute
    ecg.fFrequency = 1.0;
    ecg.fAmplitude = 1.0;
    ecg.fTAmplitude = 0.3;
    ecg.fPAmplitude = 0.2;
    ecg.nRRInterval = 1000;
    ecg.nPRInterval = 160;
    ecg.nQRSWidth = 100;
    ecg.nQTInterval = 400;
    ecg.nPacingRate = 60;
    ecg.fSampleRateKHz = 1.0;
    const int stored = ORVWriteECGModeToStandaloneMode(1, &ecg);
    std::printf("ECG stored in standalone slot 1: result %d\n", stored);
    for (int slot = 1; slot <= 3; ++slot) {
        std::printf("standalone slot %d holds kind %d\n", slot, ORVReadStandaloneModeType(slot));
    }
    ECG_WAVEFORM slot1 = {};
    const int readBack = ORVReadECGModeFromStandaloneMode(1, &slot1);
    std::printf("slot 1 read back: result %d, heart rate %.0f per minute, R wave %.2f mV\n", readBack,
                60.0 * slot1.fFrequency, slot1.fAmplitude);

    if (handedOver >= 0) {
        ORVSetDeviceHandle(nullptr);  // the library closes the port it took over
    }
    ORVFree();
    emulator.Stop();
    if (geteuid() == 0) {
        unlink(node.c_str());
    }
    const bool ok = set && mode == 3 && wrote && read && back.usPeriod == 4000 && stored == 0 && readBack == 0;
    std::printf("%s\n", ok ? "done" : "a setting did not read back");
    return ok ? 0 : 1;
}
