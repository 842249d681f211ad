// The firmware model's PPG-side families (0xCC, 0xB0): the replies the host's readers
// take, calibration settings by firmware version, registers, the respiration module,
// the transmission-rate busy poll and refusals by the model.
#include "Firmware.h"

#include <gtest/gtest.h>

#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Only(Firmware& fw, const Bytes& request) {
    const std::vector<Reply> replies = fw.Answer(request);
    return replies.size() == 1 ? replies[0].bytes : Bytes{};
}

Bytes Padded(std::initializer_list<uint8_t> head) {
    Bytes r(head);
    r.resize(64, 0);
    return r;
}

Bytes Head(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + std::min(n, b.size())); }

// Each request's 64-byte reply begins with its family byte (the 0xB0 and 0xCC readers
// take only such packets) and carries the data where the readers look.
TEST(FirmwarePpg, RepliesBeginWithTheFamilyAndCarryTheData) {
    Firmware fw(Profile::WithPpg2112());
    struct Case {
        const char* what;
        Bytes request;
        Bytes head;  // the reply's first bytes
    } cases[] = {
        {"LED level 1 (800, low byte first)", Padded({0xCC, 0x00, 0x01, 0x00}), {0xCC, 0x00, 0x01, 0xFF, 0x20, 0x03}},
        {"module selection", {0xCC, 0x00, 0x10, 0x00, 0x00}, {0xCC, 0x00, 0x10, 0xFF, 0x00}},
        {"module selection write", {0xCC, 0xFF, 0x10, 0x00, 0x00}, {0xCC, 0xFF, 0x10, 0xFF}},
        {"VRef pair",
         {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04},
         {0xCC, 0x00, 0x0A, 0xFF, 0xD0, 0x51, 0x04, 0x08, 0x00, 0x08, 0x00}},
        {"LED feedback voltage", {0xCC, 0x00, 0x41}, {0xCC, 0x00, 0x41, 0xFF}},
        {"USB bus voltage", {0xCC, 0x00, 0x42}, {0xCC, 0x00, 0x42, 0xFF}},
        {"signal strength on", {0xB0, 0xFF, 0x01, 0x00, 0x01}, {0xB0, 0xFF, 0x01, 0xFF}},
        {"dynamic LED on", {0xB0, 0xFF, 0x03, 0x00, 0x01}, {0xB0, 0xFF, 0x03, 0xFF}},
        {"ambient mode 14", {0xB0, 0xFF, 0x10, 0x00, 0x0E}, {0xB0, 0xFF, 0x10, 0xFF}},
        {"ambient mode read", {0xB0, 0x00, 0x10, 0x00, 0x00}, {0xB0, 0x00, 0x10, 0xFF, 0x0E}},
        {"ambient mode 15 refused", {0xB0, 0xFF, 0x10, 0x00, 0x0F}, {0xB0, 0xFF, 0x10, 0x00}},
        {"ambient DC write", {0xB0, 0xFF, 0x11, 0x00, 0x12, 0x34}, {0xB0, 0xFF, 0x11, 0xFF}},
        {"ambient DC read", {0xB0, 0x00, 0x11, 0x00}, {0xB0, 0x00, 0x11, 0xFF, 0x12, 0x34}},
        {"auto trigger status, off: none found", {0xB0, 0x00, 0x30, 0x00}, {0xB0, 0x00, 0x30, 0xFF, 0x00, 0x00, 0x03}},
        {"auto trigger on", {0xB0, 0xFF, 0x30, 0x00, 0x01}, {0xB0, 0xFF, 0x30, 0xFF}},
        {"auto trigger status, on: levels 500 and 600",
         {0xB0, 0x00, 0x30, 0x00},
         {0xB0, 0x00, 0x30, 0xFF, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0xF4, 0x02, 0x58}},
    };
    for (const Case& c : cases) {
        const Bytes reply = Only(fw, c.request);
        ASSERT_EQ(reply.size(), 64u) << c.what;
        EXPECT_EQ(Head(reply, c.head.size()), c.head) << c.what;
    }
    EXPECT_TRUE(fw.SignalStrengthDetection());
    EXPECT_TRUE(fw.DynamicLed());
    EXPECT_TRUE(fw.AutoTrigger());
    EXPECT_EQ(fw.AmbientLightMode(), 14);
    EXPECT_EQ(fw.AmbientLightDc(), 0x1234);
}

// A 16-bit setting travels low byte first; main firmware before 1.15 gets (and keeps)
// only its low byte.
TEST(FirmwarePpg, CalibrationSettingsByFirmwareVersion) {
    Firmware newer(Profile::WithPpg2112());  // main firmware 1.16
    EXPECT_EQ(Only(newer, Padded({0xCC, 0xFF, 0x19, 0x00, 0x34, 0x12}))[3], 0xFF);
    EXPECT_EQ(Head(Only(newer, Padded({0xCC, 0x00, 0x19, 0x00})), 6), (Bytes{0xCC, 0x00, 0x19, 0xFF, 0x34, 0x12}));
    EXPECT_EQ(newer.CalibrationSetting(25), 0x1234);

    Firmware older(Profile::WithPpg2012Fpga());  // main firmware 1.14
    Only(older, Padded({0xCC, 0xFF, 0x03, 0x00, 0x34, 0x12}));
    EXPECT_EQ(older.CalibrationSetting(3), 0x0034);

    // Setting 5 reads the LED trigger status; writing it sets the GPIO mode.
    newer.SetLedTriggerStatus(0x02);
    Only(newer, Padded({0xCC, 0xFF, 0x05, 0x00, 0x00}));
    EXPECT_EQ(Only(newer, Padded({0xCC, 0x00, 0x05, 0x00}))[4], 0x02);
}

// WritePPGVRef(2, 0x0ABC): the 11-byte read, its reply sent back with byte 1 = FF and
// channel 2's word at bytes 9-10; then the 16-bit register pair.
TEST(FirmwarePpg, RegistersOfDeviceD0) {
    Firmware fw;
    Bytes reply = Only(fw, {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04, 0x00, 0x00, 0x00, 0x00});
    ASSERT_EQ(reply.size(), 64u);
    reply[1] = 0xFF;
    reply[9] = 0x0A;
    reply[10] = 0xBC;
    EXPECT_EQ(Only(fw, reply).size(), 64u);
    EXPECT_EQ(fw.Register(0x51), (Bytes{0x08, 0x00, 0x0A, 0xBC}));

    EXPECT_EQ(Only(fw, {0xCC, 0xFF, 0x0A, 0x00, 0xD0, 0x70, 0x02, 0x12, 0x34})[3], 0xFF);
    EXPECT_EQ(Head(Only(fw, {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x70, 0x02}), 9),
              (Bytes{0xCC, 0x00, 0x0A, 0xFF, 0xD0, 0x70, 0x02, 0x12, 0x34}));
    EXPECT_EQ(Only(fw, {0xCC, 0x00, 0x0A, 0x00, 0xD1, 0x70, 0x02})[3], 0x00);  // no such device
}

// Only the external-respiration module answers the respiratory requests.
TEST(FirmwarePpg, RespirationModuleValues) {
    Firmware xj(Profile::WithExtRespXJ());
    EXPECT_EQ(Only(xj, Padded({0xCC, 0xFF, 0x0D, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}))[3], 0xFF);
    EXPECT_EQ(xj.RespirationWords(), (std::array<uint16_t, 4>{0x0102, 0x0304, 0x0506, 0x0708}));
    EXPECT_EQ(Head(Only(xj, Padded({0xCC, 0x00, 0x0D, 0x00})), 12),
              (Bytes{0xCC, 0x00, 0x0D, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}));
    Only(xj, {0xCC, 0xFF, 0x0E, 0x00, 0x02, 0x03});
    EXPECT_EQ(Head(Only(xj, {0xCC, 0x00, 0x0E, 0x00, 0x00, 0x00}), 6), (Bytes{0xCC, 0x00, 0x0E, 0xFF, 0x02, 0x03}));

    Firmware yb(Profile::WithPpg2112());
    EXPECT_EQ(Only(yb, Padded({0xCC, 0x00, 0x0D, 0x00}))[3], 0x00);
}

// After B0 FF 20 the poll B0 00 20 reports busy (byte 3 not FF) for the set number of
// polls, then FF with the rate in force.
TEST(FirmwarePpg, TransmissionRateBusyPoll) {
    Firmware fw;
    const Bytes poll = {0xB0, 0x00, 0x20, 0x00, 0x03};
    for (unsigned busy : {0u, 1u, 3u}) {
        SCOPED_TRACE(busy);
        fw.SetTransmissionBusyPolls(busy);
        EXPECT_EQ(Only(fw, {0xB0, 0xFF, 0x20, 0x00, 0x03})[3], 0xFF);
        for (unsigned i = 0; i < busy; ++i)
            EXPECT_EQ(Only(fw, poll)[3], 0x00) << "poll " << i;
        const Bytes done = Only(fw, poll);
        EXPECT_EQ(Head(done, 5), (Bytes{0xB0, 0x00, 0x20, 0xFF, 0x03}));
        EXPECT_EQ(fw.TransmissionRate(), 3);
    }
    fw.SetTransmissionBusyPolls(Firmware::kNeverDone);
    Only(fw, {0xB0, 0xFF, 0x20, 0x00, 0x05});
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(Only(fw, poll)[3], 0x00);
    EXPECT_EQ(fw.TransmissionRate(), 3);
}

// The model's own refusal: the n-th request of a kind is refused (byte 3, or byte 4 of
// the memory command) and changes nothing.
TEST(FirmwarePpg, ModelRefusalLeavesTheStateAlone) {
    Firmware fw;
    fw.RefuseRequests({0xCC, 0xFF, 0x01}, 1, 1);
    EXPECT_EQ(Only(fw, Padded({0xCC, 0xFF, 0x01, 0x00, 0x10, 0x00}))[3], 0xFF);
    EXPECT_EQ(Only(fw, Padded({0xCC, 0xFF, 0x01, 0x00, 0x20, 0x00}))[3], 0x00);
    EXPECT_EQ(fw.CalibrationSetting(1), 0x10);
    EXPECT_EQ(Only(fw, Padded({0xCC, 0xFF, 0x01, 0x00, 0x30, 0x00}))[3], 0xFF);
    EXPECT_EQ(fw.CalibrationSetting(1), 0x30);

    const Bytes before = fw.MemoryAt(0x13, 0x1440, 4);
    fw.RefuseRequests({0x12, 0x55, 0xAA, 0xFF});
    const Bytes refused = Only(
        fw, Padded({0x12, 0x55, 0xAA, 0xFF, 0x00, 0x13, 0x00, 0x04, 0x00, 0x00, 0x14, 0x40, 0, 0, 0, 0, 9, 9, 9, 9}));
    EXPECT_EQ(refused[3], 0xFF);
    EXPECT_EQ(refused[4], 0x00);
    EXPECT_EQ(fw.MemoryAt(0x13, 0x1440, 4), before);

    fw.RefuseRequests({0x55, 0x00, 0x00});
    const Bytes model = Only(fw, {0x55, 0x00, 0x00});
    EXPECT_EQ(model.size(), 12u);  // still the reply's own length
    EXPECT_EQ(model[3], 0x00);
}

// Bytes that are no whole request of the table get no reply (the model reads fixed
// offsets of a request only once its length is one the firmware takes).
TEST(FirmwarePpg, MalformedRequestsGetNoReply) {
    Firmware fw;
    for (const Bytes& r : {Bytes{0xB0, 0xFF, 0x10}, Bytes{0xCC, 0x00, 0x01, 0x00}, Bytes{0x12, 0x55, 0xAA, 0x00, 0x00},
                           Bytes(20, 0xEA), Bytes{0x7E, 0x01}})
        EXPECT_TRUE(fw.Answer(r).empty()) << r.size() << " bytes from " << int{r[0]};
}

}  // namespace
}  // namespace nvsemu
