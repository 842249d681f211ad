// The standalone-mode functions against the firmware model: every kind stored and read
// back, the result codes, the blocks a slot keeps, and the frame around a running output.
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "WaveformRecords.h"
#include "api/Connection.h"
#include "output/Output.h"
#include "platform/Device.h"
#include "protocol/Wire.h"

namespace {

using nvsemu::Fault;
using nvsemu::Firmware;
using nvsemu::Profile;

// What a kind carries (the test's own copy of the slot table).
struct Needs {
    bool ecg;
    int ppg;
    bool transit;
};
Needs NeedsOf(int type) {
    switch (type) {
        case 1:
            return {true, 0, false};
        case 2:
            return {true, 1, true};
        case 4:
            return {false, 1, false};
        case 3:
        case 5:
            return {false, 2, false};
        case 6:
            return {true, 2, true};
        case 7:
            return {true, 3, true};
        default:
            return {false, 3, false};
    }
}

using SlotCall = std::function<int(int slot, int transit, int* transitOut, ECG_WAVEFORM*, PPG_WAVEFORM*, PPG_WAVEFORM*,
                                   PPG_WAVEFORM*)>;

struct Function {
    const char* name;
    int type;  // 0: the type reader
    bool write;
    SlotCall call;
};

// Every exported slot function behind one signature; the parameters a function does not
// take are dropped.
const std::vector<Function>& Functions() {
    static const std::vector<Function> all = {
        {"ReadType", 0, false,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM*, PPG_WAVEFORM*, PPG_WAVEFORM*) {
             return ORVReadStandaloneModeType(s);
         }},
        {"WriteECG", 1, true,
         [](int s, int, int*, ECG_WAVEFORM* e, PPG_WAVEFORM*, PPG_WAVEFORM*, PPG_WAVEFORM*) {
             return ORVWriteECGModeToStandaloneMode(s, e);
         }},
        {"ReadECG", 1, false,
         [](int s, int, int*, ECG_WAVEFORM* e, PPG_WAVEFORM*, PPG_WAVEFORM*, PPG_WAVEFORM*) {
             return ORVReadECGModeFromStandaloneMode(s, e);
         }},
        {"WritePWV", 2, true,
         [](int s, int t, int*, ECG_WAVEFORM* e, PPG_WAVEFORM* p1, PPG_WAVEFORM*, PPG_WAVEFORM*) {
             return ORVWritePWVModeToStandaloneMode(s, t, e, p1);
         }},
        {"ReadPWV", 2, false,
         [](int s, int, int* t, ECG_WAVEFORM* e, PPG_WAVEFORM* p1, PPG_WAVEFORM*, PPG_WAVEFORM*) {
             return ORVReadPWVModeFromStandaloneMode(s, t, e, p1);
         }},
        {"WriteSPO2", 3, true,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM*) {
             return ORVWriteSPO2ModeToStandaloneMode(s, p1, p2);
         }},
        {"ReadSPO2", 3, false,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM*) {
             return ORVReadSPO2ModeFromStandaloneMode(s, p1, p2);
         }},
        {"WritePPG", 4, true,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM*, PPG_WAVEFORM*) {
             return ORVWritePPGModeToStandaloneMode(s, p1);
         }},
        {"ReadPPG", 4, false,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM*, PPG_WAVEFORM*) {
             return ORVReadPPGModeFromStandaloneMode(s, p1);
         }},
        {"WritePPGEx", 5, true,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM*) {
             return ORVWritePPGModeExToStandaloneMode(s, p1, p2);
         }},
        {"ReadPPGEx", 5, false,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM*) {
             return ORVReadPPGModeExFromStandaloneMode(s, p1, p2);
         }},
        {"WritePWVEx", 6, true,
         [](int s, int t, int*, ECG_WAVEFORM* e, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM*) {
             return ORVWritePWVModeExToStandaloneMode(s, t, e, p1, p2);
         }},
        {"ReadPWVEx", 6, false,
         [](int s, int, int* t, ECG_WAVEFORM* e, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM*) {
             return ORVReadPWVModeExFromStandaloneMode(s, t, e, p1, p2);
         }},
        {"WritePWVPPG3", 7, true,
         [](int s, int t, int*, ECG_WAVEFORM* e, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM* p3) {
             return ORVWritePWVModePPG3ToStandaloneMode(s, t, e, p1, p2, p3);
         }},
        {"ReadPWVPPG3", 7, false,
         [](int s, int, int* t, ECG_WAVEFORM* e, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM* p3) {
             return ORVReadPWVModePPG3FromStandaloneMode(s, t, e, p1, p2, p3);
         }},
        {"WriteSPO2PPG3", 8, true,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM* p3) {
             return ORVWriteSPO2ModePPG3ToStandaloneMode(s, p1, p2, p3);
         }},
        {"ReadSPO2PPG3", 8, false,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM* p3) {
             return ORVReadSPO2ModePPG3FromStandaloneMode(s, p1, p2, p3);
         }},
        {"WritePPGPPG3", 9, true,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM* p3) {
             return ORVWritePPGModePPG3ToStandaloneMode(s, p1, p2, p3);
         }},
        {"ReadPPGPPG3", 9, false,
         [](int s, int, int*, ECG_WAVEFORM*, PPG_WAVEFORM* p1, PPG_WAVEFORM* p2, PPG_WAVEFORM* p3) {
             return ORVReadPPGModePPG3FromStandaloneMode(s, p1, p2, p3);
         }},
    };
    return all;
}

const Function& Writer(int type) {
    for (const Function& f : Functions()) {
        if (f.write && f.type == type) {
            return f;
        }
    }
    throw std::logic_error("no writer");
}

const Function& Reader(int type) {
    for (const Function& f : Functions()) {
        if (!f.write && f.type == type) {
            return f;
        }
    }
    throw std::logic_error("no reader");
}

// The records of a store and of a read-back.
struct Records {
    ECG_WAVEFORM ecg;
    PPG_WAVEFORM ppg[3];
    int transit;
};

// What a store starts from: a paced beat of exactly 60 per minute, three PPG channels of
// different shapes.
Records Given() {
    Records r = {};
    r.ecg = records::EcgBeat(1000);
    r.ecg.fFrequency = 1.0;
    r.ecg.nImpedance = 1;
    r.ecg.nElectrode = 2;
    r.ecg.bPacingEnable = 1;
    r.ecg.nPacingRate = 75;
    r.ppg[0] = records::PpgPulse(3, 1.0, 1000, 80.0);
    r.ppg[1] = records::PpgSine(1.25, 500.0, 100.0);
    r.ppg[2] = records::PpgPulse(16, 1.0, 800, 40.0);
    r.transit = 0;
    return r;
}

int Call(const Function& f, int slot, Records& r) {
    return f.call(slot, r.transit, &r.transit, &r.ecg, &r.ppg[0], &r.ppg[1], &r.ppg[2]);
}

class StandaloneApi : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        Plug(Profile::WithPpg2112());
        ASSERT_TRUE(Connect());
    }

    // The slot requests since the last ClearSent, one token each, a run of raw packets of
    // one sub-command as one: "S01" setting write, "R04" raw upload, "s01" setting read,
    // "r00"/"w00" block read/write, "W1=07" ROM write, "R1" ROM read, "a?"/"a=" ambient
    // mode read/write.
    std::vector<std::string> Log() const {
        std::vector<std::string> out;
        for (const Bytes& b : Sent()) {
            char t[16] = "";
            if (b.size() >= 3 && b[0] == 0xB0 && b[2] == 0x10) {
                snprintf(t, sizeof t, "a%c", b[1] == 0xFF ? '=' : '?');
            } else if (b.size() < 3 || b[0] != 0xEA) {
                continue;
            } else if (b[2] == 0x07) {
                if (b[1] == 0xFF) {
                    snprintf(t, sizeof t, "W%d=%02X", b[4], b[5]);
                } else {
                    snprintf(t, sizeof t, "R%d", b[4]);
                }
            } else if (b[2] == 0x00) {
                snprintf(t, sizeof t, "%c00", b[1] == 0xFF ? 'w' : 'r');
            } else if (b[1] == 0xFF && (b[2] == 0x04 || b[2] == 0x05 || b[2] == 0x06 || b[2] == 0x09)) {
                snprintf(t, sizeof t, "R%02X", b[2]);
                if (!out.empty() && out.back() == t) {
                    continue;
                }
            } else {
                snprintf(t, sizeof t, "%c%02X", b[1] == 0xFF ? 'S' : 's', b[2]);
            }
            out.push_back(t);
        }
        return out;
    }

    // Requests of the 0xEA family (settings, raw data, block, ROM).
    std::vector<Bytes> DeviceRequests() const { return SentWith({0xEA}); }
};

std::string Joined(const std::vector<std::string>& v) {
    std::string s;
    for (const std::string& t : v) {
        s += (s.empty() ? "" : " ") + t;
    }
    return s;
}

// The requests of a store and of a read-back of a kind, in their order.
std::string ExpectedStore(int type, int slot) {
    static const char* setting[] = {"S01", "S02", "S03", "S08"};
    static const char* raw[] = {"R04", "R05", "R06", "R09"};
    const Needs n = NeedsOf(type);
    std::vector<std::string> v;
    if (n.ecg) {
        v = {setting[0], raw[0]};
    }
    for (int c = 1; c <= n.ppg; ++c) {
        v.push_back(setting[c]);
        v.push_back(raw[c]);
    }
    char rom[16];
    snprintf(rom, sizeof rom, "W%d=%02X", slot, type);
    for (const std::string& t : std::vector<std::string>{"r00", "a?", "w00", rom, "R" + std::to_string(slot), "R0"}) {
        v.push_back(t);
    }
    return Joined(v);
}

std::string ExpectedRead(int type, int slot) {
    static const char* setting[] = {"s01", "s02", "s03", "s08"};
    const Needs n = NeedsOf(type);
    std::vector<std::string> v = {"R" + std::to_string(slot), "R0", "r00"};
    if (n.ecg) {
        v.push_back(setting[0]);
    }
    for (int c = 1; c <= n.ppg; ++c) {
        v.push_back(setting[c]);
    }
    v.push_back("a=");
    return Joined(v);
}

TEST_F(StandaloneApi, EveryKindStoredAndReadBack) {
    for (int type = 1; type <= 9; ++type) {
        SCOPED_TRACE(Writer(type).name);
        const int slot = 1 + type % 3;
        const Needs n = NeedsOf(type);
        Records host = Given();
        host.transit = type == 6 ? -5000 : 120;  // type 6: below nTime1 - RR
        const Records given = host;
        ClearSent();
        ASSERT_EQ(Call(Writer(type), slot, host), 0);
        EXPECT_EQ(0, memcmp(&host, &given, sizeof host)) << "the host's records are copied, not changed";
        EXPECT_EQ(Joined(Log()), ExpectedStore(type, slot));
        EXPECT_EQ(Fw().RomAt(static_cast<uint8_t>(slot)), type);
        if (n.transit) {
            const Bytes ecgBlock = Fw().Setting(0);
            ASSERT_EQ(ecgBlock.size(), 58u);
            EXPECT_EQ(static_cast<int16_t>(ecgBlock[48] << 8 | ecgBlock[49]), host.transit);
            EXPECT_LT(ecgBlock[50] << 8 | ecgBlock[51], given.ecg.nRRInterval) << "the delay lies within one RR";
        }

        Records back = {};
        ClearSent();
        ASSERT_EQ(Call(Reader(type), slot, back), 0);
        EXPECT_EQ(Joined(Log()), ExpectedRead(type, slot));
        EXPECT_EQ(ORVReadStandaloneModeType(slot), type);
        if (n.transit) {
            EXPECT_EQ(back.transit, host.transit);
        }
        if (n.ecg) {
            const ECG_WAVEFORM& e = back.ecg;
            EXPECT_EQ(e.nWaveformType, given.ecg.nWaveformType);
            EXPECT_DOUBLE_EQ(e.fFrequency, given.ecg.fFrequency);
            EXPECT_EQ(e.nRRInterval, given.ecg.nRRInterval);
            EXPECT_NEAR(e.fAmplitude, given.ecg.fAmplitude, 0.005);
            EXPECT_NEAR(e.fTAmplitude, given.ecg.fTAmplitude, 0.005);
            EXPECT_EQ(e.nQRSWidth, given.ecg.nQRSWidth);
            EXPECT_EQ(e.nPRInterval, given.ecg.nPRInterval);
            EXPECT_EQ(e.nQTInterval, given.ecg.nQTInterval);
            EXPECT_EQ(e.nImpedance, 1);
            EXPECT_EQ(e.nElectrode, 2);
            EXPECT_EQ(e.bPacingEnable, 0xFF);
            EXPECT_EQ(e.nPacingRate, 75);
            EXPECT_EQ(e.nRespirationMode, 0);
        } else {
            const ECG_WAVEFORM zero = {};
            EXPECT_EQ(back.ecg.nWaveformType, zero.nWaveformType) << "not read";
            EXPECT_EQ(back.ecg.nRRInterval, zero.nRRInterval) << "not read";
        }
        for (int c = 0; c < 3; ++c) {
            SCOPED_TRACE(c + 1);
            const PPG_WAVEFORM& p = back.ppg[c];
            if (c >= n.ppg) {
                EXPECT_EQ(p.nWaveformType, 0) << "not read";
                continue;
            }
            const PPG_WAVEFORM& g = given.ppg[c];
            EXPECT_EQ(p.nWaveformType, g.nWaveformType);
            EXPECT_NEAR(p.fFrequency, g.fFrequency, 1.0 / 60);
            EXPECT_NEAR(p.fAmplitude1, g.fAmplitude1, 0.01 * g.fAmplitude1 + 0.01);
            EXPECT_NEAR(p.fDCLevel, g.fDCLevel, 0.01 * g.fDCLevel + 1.0);
            EXPECT_EQ(p.nTime1, g.nTime1);
            EXPECT_EQ(p.nTime2, g.nTime2);
            EXPECT_EQ(p.nTime3, g.nTime3);
            EXPECT_EQ(p.nRespirationMode, 0);
        }
    }
}

// Kinds that store the same records send the same requests; only the type byte differs.
TEST_F(StandaloneApi, TwinKindsDifferOnlyInTheTypeByte) {
    for (const auto& [a, b] : {std::pair<int, int>{3, 5}, {8, 9}}) {
        SCOPED_TRACE(a);
        std::vector<Bytes> sent[2];
        for (int k = 0; k < 2; ++k) {
            Records host = Given();
            ClearSent();
            ASSERT_EQ(Call(Writer(k == 0 ? a : b), 2, host), 0);
            sent[k] = DeviceRequests();
        }
        ASSERT_EQ(sent[0].size(), sent[1].size());
        for (size_t i = 0; i < sent[0].size(); ++i) {
            Bytes x = sent[0][i], y = sent[1][i];
            if (x.size() == 6 && x[1] == 0xFF && x[2] == 0x07) {
                EXPECT_EQ(x[5], a);
                EXPECT_EQ(y[5], b);
                x[5] = y[5] = 0;
            }
            EXPECT_EQ(x, y) << "request " << i;
        }
    }
}

TEST_F(StandaloneApi, BadSlotsAndMissingRecordsSendNothing) {
    Records host = Given();
    for (const Function& f : Functions()) {
        SCOPED_TRACE(f.name);
        for (int slot : {0, 4, -1, INT_MIN, INT_MAX}) {
            SCOPED_TRACE(slot);
            ClearSent();
            EXPECT_EQ(Call(f, slot, host), f.type == 0 ? 10 : 3);
            EXPECT_TRUE(DeviceRequests().empty());
        }
        if (f.type == 0) {
            continue;
        }
        // The last record the kind needs is missing.
        const Needs n = NeedsOf(f.type);
        PPG_WAVEFORM* p[3] = {&host.ppg[0], &host.ppg[1], &host.ppg[2]};
        ECG_WAVEFORM* e = &host.ecg;
        if (n.ppg > 0) {
            p[n.ppg - 1] = nullptr;
        } else {
            e = nullptr;
        }
        ClearSent();
        EXPECT_EQ(f.call(1, 0, nullptr, e, p[0], p[1], p[2]), 3);
        EXPECT_TRUE(DeviceRequests().empty());
        if (n.transit && f.write) {
            Records zero = Given();
            zero.ecg.nRRInterval = 0;  // the PPG delay would divide by it
            ClearSent();
            EXPECT_EQ(Call(f, 1, zero), 3);
            EXPECT_TRUE(DeviceRequests().empty());
        }
    }
    EXPECT_EQ(Fw().RomAt(1), 0xFF);
}

TEST_F(StandaloneApi, AnotherKindOrAnEmptySlotReadsAsFour) {
    Records host = Given();
    ASSERT_EQ(Call(Writer(4), 1, host), 0);
    Records before;
    memset(&before, 0x5A, sizeof before);
    for (int type = 1; type <= 9; ++type) {
        if (type == 4) {
            continue;
        }
        SCOPED_TRACE(type);
        for (int slot : {1, 3}) {  // slot 3 was never written: 0xFF
            Records back = before;
            ClearSent();
            EXPECT_EQ(Call(Reader(type), slot, back), 4);
            EXPECT_EQ(0, memcmp(&back, &before, sizeof back)) << "host records untouched";
            EXPECT_EQ(Joined(Log()), "R" + std::to_string(slot) + " R0");
        }
    }
    EXPECT_EQ(ORVReadStandaloneModeType(3), 0xFF);
}

TEST_F(StandaloneApi, FailedExchangesGiveTwo) {
    struct Case {
        const char* name;
        std::function<void()> plan;
        int type;
        bool write;
        bool romWritten;  // the ROM write went out
    };
    const Case cases[] = {
        {"refused raw packet",
         [this] {
             Fw().RefuseRequests({0xEA, 0xFF, 0x04});
         },
         1, true, false},
        {"dropped block reply",
         [this] {
             emu_.FaultOnHeader({0xEA, 0x00, 0x00, 0x00}, Fault::Drop());
         },
         4, true, false},
        {"short block reply",
         [this] {
             emu_.FaultOnHeader({0xEA, 0x00, 0x00, 0x00}, Fault::Truncate(20));
         },
         4, false, false},
        {"refused block read",
         [this] {
             Fw().RefuseRequests({0xEA, 0x00, 0x00, 0x00});
         },
         4, false, false},
        {"refused setting read",
         [this] {
             Fw().RefuseRequests({0xEA, 0x00, 0x02});
         },
         4, false, false},
        {"read-back differs",
         [this] {
             emu_.FaultOnHeader({0xEA, 0x00, 0x07, 0x00, 0x00, 0x00}, Fault::Alter({{5, 0x77}}));
         },
         1, true, true},
        {"silent ROM",
         [this] {
             emu_.FaultOnHeader({0xEA, 0x00, 0x07}, Fault::Drop(), 0);
         },
         4, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Records host = Given();
        if (!c.write) {
            ASSERT_EQ(Call(Writer(c.type), 2, host), 0);
        }
        const uint8_t rom = Fw().RomAt(2);
        c.plan();
        ClearSent();
        EXPECT_EQ(Call(c.write ? Writer(c.type) : Reader(c.type), 2, host), 2);
        EXPECT_EQ(SentWith({0xEA, 0xFF, 0x07}).size(), c.romWritten ? 1u : 0u);
        if (!c.romWritten) {
            EXPECT_EQ(Fw().RomAt(2), rom);
        }
        emu_.ClearFaults();
        Fw().ClearRefusals();
        Fw().SetRom(2, 0xFF);
    }
}

TEST_F(StandaloneApi, RomBusyForAFewReadsThenDone) {
    Fw().SetRomBusyReads(3);
    Records host = Given();
    ClearSent();
    ASSERT_EQ(Call(Writer(1), 3, host), 0);
    EXPECT_EQ(SentWith({0xEA, 0x00, 0x07, 0x00, 0x03}).size(), 4u);  // three refused, one answered
    EXPECT_EQ(ORVReadStandaloneModeType(3), 1);
}

// The instrument never answers a ROM read again: the store gives up after its bounded
// wait of about 16 s (80 tries, 200 ms after each).
TEST_F(StandaloneApi, RomBusyForEverGivesUp) {
    Fw().SetRomBusyReads(Firmware::kNeverDone);
    Records host = Given();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(Writer(1), 1, host), 2);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(s, 15.0);
    EXPECT_LT(s, 40.0);
    EXPECT_EQ(SentWith({0xEA, 0x00, 0x07, 0x00, 0x01}).size(), 80u);
}

// Unplugged in the middle of an upload: the store fails at once; ROM and slots live on
// in the instrument and read back after the reconnection.
TEST_F(StandaloneApi, UnplugMidUploadThenSlotsSurvive) {
    ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(port_)));  // the emulator's unplug and replug move the node
    Records host = Given();
    ASSERT_EQ(Call(Writer(1), 1, host), 0);
    const unsigned loads = ConnectionLoadCount();
    emu_.FaultOnHeader({0xEA, 0xFF, 0x05}, Fault::Unplug());
    EXPECT_EQ(Call(Writer(4), 2, host), 2);
    EXPECT_EQ(ORVReadStandaloneModeType(1), 10);  // no instrument
    ASSERT_TRUE(WaitUntil([] { return DeviceIsConnected() == 0; }, 15000)) << "the unplug was noticed";
    ASSERT_TRUE(emu_.Replug());
    ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() != loads; }, 30000)) << "reconnected";
    EXPECT_EQ(ORVReadStandaloneModeType(1), 1);
    EXPECT_EQ(ORVReadStandaloneModeType(2), 0xFF);
    Records back = {};
    EXPECT_EQ(Call(Reader(1), 1, back), 0);
    EXPECT_EQ(back.ecg.nRRInterval, host.ecg.nRRInterval);
}

// A slot without ECG: the block carries the first PPG record's rate and respiration
// byte, no pacing, and the ambient-light mode in force, which the read-back restores.
TEST_F(StandaloneApi, PPGOnlyBlockAndTheAmbientMode) {
    ASSERT_TRUE(ORVSetLEDAmbientLightMode(static_cast<PPGAmbientLightMode>(6)));
    Records host = Given();
    host.ppg[0].nRespirationMode = 0xFF;
    ASSERT_EQ(Call(Writer(5), 1, host), 0);
    const std::array<uint8_t, 57> b = Fw().ControlBlock();
    const PPG_WAVEFORM& copy = g_PPGChannelWaveform[0];  // the normalised copy
    EXPECT_EQ(b[6] << 8 | b[7], static_cast<int>(1000 * copy.fSampleRateKHz));
    EXPECT_EQ(b[8] << 8 | b[9], copy.nSampleFraction);
    EXPECT_EQ(b[10] << 8 | b[11], 0);
    EXPECT_EQ(wire::GetBE32(&b[16]), 80000u);
    EXPECT_EQ(b[5], 0xFF);
    EXPECT_EQ(b[56], 6);

    ASSERT_TRUE(ORVSetLEDAmbientLightMode(static_cast<PPGAmbientLightMode>(2)));
    Records back = {};
    ASSERT_EQ(Call(Reader(5), 1, back), 0);
    EXPECT_EQ(Fw().AmbientLightMode(), 6);
    EXPECT_EQ(back.ppg[0].nRespirationMode, 0xFF);
    EXPECT_EQ(back.ppg[1].nRespirationMode, 0xFF);
}

// External respiration excludes pacing: the block's byte 5 reads back as respiration
// mode 0x80 on the ECG record and 0xFF on the PPG record, pacing off as rate 60.
TEST_F(StandaloneApi, ExternalRespirationAndPacingOff) {
    Records host = Given();
    host.ecg.nRespirationMode = 0x80;
    host.ecg.nRespirationAmplitude = 2000;
    host.ecg.nRespirationDepthOrRatio = 2;
    host.ecg.nRespirationRatioOrBaseline = 1000;
    ASSERT_EQ(Call(Writer(2), 1, host), 0);
    EXPECT_EQ(Fw().ControlBlock()[5], 0xFF);
    Records back = {};
    ASSERT_EQ(Call(Reader(2), 1, back), 0);
    EXPECT_EQ(back.ecg.bPacingEnable, 0);
    EXPECT_EQ(back.ecg.nPacingRate, 60);
    EXPECT_EQ(back.ecg.nRespirationMode, 0x80);
    EXPECT_EQ(back.ppg[0].nRespirationMode, 0xFF);
}

// Extreme transit times and fields that do not fit: the timing words are the low 16 bits,
// the delay stays within one RR, and nothing is undefined (the sanitizer builds run this).
TEST_F(StandaloneApi, ExtremeInputsStoreSafely) {
    for (int transit : {INT_MIN, INT_MAX, -5000}) {
        SCOPED_TRACE(transit);
        Records host = Given();
        host.transit = transit;
        ASSERT_EQ(Call(Writer(2), 1, host), 0);
        const Bytes b = Fw().Setting(0);
        ASSERT_EQ(b.size(), 58u);
        EXPECT_EQ(b[48] << 8 | b[49], transit & 0xFFFF);
        EXPECT_LT(b[50] << 8 | b[51], host.ecg.nRRInterval);
    }
    const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
    Records odd = Given();
    odd.ecg.fAmplitude = nan;
    odd.ecg.fPacingAmplitude = -inf;
    odd.ecg.fSampleRateKHz = inf;
    odd.ecg.nPacingRate = INT_MIN;
    odd.ppg[0].fAmplitude1 = inf;
    odd.ppg[0].fDCLevel = nan;
    odd.ppg[0].nTime1 = INT_MAX;
    odd.ppg[0].nRespirationMode = INT_MIN;
    odd.ppg[1].fFrequency = nan;
    odd.ppg[1].fSampleRateKHz = -inf;
    odd.transit = INT_MIN;
    const int r = Call(Writer(6), 3, odd);
    EXPECT_TRUE(r == 0 || r == 2) << r;
}

std::atomic<int> g_markers{0};
std::atomic<int> g_samples{0};
void CountingCallback(double, int ac, int dc) {
    if (ac == static_cast<int>(0x80000000u) && dc == static_cast<int>(0x80000000u)) {
        ++g_markers;
    } else {
        ++g_samples;
    }
}

// A writer with a bad slot still stops the running output and copies its record.
TEST_F(StandaloneApi, WriterStopsARunningOutput) {
    g_markers = 0;
    g_samples = 0;
    ECG_WAVEFORM running = records::EcgSine(1.0, 1.0);
    ASSERT_TRUE(ORVOutputECG(&running, CountingCallback));
    ASSERT_TRUE(WaitUntil([] { return g_samples.load() > 0; }, 10000));
    Records host = Given();
    EXPECT_EQ(ORVWriteECGModeToStandaloneMode(4, &host.ecg), 3);
    EXPECT_EQ(g_hOutputWaveformThread.load(), THREAD_HANDLE{0});
    EXPECT_EQ(g_markers.load(), 1);
    EXPECT_EQ(0, memcmp(&g_ECGWaveform, &host.ecg, sizeof host.ecg));
    PPG_WAVEFORM slot1 = g_PPGChannelWaveform[1];
    EXPECT_EQ(ORVWritePPGModeToStandaloneMode(0, &host.ppg[0]), 3);
    EXPECT_EQ(0, memcmp(&g_PPGChannelWaveform[0], &host.ppg[0], sizeof host.ppg[0]));
    EXPECT_EQ(0, memcmp(&g_PPGChannelWaveform[1], &slot1, sizeof slot1)) << "slots not copied keep theirs";
    EXPECT_EQ(0, memcmp(&g_ECGWaveform, &host.ecg, sizeof host.ecg)) << "a PPG writer leaves the ECG copy";
}

class StandaloneWithoutInstrument : public ApiTest {};

TEST_F(StandaloneWithoutInstrument, NoInstrumentGivesOne) {
    Records host = Given();
    for (const Function& f : Functions()) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(Call(f, 1, host), f.type == 0 ? 10 : 1);
        EXPECT_EQ(f.call(2, 0, nullptr, nullptr, nullptr, nullptr, nullptr), f.type == 0 ? 10 : 1);
    }
    ECG_WAVEFORM copy = host.ecg;
    copy.nQRSWidth = 77;
    EXPECT_EQ(ORVWriteECGModeToStandaloneMode(1, &copy), 1);
    EXPECT_EQ(g_ECGWaveform.nQRSWidth, 77) << "the copy is made without an instrument too";
}

}  // namespace
