// Utilities and the working directory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/Instance.h"
#include "platform/Log.h"
#include "platform/Utils.h"

namespace {

TEST(Utils, StringTrimCases) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"  /dev/ttyACM0 \n", "/dev/ttyACM0"},       {" \t\r\n\v\f", ""}, {"", ""}, {"plain", "plain"},
        {"\xC3\xA9t\xC3\xA9 ", "\xC3\xA9t\xC3\xA9"},  // bytes above 127 are not white space
    };
    for (const Case& c : cases) {
        char buffer[64];
        strcpy(buffer, c.in);
        StringTrim(buffer);
        EXPECT_STREQ(c.out, buffer) << "input '" << c.in << "'";
    }
    StringTrim(nullptr);  // ignored
}

TEST(Utils, StringFormatGrowsToTheWholeText) {
    const std::string long100(100, 'x');
    EXPECT_EQ(long100, StringFormat("%s%s", long100.substr(0, 60).c_str(), long100.substr(60).c_str()));
    EXPECT_EQ(100u, StringFormat("%100d", 7).size());
    EXPECT_EQ("channel3-ac.txt", StringFormat("%schannel%d-ac.txt", "", 3));
    const char* empty = "";
    EXPECT_EQ("", StringFormat(empty, 0));
    EXPECT_EQ("", StringFormat(nullptr));
}

TEST(Utils, WorkingDirectoryAndSilentLog) {
    EXPECT_EQ("./", g_Instance.GetWorkingDirectory());
    EXPECT_EQ("", LogGetFilePath());
    EXPECT_EQ("", LogGetCurrentTime());
}

}  // namespace
