// The minimal-echo mode: which replies keep bytes 1-2 of their request and which get
// other values there.
#include "EchoMode.h"

#include <gtest/gtest.h>

#include <vector>

namespace nvsemu {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(EchoMode, OnlyPromisedEchoesKeepTheRequestHeader) {
    struct Case {
        const char* what;
        Bytes request;
        bool kept;
    } cases[] = {
        {"memory command", {0x12, 0x55, 0xAA, 0x00, 0x00, 0x13}, true},
        {"operator block read", Bytes(14, 0x00), true},
        {"model record of the main module", {0x55, 0x00, 0x00}, true},
        {"model record of the PPG side", {0x55, 0x00, 0x01}, true},
        {"DAC width", {0x55, 0x00, 0x80}, false},
        {"revision", {0xAA, 0x03}, false},
        {"ECG setting write", {0xEA, 0xFF, 0x01, 0x00}, true},
        {"raw-data packet", {0xEA, 0xFF, 0x09, 0x00}, true},
        {"ECG setting read", {0xEA, 0x00, 0x01}, false},
        {"control block read", {0xEA, 0x00, 0x00, 0x00}, false},
        {"ROM write", {0xEA, 0xFF, 0x07, 0x00, 2, 5}, false},
        {"register read", {0xCC, 0x00, 0x0A, 0x00, 0xD0, 0x51, 0x04}, true},
        {"register write", {0xCC, 0xFF, 0x0A, 0x00, 0xD0, 0x51, 0x04}, false},
        {"USB voltage", {0xCC, 0x00, 0x42}, false},
        {"ambient DC", {0xB0, 0x00, 0x11, 0x00}, false},
        {"extension-module version", {0xB9, 0x00, 0x01}, false},
        {"RLD levels", {0xAD, 0x00, 0x01, 0x00, 0x10, 0x00}, false},
    };
    for (const Case& c : cases) {
        Bytes reply = c.request;
        reply.resize(64, 0);
        reply[3] = 0xFF;
        const Bytes before = reply;
        RepeatOnlyWhatIsPromised(c.request, reply);
        if (c.kept) {
            EXPECT_EQ(reply, before) << c.what;
            continue;
        }
        EXPECT_NE(reply[1], c.request[1]) << c.what;
        if (c.request.size() > 2) {
            EXPECT_NE(reply[2], c.request[2]) << c.what;
        }
        EXPECT_EQ(reply[0], before[0]) << c.what;
        EXPECT_TRUE(std::equal(reply.begin() + 3, reply.end(), before.begin() + 3)) << c.what << ": only bytes 1-2";
    }
    // A reply of another family (a fault's replacement) is left as it is.
    Bytes other = {0xB0, 0x00, 0x11, 0xFF};
    RepeatOnlyWhatIsPromised({0xCC, 0x00, 0x11}, other);
    EXPECT_EQ(other, (Bytes{0xB0, 0x00, 0x11, 0xFF}));
}

}  // namespace
}  // namespace nvsemu
