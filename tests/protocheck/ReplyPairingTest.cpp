// Glitches on the link against the firmware model: an answer sent twice, one sent after
// the reader gave up, one 36 bytes too long, an unsolicited packet that begins with a
// reply family byte. After each, every kind of exchange must return what the instrument
// holds, and a read-modify-write must write back the instrument's own block.
//
// Every test runs against an instrument that repeats request headers in its replies and
// against one that repeats only what it promises (the emulator's minimal echo). The
// library must learn which one it talks to at the handshake. Against the second, a
// stale packet of the victim's own family that arrives inside the victim's exchange
// cannot be told from its answer (nothing on the wire says so): the victim's result is
// then not judged, but once its own answer has come the battery must be right again.
// Everything else holds for both.
//
// Each glitch hits one request (GetUSBBusVoltage); its stale bytes then reach the host
// either between two exchanges (before the next request is written) or inside the next
// exchange (after its request, before its reply). Every kind of exchange takes a turn as
// that next exchange (the victim), and the whole battery runs after it.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CrossCheck.h"
#include "api/nvs300.h"
#include "platform/Device.h"
#include "EchoMode.h"
#include "protocol/ControlBlock.h"
#include "protocol/Exchange.h"
#include "protocol/Identity.h"
#include "protocol/MemoryCommand.h"
#include "protocol/PPGModule.h"
#include "protocol/WaveformSetting.h"
#include "waveform/Waveform.h"

namespace {

using Clock = std::chrono::steady_clock;
using Block = std::array<uint8_t, 57>;

constexpr uint8_t kUsbVoltage = 0xC8;   // the model's USB bus voltage byte
constexpr uint8_t kLedFeedback = 0x9A;  // and its LED feedback ADC byte
constexpr uint32_t kMfgAddress = 0x1440;
const Bytes kGlitchRequest = {0xCC, 0x00, 0x42};  // GetUSBBusVoltage

Bytes Packet(Bytes head) {
    head.resize(64, 0x5A);
    return head;
}

// Unsolicited packets that copy the header of a battery request's answer, with other
// values: taken for that answer, they would give it wrong values. Sent between
// exchanges, they must be discarded before the next request goes out.
const Bytes kTwinPackets[] = {
    Packet({0x55, 0x00, 0x00, 0xFF, 0x4F, 'K', 'Q', 0x20, 0x01}),                            // model record
    Packet({0xEA, 0x00, 0x00, 0xFF}),                                                        // control block
    Packet({0x12, 0x55, 0xAA, 0x00, 0xFF, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x40, 0, 0}),  // memory read
    Packet({0xCC, 0x00, 0x42, 0xFF, 0x5A}),                                                  // USB voltage
    Packet({0xB0, 0x00, 0x11, 0xFF, 0x5A, 0x00}),                                            // ambient DC
};
// Unsolicited packets that answer no battery request: sent inside an exchange, each is
// dropped and the exchange reads on to its own answer.
const Bytes kForeignPackets[] = {
    Packet({0x55, 0x00, 0x01, 0xFF, 0x4F, 'Y', 'B', 0x21, 0x12}),                         // the PPG side's record
    Packet({0xEA, 0xFF, 0x00, 0xFF}),                                                     // a block write's echo
    Packet({0x12, 0x55, 0xAA, 0x00, 0xFF, 0x13, 0x00, 0x20, 0x00, 0x00, 0x14, 0x00, 0}),  // another address
    Packet({0xCC, 0x00, 0x05, 0xFF, 0x5A}),                                               // setting 5
    Packet({0xB0, 0x00, 0x30, 0xFF, 0x5A, 0x00}),                                         // trigger status
};
// What follows the answer that is 36 bytes too long: the start of an ambient-DC answer.
const Bytes kLongTail = [] {
    Bytes tail = {0xB0, 0x00, 0x11, 0xFF, 0x5A, 0x00};
    tail.resize(36, 0x5A);
    return tail;
}();

enum class Glitch { Twice, Late, TooLong, Unsolicited };
enum class Delivery { Between, Inside };

// The firmware model with a one-shot change of its answer to the next request that
// starts with the armed prefix: sent twice, or with bytes after it.
class GlitchingFirmware : public nvsemu::Responder {
public:
    explicit GlitchingFirmware(std::shared_ptr<nvsemu::Firmware> fw) : fw_(std::move(fw)) {}

    void Arm(Bytes prefix, bool twice, Bytes tail) {
        std::lock_guard<std::mutex> lock(mu_);
        prefix_ = std::move(prefix);
        twice_ = twice;
        tail_ = std::move(tail);
        armed_ = true;
    }

    std::vector<nvsemu::Reply> Answer(const nvsemu::Request& request) override {
        std::vector<nvsemu::Reply> replies = fw_->Answer(request);
        std::lock_guard<std::mutex> lock(mu_);
        const Bytes& r = request.bytes;
        if (!armed_ || replies.empty() || r.size() < prefix_.size() ||
            !std::equal(prefix_.begin(), prefix_.end(), r.begin())) {
            return replies;
        }
        armed_ = false;
        if (twice_) {
            replies.push_back(replies.front());
        }
        replies.front().bytes.insert(replies.front().bytes.end(), tail_.begin(), tail_.end());
        return replies;
    }

private:
    std::shared_ptr<nvsemu::Firmware> fw_;
    std::mutex mu_;
    Bytes prefix_;
    bool twice_ = false;
    Bytes tail_;
    bool armed_ = false;
};

// A request hook that writes stale bytes to the host when the next request with the
// armed prefix arrives, before that request is answered.
struct InsideInjection {
    std::mutex mu;
    Bytes prefix;
    Bytes bytes;
    bool armed = false;
    bool fired = false;
};

// One kind of exchange: runs it and says how it went ("" the instrument's own value,
// "failed", or what was wrong).
struct Kind {
    const char* name;
    Bytes prefix;     // its (first) request begins so
    bool shortReply;  // its answer is shorter than a packet
    bool slow;        // pauses of its own: run as the victim only
    std::function<std::string()> run;
};

class ReplyPairing : public CrossCheck, public ::testing::WithParamInterface<bool> {
protected:
    bool Minimal() const { return GetParam(); }

    void SetUp() override {
        CrossCheck::SetUp();
        emu_.SetMinimalEcho(Minimal());
        Connect(ProfileNamed("yb-2112"));
        ASSERT_EQ(proto::Pairing(), Minimal() ? proto::EchoMode::Promised : proto::EchoMode::Headers)
            << "the handshake tells whether the instrument repeats request headers";
        glitching_ = std::make_shared<GlitchingFirmware>(fw_);
        emu_.SetResponder(glitching_);
        emu_.SetRequestHook([this](const nvsemu::Request& r) { OnRequest(r); });
        // Distinct values everywhere, so that another request's bytes cannot pass for them.
        Block block;
        for (size_t i = 0; i < block.size(); ++i) {
            block[i] = static_cast<uint8_t>(0x30 + i);
        }
        block[3] = 5;
        block[5] = 0xFF;  // respiration on: any other value would go back as 0
        fw_->SetControlBlock(block);
        Bytes mfg(32);
        for (size_t i = 0; i < mfg.size(); ++i) {
            mfg[i] = static_cast<uint8_t>(0xC0 + i);
        }
        ASSERT_TRUE(fw_->SetMemory(0x13, kMfgAddress, mfg));
        fw_->SetCalibrationSetting(6, 0x30);
        fw_->SetRegister(0x51, {0x0A, 0xBC, 0x0D, 0xEF});
        ASSERT_TRUE(WriteAmbientLightDC(0x0123));
        ASSERT_TRUE(SetAmbientLightMode(static_cast<PPGAmbientLightMode>(6)));
        kinds_ = MakeKinds();
    }

    void TearDown() override {
        emu_.SetRequestHook(nullptr);
        CrossCheck::TearDown();
    }

    void OnRequest(const nvsemu::Request& r) {
        Bytes bytes;
        {
            std::lock_guard<std::mutex> lock(inside_.mu);
            const Bytes& p = inside_.prefix;
            if (!inside_.armed || r.bytes.size() < p.size() || !std::equal(p.begin(), p.end(), r.bytes.begin())) {
                return;
            }
            inside_.armed = false;
            inside_.fired = true;
            bytes = inside_.bytes;
        }
        emu_.Inject(bytes);  // on the I/O thread: written before this request's answer
    }

    void ArmInside(const Bytes& prefix, const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(inside_.mu);
        inside_.prefix = prefix;
        inside_.bytes = bytes;
        inside_.armed = true;
        inside_.fired = false;
    }

    bool InsideFired() {
        std::lock_guard<std::mutex> lock(inside_.mu);
        return inside_.fired;
    }

    // Waits until the emulator has written at least n packets since the last ClearSent.
    bool WaitWritten(size_t n) {
        return WaitFor([&] { return emu_.Written().size() >= n; });
    }

    // Waits until every request that begins with prefix has been answered.
    bool WaitAnswered(const Bytes& prefix) {
        Bytes answer = prefix;  // the answer's first bytes, as this instrument writes them
        if (Minimal()) {
            nvsemu::RepeatOnlyWhatIsPromised(prefix, answer);
        }
        return WaitFor([&] {
            size_t answers = 0;
            for (const Bytes& w : emu_.Written()) {
                answers += w.size() >= answer.size() && std::equal(answer.begin(), answer.end(), w.begin());
            }
            return answers >= CountSent(prefix);
        });
    }

    // Waits until the instrument has answered every request recorded since `requests`
    // were, `extra` packets of its own written beside them since `written` were.
    bool WaitCaughtUp(size_t requests, size_t written, size_t extra) {
        return WaitFor([&] { return emu_.Written().size() - written >= emu_.Requests().size() - requests + extra; });
    }

    template <typename Condition>
    bool WaitFor(Condition done) {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (!done()) {
            if (Clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    std::vector<Kind> MakeKinds() {
        std::vector<Kind> k;
        k.push_back({"ambient-light DC", {0xB0, 0x00, 0x11}, false, false, [this] {
                         const int v = ReadAmbientLightDC();
                         return v == fw_->AmbientLightDc() ? "" : v == 0 ? "failed" : "got " + std::to_string(v);
                     }});
        k.push_back({"USB bus voltage", kGlitchRequest, false, false, [] {
                         const int v = GetUSBBusVoltage();
                         return v == kUsbVoltage ? "" : v == 0 ? "failed" : "got " + std::to_string(v);
                     }});
        k.push_back({"LED feedback", {0xCC, 0x00, 0x41}, false, false, [] {
                         const int v = GetLEDOutputFeedbackVoltageADCData();
                         return v == kLedFeedback ? "" : v == 0 ? "failed" : "got " + std::to_string(v);
                     }});
        k.push_back({"ambient-light mode", {0xB0, 0x00, 0x10}, false, false, [this] {
                         const int v = GetAmbientLightMode();
                         return v == fw_->AmbientLightMode() ? "" : v == 0 ? "failed" : "got " + std::to_string(v);
                     }});
        k.push_back({"control block", {0xEA, 0x00, 0x00}, false, false, [this] {
                         _DEVICE_CONTROL_SETTING b;
                         if (!ReadDeviceControlSetting(&b)) {
                             return std::string("failed");
                         }
                         const Block held = fw_->ControlBlock();
                         return memcmp(&b, held.data(), held.size()) == 0 ? "" : std::string("another block");
                     }});
        k.push_back({"electrode", {0xEA, 0x00, 0x00}, false, true, [this] {
                         Block expected = fw_->ControlBlock();
                         const uint8_t electrode = expected[3] == 5 ? 6 : 5;
                         expected[3] = electrode;
                         if (!SetOutputElectrode(electrode)) {
                             return std::string("failed");
                         }
                         return fw_->ControlBlock() == expected ? "" : std::string("wrote back another block");
                     }});
        k.push_back({"memory read", {0x12, 0x55, 0xAA, 0x00, 0x00, 0x13}, false, false, [this] {
                         Bytes data(32, 0);
                         if (!FlashRead(kMfgAddress, 0x13, data.data(), data.size())) {
                             return std::string("failed");
                         }
                         return data == fw_->MemoryAt(0x13, kMfgAddress, 32) ? "" : std::string("other bytes");
                     }});
        k.push_back({"calibration setting", {0xCC, 0x00, 0x06}, false, false, [this] {
                         unsigned char v = 0;
                         if (!ReadCalibrationSetting(PPG_CAL_PD_INPUT, &v)) {
                             return std::string("failed");
                         }
                         return v == (fw_->CalibrationSetting(6) & 0xFF) ? "" : "got " + std::to_string(v);
                     }});
        k.push_back({"VRef register", {0xCC, 0x00, 0x0A}, false, false, [this] {
                         unsigned int v = 0;
                         if (!ReadPPGVRef(PPG_CHANNEL_2, &v)) {
                             return std::string("failed");
                         }
                         return v == BE16(fw_->Register(0x51), 2) ? "" : "got " + std::to_string(v);
                     }});
        k.push_back({"model record", {0x55, 0x00, 0x00}, true, true, [this] {
                         MODEL_INFORMATION m = {};
                         if (!GetModelInfo(0, &m)) {
                             return std::string("failed");
                         }
                         const nvsemu::ModuleIdentity& id = fw_->GetProfile().main;
                         const bool own = m.cProductName[0] == id.letters[0] && m.cProductName[1] == id.letters[1] &&
                                          ((m.ucGeneration << 8) | m.ucModel) == id.model &&
                                          m.iSerialNumber == static_cast<int16_t>(id.serial);
                         return own ? "" : std::string("another record");
                     }});
        k.push_back({"versions", {0x12, 0x55, 0xAA, 0x00, 0x00, 0x01}, true, true, [this] {
                         HW_INFORMATION info = {};
                         if (!DoGetHWInfo(0, &info)) {
                             return std::string("failed");
                         }
                         const nvsemu::Profile& p = fw_->GetProfile();
                         const bool own = info.nFWMajor == p.main.fwMajor && info.nFWMinor == p.main.fwMinor &&
                                          info.nHWMajor == p.main.hwMajor && info.nFWRevision == p.fwRevision;
                         return own ? "" : std::string("other versions");
                     }});
        k.push_back({"ECG setting", {0xEA, 0xFF, 0x01}, false, false, [this] {
                         ECG_WAVEFORM w = {};
                         w.fFrequency = 10.0;
                         w.fAmplitude = 0.5 + 0.25 * (++round_ % 4);
                         w.nRespirationRatioOrBaseline = 1000;
                         w.fSampleRateKHz = 1.0;
                         if (!WriteWaveformInfo(w, 0, 0, 0)) {
                             return std::string("failed");
                         }
                         const Bytes held = fw_->Setting(0);
                         return held.size() == 58 && BE16(held, 16) == static_cast<uint16_t>(100 * w.fAmplitude + 0.5)
                                    ? ""
                                    : std::string("another setting");
                     }});
        k.push_back({"raw upload", {0xEA, 0xFF, 0x04}, false, false, [this] {
                         // 20 points, two packets; the values change with every upload.
                         Bytes data(4 * 28, 0);
                         const uint8_t seed = static_cast<uint8_t>(++round_);
                         for (size_t i = 0; i < 4 * 20; ++i) {
                             data[i] = static_cast<uint8_t>(seed + i);
                         }
                         if (!WriteWaveformRawData(data.data(), 4 * 20, 0x04)) {
                             return std::string("failed");
                         }
                         const std::vector<nvsemu::RawPoint> held = fw_->RawPoints(0);
                         for (size_t i = 0; i < 20; ++i) {
                             if (i >= held.size() || held[i].dc != BE16(data, 4 * i) ||
                                 held[i].ac != BE16(data, 4 * i + 2)) {
                                 return std::string("other points");
                             }
                         }
                         return std::string();
                     }});
        return k;
    }

    // Runs the victim first, then every quick kind; each must give the instrument's own value.
    // A victim with a short answer may fail (never give another value) when a whole
    // packet lands inside its exchange: its reads then no longer start at a packet.
    // fooledBy: a stale packet that lands inside the victim's exchange and that nothing
    // on the wire tells from its answer (0 bytes: none).
    void RunBattery(size_t victim, bool victimMayFail, const Bytes& fooledBy = {}) {
        const size_t requests = emu_.Requests().size();
        const size_t written = emu_.Written().size();
        const std::string first = kinds_[victim].run();
        if (!fooledBy.empty()) {
            ASSERT_TRUE(WaitCaughtUp(requests, written, 1));
        } else if (!(victimMayFail && kinds_[victim].shortReply && first == "failed")) {
            EXPECT_EQ(first, "") << "first after the glitch: " << kinds_[victim].name;
        }
        for (const Kind& kind : kinds_) {
            if (!kind.slow) {
                EXPECT_EQ(kind.run(), "") << kind.name;
            }
        }
    }

    // The glitch on the USB bus voltage request, its stale bytes delivered as told, then
    // the battery with `victim` first.
    void Round(Glitch glitch, Delivery delivery, size_t victim, const Bytes& stale = {}) {
        ClearSent();
        emu_.ClearFaults();
        switch (glitch) {
            case Glitch::Twice:
                if (delivery == Delivery::Between) {
                    glitching_->Arm(kGlitchRequest, true, {});
                }
                break;
            case Glitch::TooLong:
                glitching_->Arm(kGlitchRequest, false, kLongTail);
                break;
            case Glitch::Late:
                emu_.FaultOnHeader(kGlitchRequest, nvsemu::Fault::Delay(300));
                break;
            case Glitch::Unsolicited:
                break;
        }
        const int usb = GetUSBBusVoltage();
        ASSERT_EQ(usb, glitch == Glitch::Late ? 0 : kUsbVoltage) << "the glitched exchange";

        if (glitch == Glitch::Late) {
            // The late answer lands after the reader gave up: wherever it falls among
            // the exchanges that follow at once, none may take it.
            RunBattery(victim, true);
            ASSERT_TRUE(WaitAnswered(kGlitchRequest));
            RunBattery(victim, false);
            return;
        }
        if (delivery == Delivery::Between) {
            if (glitch == Glitch::Twice) {
                ASSERT_TRUE(WaitWritten(2));
            } else if (glitch == Glitch::Unsolicited) {
                ASSERT_TRUE(emu_.Inject(stale));
            }
            RunBattery(victim, false);
            return;
        }
        const Bytes inside = glitch == Glitch::Twice ? emu_.Written().back() : stale;
        ArmInside(kinds_[victim].prefix, inside);
        // Of the victim's own family, on an instrument that repeats only its promises.
        const bool indistinguishable = Minimal() && inside[0] == kinds_[victim].prefix[0];
        RunBattery(victim, true, indistinguishable ? inside : Bytes{});
        EXPECT_TRUE(InsideFired()) << "the stale packet never went out";
    }

    std::shared_ptr<GlitchingFirmware> glitching_;
    InsideInjection inside_;
    std::vector<Kind> kinds_;
    int round_ = 0;
};

TEST_P(ReplyPairing, AnAnswerSentTwice) {
    for (Delivery delivery : {Delivery::Between, Delivery::Inside}) {
        for (size_t victim = 0; victim < kinds_.size(); ++victim) {
            SCOPED_TRACE(std::string(delivery == Delivery::Between ? "between, " : "inside, ") + kinds_[victim].name);
            Round(Glitch::Twice, delivery, victim);
        }
    }
}

TEST_P(ReplyPairing, AnAnswerSentAfterTheReaderGaveUp) {
    for (size_t victim = 0; victim < kinds_.size(); ++victim) {
        SCOPED_TRACE(kinds_[victim].name);
        Round(Glitch::Late, Delivery::Between, victim);
    }
}

TEST_P(ReplyPairing, AnAnswer36BytesTooLong) {
    for (size_t victim = 0; victim < kinds_.size(); ++victim) {
        SCOPED_TRACE(kinds_[victim].name);
        Round(Glitch::TooLong, Delivery::Between, victim);
    }
}

TEST_P(ReplyPairing, AnUnsolicitedPacketBetweenExchanges) {
    for (const Bytes& packet : kTwinPackets) {
        for (size_t victim = 0; victim < kinds_.size(); ++victim) {
            SCOPED_TRACE(std::to_string(packet[0]) + ", " + kinds_[victim].name);
            Round(Glitch::Unsolicited, Delivery::Between, victim, packet);
        }
    }
}

TEST_P(ReplyPairing, AnUnsolicitedPacketInsideAnExchange) {
    for (const Bytes& packet : kForeignPackets) {
        for (size_t victim = 0; victim < kinds_.size(); ++victim) {
            SCOPED_TRACE(std::to_string(packet[0]) + ", " + kinds_[victim].name);
            Round(Glitch::Unsolicited, Delivery::Inside, victim, packet);
        }
    }
}

// The raw pass-through is paired like the library's own requests: leftovers are
// discarded before its command goes out, a foreign packet inside its exchange is
// dropped, and the part of a reply its short buffer did not take does not begin the
// next exchange.
TEST_P(ReplyPairing, ThePassThroughTakesOnlyItsOwnAnswer) {
    unsigned char usb[3] = {0xCC, 0x00, 0x42};
    unsigned char reply[64];
    ASSERT_TRUE(emu_.Inject(kTwinPackets[3]));  // CC 00 42 FF 5A: a stale USB voltage
    ASSERT_EQ(ORVSendCommand(usb, 3, reply, 64), 64);
    EXPECT_EQ(reply[4], kUsbVoltage);

    ArmInside({0xCC, 0x00, 0x42}, kForeignPackets[4]);
    ASSERT_EQ(ORVSendCommand(usb, 3, reply, 64), 64);
    EXPECT_TRUE(InsideFired());
    EXPECT_EQ(reply[0], 0xCC);
    EXPECT_EQ(reply[4], kUsbVoltage);

    unsigned char led[3] = {0xCC, 0x00, 0x41};
    ASSERT_EQ(ORVSendCommand(led, 3, reply, 4), 4);  // 60 bytes of the answer stay behind
    EXPECT_EQ(ReadAmbientLightDC(), fw_->AmbientLightDc());
    EXPECT_EQ(GetLEDOutputFeedbackVoltageADCData(), kLedFeedback);
}

// Stale packets dropped inside an exchange cost no extra read time-out: an exchange
// whose only packet is a stale one, arriving late in the window, fails within one read
// time-out (plus the empty reads), not one more after the stale packet.
TEST_P(ReplyPairing, DroppingStalePacketsKeepsOneReadTimeOut) {
    struct TimeOuts {
        TimeOuts() { SetDeviceTimeoutSetting(400, 200); }
        ~TimeOuts() { SetDeviceTimeoutSetting(100, 200); }
    } longerReads;
    ClearSent();
    emu_.FaultOnHeader({0xB0, 0x00, 0x11}, nvsemu::Fault::Replace(kForeignPackets[3]));  // another family
    emu_.FaultOnHeader({0xB0, 0x00, 0x11}, nvsemu::Fault::Delay(300));
    const auto start = Clock::now();
    EXPECT_EQ(ReadAmbientLightDC(), 0);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_EQ(emu_.Written().size(), 1u) << "the stale packet went out";
    EXPECT_GE(ms, 380.0);
    EXPECT_LT(ms, 650.0) << "one read time-out and three empty reads: about 430 ms; "
                            "a new time-out after the stale packet: 730";
    EXPECT_EQ(ReadAmbientLightDC(), fw_->AmbientLightDc());
}

// A late answer that reaches the host only after the next request was written: against
// an instrument that repeats request headers the next exchange of the family drops it;
// against one that repeats only its promises nothing tells it from that exchange's own
// answer (the quiet wait ends before it comes), so it may be taken: the limit of the
// wire. Either way the exchange after that gets its own answer.
TEST_P(ReplyPairing, ALateAnswerThatComesAfterTheNextRequest) {
    ClearSent();
    emu_.FaultOnHeader(kGlitchRequest, nvsemu::Fault::DelayUntilNext());
    EXPECT_EQ(GetUSBBusVoltage(), 0);
    const int feedback = GetLEDOutputFeedbackVoltageADCData();  // CC 00 41: the same family
    if (Minimal()) {
        EXPECT_TRUE(feedback == kLedFeedback || feedback == kUsbVoltage) << feedback;
    } else {
        EXPECT_EQ(feedback, kLedFeedback);
    }
    ASSERT_TRUE(WaitAnswered({0xCC, 0x00, 0x41}));
    EXPECT_EQ(GetLEDOutputFeedbackVoltageADCData(), kLedFeedback);
    EXPECT_EQ(GetUSBBusVoltage(), kUsbVoltage);
}

INSTANTIATE_TEST_SUITE_P(Echo, ReplyPairing, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "MinimalEcho" : "HeadersRepeated";
                         });

}  // namespace
