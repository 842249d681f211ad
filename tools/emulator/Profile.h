// Profiles of the emulated instrument: which modules it is built from and what their
// identity records say. A profile is plain data; the firmware model (Firmware.h) takes
// one at construction and builds its memory image from it (FactoryImage.h).
//
// A main unit of the 0x40xx family serves its PPG side itself (the host then copies the
// main module's records and asks nothing of a PPG module); the other main units carry a
// separate module on the PPG side: a PPG module (letters YB) or the external-respiration
// module (letters XJ). The main units with a separate module are given model 0x2001,
// which no main-unit row of the host's capability table names, so the host looks the
// PPG side up on its own.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace nvsemu {

// One module's 12-byte identity record (stored at address 0 of target 0x01 or 0x13).
struct ModuleIdentity {
    char letters[2] = {'N', 'V'};
    uint16_t model = 0;  // generation (high byte) and model (low byte)
    uint8_t serialPrefix = 0;
    uint16_t serial = 0;  // stored big-endian
    uint8_t hwMajor = 1, hwMinor = 0;
    uint8_t fwMajor = 1, fwMinor = 0;

    // The record as the module stores it: 4F, letters, model, prefix, serial, versions.
    std::array<uint8_t, 12> Record() const;
    uint16_t FirmwareVersion() const { return static_cast<uint16_t>(fwMajor << 8 | fwMinor); }
};

struct Profile {
    std::string name;  // the --profile name of nvs-emulator
    ModuleIdentity main;
    bool separatePpg = false;                    // the PPG side is a module of its own
    ModuleIdentity ppg;                          // that module (ignored when !separatePpg)
    uint8_t fwRevision = 0;                      // byte 3 of the reply to AA 03
    bool mainDac16 = false;                      // reply byte 4 of 55 00 80 is 1: a 16-bit DAC
    bool ppgDac16 = false;                       // the same for 55 00 81
    int ppgModules = 1;                          // PPG modules the main unit selects (banks of target 0x13)
    bool fpga = false;                           // a photodiode FPGA sits on the PPG side
    bool fpgaAlive = true;                       // it answers CC 00 14 00 with 0xFF in byte 3
    bool extModuleB9 = false;                    // the extension-module version is asked as B9 00 01
    std::array<uint8_t, 2> extVersion = {0, 0};  // extension-module version bytes
    std::array<int, 3> ledTypes = {1, 2, 3};     // LED of PPG channels 1-3; 3: none
    bool extResp = false;                        // the external-respiration module (XJ) is the PPG side
    int ppgChannels = 2;                         // PPG channels served; the factory backup holds channel 3's
                                                 // levels with more than two

    // The PPG side's identity: the separate module's, or the main module's own.
    const ModuleIdentity& PpgSide() const { return separatePpg ? ppg : main; }

    // Main unit 0x4031 alone: the main module serves two PPG channels, six PPG modules.
    static Profile MainUnit4031();
    // Main unit with a separate PPG module YB 0x2001 (12-bit DACs).
    static Profile WithPpgYB2001();
    // PPG module 0x2012 with a photodiode FPGA (FPGA type 3); fpgaAlive as given.
    static Profile WithPpg2012Fpga(bool fpgaAlive = true);
    // PPG module 0x2112 with 16-bit DACs, its extension module asked as B9 00 01.
    static Profile WithPpg2112();
    // PPG module 0x2006: three PPG channels, the third one simulated by the module.
    static Profile WithPpg2006();
    // The external-respiration module XJ in the PPG module's place.
    static Profile WithExtRespXJ();
    // PPG module 0x3001: three PPG channels, each with its own LED drive.
    static Profile WithPpg3001();
    // PPG module 0x2005: one PPG channel, with channel 3 supported (simulated by the module).
    static Profile WithPpg2005();

    // The profile named `name` (see Names()); false when there is none.
    static bool ByName(const std::string& name, Profile& out);
    static std::vector<std::string> Names();
    static const char* DefaultName();  // the most representative: main + PPG 0x2112
};

}  // namespace nvsemu
