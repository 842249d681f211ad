// Calibration convert tables: the file's points, the interpolation, the converted copy and
// the row updates.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "service/ConvertTable.h"

namespace {

std::vector<int32_t> Table(const std::string& text) {
    std::vector<int32_t> entries(kConvertFileCodes);
    ParseConvertTablePoints(text.data(), text.size(), entries.data());
    InterpolateConvertTable(entries.data());
    return entries;
}

std::vector<int32_t> Identity() {
    std::vector<int32_t> v(kConvertFileCodes);
    for (int i = 0; i < kConvertFileCodes; ++i)
        v[i] = i;
    return v;
}

// A scratch directory, the process's working directory while it lives (the tables are
// looked up relative to it).
class ScratchDir {
public:
    ScratchDir() {
        char name[] = "/tmp/nvs-convert-XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        m_dir = name;
        EXPECT_NE(getcwd(m_previous, sizeof m_previous), nullptr);
        EXPECT_EQ(chdir(m_dir.c_str()), 0);
    }
    ~ScratchDir() {
        EXPECT_EQ(chdir(m_previous), 0);
        std::string cmd = "rm -rf '" + m_dir + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    static void Write(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
    static std::string Read(const std::string& name) {
        std::ifstream in(name);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::string m_dir;
    char m_previous[4096];
};

}  // namespace

TEST(ConvertTable, PointsAndInterpolation) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::pair<int, int32_t>> expect;  // index, entry
    };
    const std::string longLine = "20=99" + std::string(295, ' ') + "\n7=70\n";  // 300 characters, then a line
    const Case cases[] = {
        {"one point", "10=30", {{0, 0}, {5, 15}, {10, 30}, {11, 30 + (4095 - 30) / 4085}, {4094, 4094}, {4095, 4095}}},
        {"negative key, big value", "-5=7000\n", {{0, 4095}, {1, 4095}, {2047, 4095}, {4095, 4095}}},
        {"only the top", "4095=0\n", {{0, 0}, {1, 0}, {2048, 0}, {4095, 0}}},
        {"later key wins", "100=5\n100=300\n", {{100, 300}, {50, 150}}},
        {"CR LF", "10=30\r\n20=40\r\n", {{10, 30}, {15, 35}, {20, 40}}},
        {"no equals skipped", "\nabc\n10=30\n\n", {{10, 30}, {5, 15}}},
        {"long line skipped whole", longLine, {{7, 70}, {20, 70 + (4095 - 70) * 13 / 4088}}},
        {"beyond int saturates", "99999999999999999999=-99999999999999999999\n", {{4095, 0}, {4094, 0}}},
        {"spaces and signs", "  +12 = 8x\n", {{12, 8}, {6, 4}}},
    };
    for (const Case& c : cases) {
        const std::vector<int32_t> t = Table(c.text);
        for (auto [i, v] : c.expect)
            EXPECT_EQ(t[i], v) << c.name << " entry " << i;
    }
    EXPECT_EQ(Table(""), Identity()) << "an empty file is the identity";
    // A 127-character line is still a line.
    const std::string edge = "30=60" + std::string(122, ' ');
    EXPECT_EQ(Table(edge)[30], 60);
    EXPECT_EQ(Table(edge + " ")[30], 30) << "128 characters: skipped";
}

TEST(ConvertTable, AnchorsAreOnlyTheFilesPoints) {
    // Between (100, 1000) and (200, 0): 150 lies halfway; the straight line truncates.
    const std::vector<int32_t> t = Table("100=1000\n200=0\n");
    EXPECT_EQ(t[150], 500);
    EXPECT_EQ(t[101], 990);
    EXPECT_EQ(t[50], 500);
    EXPECT_EQ(t[3], static_cast<int32_t>(3.0 / 100 * 1000));
}

TEST(ConvertTable, CopyTextAndPath) {
    const std::string text = FormatConvertedCopy(Identity().data());
    EXPECT_EQ(text.substr(0, 6), "0\n1\n2\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4096);
    EXPECT_EQ(text.substr(text.size() - 5), "4095\n");
    EXPECT_EQ(ConvertedCopyPath("./channel1-ac.txt"), "./channel1-ac-converted.txt");
}

TEST(ConvertTable, RowUpdatesFromTheWorkingDirectory) {
    ScratchDir dir;
    auto entry = [](ConvertRow* table, int row, int i) { return table[row][i].load(); };

    // Before any identity fill of this row, a file row still maps codes above 4095 to
    // themselves (a 16-bit instrument reaches them).
    ScratchDir::Write("channel2-dc.txt", "10=30\n");
    UpdateDCConvertTable(PPG_CHANNEL_2, 1);
    EXPECT_EQ(entry(g_DCTable, 1, 5), 15);
    EXPECT_EQ(entry(g_DCTable, 1, 4096), 4096);
    EXPECT_EQ(entry(g_DCTable, 1, 65535), 65535);
    const std::string copy = ScratchDir::Read("channel2-dc-converted.txt");
    EXPECT_EQ(copy.substr(0, 8), "0\n3\n6\n9\n");
    EXPECT_EQ(copy, FormatConvertedCopy(Table("10=30\n").data()));

    // Loaded again after a change: the copy is rewritten.
    ScratchDir::Write("channel2-dc.txt", "");
    UpdateDCConvertTable(PPG_CHANNEL_2, 1);
    EXPECT_EQ(ScratchDir::Read("channel2-dc-converted.txt"), FormatConvertedCopy(Identity().data()));

    // useFile 0 with a file present: the identity, no copy written.
    ScratchDir::Write("channel1-ac.txt", "10=30\n");
    UpdateACConvertTable(PPG_CHANNEL_1, 0);
    EXPECT_EQ(entry(g_ACTable, 0, 5), 5);
    EXPECT_FALSE(std::ifstream("channel1-ac-converted.txt").good());

    // A missing file: the identity, silently.
    UpdateACConvertTable(PPG_CHANNEL_2, 1);
    EXPECT_EQ(entry(g_ACTable, 1, 5), 5);
    EXPECT_EQ(entry(g_ACTable, 1, 65535), 65535);

    // A channel without a row changes nothing.
    UpdateACConvertTable(PPG_CHANNEL_3, 0);
    UpdateACConvertTable(static_cast<PPGChannel>(0), 0);

    // A copy that cannot be written leaves the file's row in use.
    ASSERT_EQ(mkdir("channel1-ac-converted.txt", 0700), 0);  // a directory where the copy goes
    UpdateACConvertTable(PPG_CHANNEL_1, 1);
    EXPECT_EQ(entry(g_ACTable, 0, 5), 15);
}

TEST(ConvertTable, UnreadablePathLeavesTheRow) {
    static ConvertRow row;
    row[4096].store(7);
    EXPECT_EQ(DoGetCalibrateConvertTable("/nonexistent/channel1-ac.txt", row), 0);
    EXPECT_EQ(DoGetCalibrateConvertTable(nullptr, row), 0);
    EXPECT_EQ(row[4096].load(), 7);
}

// The fuzzing corpus (seeds and the inputs that once went wrong) in every preset.
TEST(ConvertTable, FuzzCorpusStaysInRange) {
    std::string dir = __FILE__;
    dir = dir.substr(0, dir.find_last_of('/')) + "/../fuzz/corpus/convert_table";
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    int files = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        ++files;
        const std::vector<int32_t> t = Table(ScratchDir::Read(dir + "/" + e->d_name));
        for (int i = 0; i < kConvertFileCodes; ++i)
            ASSERT_TRUE(t[i] >= 0 && t[i] <= 4095) << e->d_name << " entry " << i;
    }
    closedir(d);
    EXPECT_GT(files, 0);
}
