#include "Profile.h"

namespace nvsemu {

std::array<uint8_t, 12> ModuleIdentity::Record() const {
    return {0x4F,
            static_cast<uint8_t>(letters[0]),
            static_cast<uint8_t>(letters[1]),
            static_cast<uint8_t>(model >> 8),
            static_cast<uint8_t>(model & 0xFF),
            serialPrefix,
            static_cast<uint8_t>(serial >> 8),
            static_cast<uint8_t>(serial & 0xFF),
            hwMajor,
            hwMinor,
            fwMajor,
            fwMinor};
}

namespace {

ModuleIdentity Module(char a, char b, uint16_t model, uint8_t prefix, uint16_t serial, uint8_t hwMajor, uint8_t hwMinor,
                      uint8_t fwMajor, uint8_t fwMinor) {
    ModuleIdentity m;
    m.letters[0] = a;
    m.letters[1] = b;
    m.model = model;
    m.serialPrefix = prefix;
    m.serial = serial;
    m.hwMajor = hwMajor;
    m.hwMinor = hwMinor;
    m.fwMajor = fwMajor;
    m.fwMinor = fwMinor;
    return m;
}

// A main unit that carries a separate module on its PPG side. Its firmware 1.16 takes
// both bytes of a 16-bit calibration setting (1.15 and later do).
Profile MainWithModule(const char* name) {
    Profile p;
    p.name = name;
    p.main = Module('N', 'V', 0x2001, 0x00, 0x0011, 2, 1, 1, 16);
    p.separatePpg = true;
    p.fwRevision = 0x07;
    p.ppgModules = 1;
    return p;
}

}  // namespace

Profile Profile::MainUnit4031() {
    Profile p;
    p.name = "main-4031";
    // Firmware 1.05: the host sends the working mode to firmware 1.00 to 1.10, and
    // sends only the low byte of a 16-bit calibration setting before 1.15.
    p.main = Module('N', 'V', 0x4031, 0x01, 0x0123, 1, 2, 1, 5);
    p.separatePpg = false;
    p.fwRevision = 0x03;
    p.ppgModules = 6;
    p.ledTypes = {1, 2, 3};
    return p;
}

Profile Profile::WithPpgYB2001() {
    Profile p = MainWithModule("yb-2001");
    p.ppg = Module('Y', 'B', 0x2001, 0x02, 0x0456, 1, 0, 2, 3);
    p.ledTypes = {1, 2, 3};
    return p;
}

Profile Profile::WithPpg2012Fpga(bool fpgaAlive) {
    Profile p = MainWithModule(fpgaAlive ? "yb-2012-fpga" : "yb-2012-fpga-dead");
    p.main.fwMinor = 14;  // 1.14: 8-bit calibration writes
    p.ppg = Module('Y', 'B', 0x2012, 0x02, 0x0789, 1, 1, 2, 5);
    p.fpga = true;
    p.fpgaAlive = fpgaAlive;
    p.extVersion = {0x01, 0x04};
    p.ledTypes = {1, 2, 3};
    return p;
}

Profile Profile::WithPpg2112() {
    Profile p = MainWithModule("yb-2112");
    p.ppg = Module('Y', 'B', 0x2112, 0x03, 0x1001, 2, 0, 3, 1);
    p.ppgDac16 = true;
    p.extModuleB9 = true;
    p.extVersion = {0x02, 0x01};
    p.ledTypes = {1, 2, 3};
    return p;
}

Profile Profile::WithPpg2006() {
    Profile p = MainWithModule("yb-2006");
    p.ppg = Module('Y', 'B', 0x2006, 0x02, 0x0606, 1, 1, 2, 4);
    p.ledTypes = {1, 2, 0};  // channel 3 lit in the pulse group's slots
    return p;
}

Profile Profile::WithExtRespXJ() {
    Profile p = MainWithModule("xj");
    p.ppg = Module('X', 'J', 0x1001, 0x04, 0x0042, 1, 0, 1, 2);
    p.extResp = true;
    p.ledTypes = {3, 3, 3};  // the respiration module drives no LED
    return p;
}

Profile Profile::WithPpg3001() {
    Profile p = MainWithModule("yb-3001");
    p.ppg = Module('Y', 'B', 0x3001, 0x02, 0x3001, 1, 2, 2, 6);
    p.ppgChannels = 3;
    p.ledTypes = {1, 2, 0};
    return p;
}

Profile Profile::WithPpg2005() {
    Profile p = MainWithModule("yb-2005");
    p.ppg = Module('Y', 'B', 0x2005, 0x02, 0x0505, 1, 1, 2, 4);
    p.ppgChannels = 1;
    p.ledTypes = {1, 2, 0};  // channel 3 lit in the pulse group's slots
    return p;
}

bool Profile::ByName(const std::string& name, Profile& out) {
    if (name == "main-4031")
        out = MainUnit4031();
    else if (name == "yb-2001")
        out = WithPpgYB2001();
    else if (name == "yb-2012-fpga")
        out = WithPpg2012Fpga(true);
    else if (name == "yb-2012-fpga-dead")
        out = WithPpg2012Fpga(false);
    else if (name == "yb-2112")
        out = WithPpg2112();
    else if (name == "yb-2006")
        out = WithPpg2006();
    else if (name == "xj")
        out = WithExtRespXJ();
    else if (name == "yb-3001")
        out = WithPpg3001();
    else if (name == "yb-2005")
        out = WithPpg2005();
    else
        return false;
    return true;
}

std::vector<std::string> Profile::Names() {
    return {"main-4031", "yb-2001", "yb-2012-fpga", "yb-2012-fpga-dead", "yb-2112", "yb-2006",
            "xj",        "yb-3001", "yb-2005"};
}

const char* Profile::DefaultName() { return "yb-2112"; }

}  // namespace nvsemu
