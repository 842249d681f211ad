// The waveform-file reader: the dialect it reads, the tree's conversions, the file
// loader's refusals and the member rules, as one table of small files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>  // mkfifo
#endif

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/OsServices.h"
#include "playback/json/JSONFile.h"
#include "playback/json/JSONParser.h"
#include "playback/json/WaveformFile.h"

namespace {

// A folder of its own under the system's temporary folder (also under wine).
class TempDir {
public:
    TempDir() {
        namespace fs = std::filesystem;
        std::error_code error;
        for (unsigned attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            const fs::path candidate =
                fs::temp_directory_path(error) / ("nvs-json-" + std::to_string(rand()) + "-" + std::to_string(attempt));
            if (fs::create_directory(candidate, error)) {
                path_ = candidate.string();
            }
        }
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        std::string file = path_ + "/" + name;
        std::ofstream(file, std::ios::binary) << bytes;
        files_.push_back(file);
        return file;
    }
    std::string Track(const std::string& name) {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

struct Channel {
    bool loaded;
    double rate;
    std::vector<double> ac, dc;
};

const char* const kMembers[4] = {"ECGWaveform", "PPGWaveform1", "PPGWaveform2", "PPGWaveform3"};

const Channel kOff = {false, 0.0, {}, {}};
const Channel kThree = {true, 1000.0, {0.0, 1.0, 2.0}, {0.0, 0.0, 0.0}};

std::string Member(const char* name, const char* rate = "1000", const char* ac = "[0,1,2]",
                   const char* dc = "[0,0,0]") {
    return std::string("\"") + name + "\":{\"SampleRate\":" + rate + ",\"AC\":" + ac + ",\"DC\":" + dc + "}";
}

// All four channels, pretty-printed with the given indent and line end.
std::string Pretty(const std::string& indent, const std::string& eol, const std::string& colon = ":") {
    std::string s = "{" + eol;
    for (int c = 0; c < 4; ++c) {
        s += indent + "\"" + kMembers[c] + "\"" + colon + " {" + eol;
        s += indent + indent + "\"SampleRate\"" + colon + " 1000," + eol;
        s += indent + indent + "\"AC\"" + colon + " [0, 1, 2]," + eol;
        s += indent + indent + "\"DC\"" + colon + " [0, 0, 0]" + eol;
        s += indent + "}" + (c < 3 ? "," : "") + eol;
    }
    return s + "}" + eol;
}

struct FileCase {
    const char* what;
    std::string text;
    Channel expected[4];
};

std::vector<FileCase> FileCases() {
    const std::string ecg = Member("ECGWaveform");
    return {
        {"one ECG member", "{" + ecg + "}", {kThree, kOff, kOff, kOff}},
        {"pretty, spaces and LF", Pretty("  ", "\n"), {kThree, kThree, kThree, kThree}},
        {"pretty, tabs", Pretty("\t", "\n"), {kThree, kThree, kThree, kThree}},
        {"pretty, CR LF", Pretty("    ", "\r\n"), {kThree, kThree, kThree, kThree}},
        {"whitespace before colons", Pretty(" ", "\n", " \t:"), {kThree, kThree, kThree, kThree}},
        {"byte-order mark", "\xEF\xBB\xBF{" + ecg + "}", {kThree, kOff, kOff, kOff}},
        {"newline before the root", "\n\r\n{" + ecg + "}", {kThree, kOff, kOff, kOff}},
        {"rate 5e2", "{" + Member("ECGWaveform", "5e2") + "}", {{true, 500.0, {0, 1, 2}, {0, 0, 0}}, kOff, kOff, kOff}},
        {"signed exponents keep later members",
         "{" + Member("ECGWaveform", "1E+3", "[5e-1,-2.5e+1,1e0]") + "," + Member("PPGWaveform2") + "}",
         {{true, 1000.0, {0.5, -25.0, 1.0}, {0, 0, 0}}, kOff, kThree, kOff}},
        {"non-number elements read 0",
         "{" + Member("ECGWaveform", "1000", "[1,\"x\",true,2]", "[0,0,0,0]") + "}",
         {{true, 1000.0, {1, 0, 0, 2}, {0, 0, 0, 0}}, kOff, kOff, kOff}},
        {"short DC zero-filled",
         "{" + Member("ECGWaveform", "1000", "[1,2,3]", "[7]") + "}",
         {{true, 1000.0, {1, 2, 3}, {7, 0, 0}}, kOff, kOff, kOff}},
        {"long DC cut to AC",
         "{" + Member("ECGWaveform", "1000", "[1,2]", "[7,8,9]") + "}",
         {{true, 1000.0, {1, 2}, {7, 8}}, kOff, kOff, kOff}},
        {"trailing comma, empty element",
         "{" + Member("ECGWaveform", "1000", "[1,,2,]", "[0,0,0]") + "}",
         {{true, 1000.0, {1, 0, 2}, {0, 0, 0}}, kOff, kOff, kOff}},
        {"AC null, DC missing, AC empty",
         "{" + Member("ECGWaveform", "1000", "null") + ",\"PPGWaveform1\":{\"SampleRate\":1000,\"AC\":[1]}," +
             Member("PPGWaveform2", "1000", "[]") + "," + Member("PPGWaveform3") + "}",
         {kOff, kOff, kOff, kThree}},
        {"rate not a number, zero, negative",
         "{" + Member("ECGWaveform", "\"1000\"") + "," + Member("PPGWaveform1", "0") + "," +
             Member("PPGWaveform2", "-5") + "," + Member("PPGWaveform3") + "}",
         {kOff, kOff, kOff, kThree}},
        {"rate or element not finite, cycle under one sample",
         "{" + Member("ECGWaveform", "1e999") + "," + Member("PPGWaveform1", "1000", "[1,1e999,2]") + "," +
             Member("PPGWaveform2", "1e9") + "," + Member("PPGWaveform3") + "}",
         {kOff, kOff, kOff, kThree}},
        {"member not an object", "{\"ECGWaveform\":[1,2]," + Member("PPGWaveform1") + "}", {kOff, kThree, kOff, kOff}},
        {"key given twice keeps the later",
         "{" + Member("ECGWaveform", "1000", "[9]", "[9]") + "," + ecg + "}",
         {kThree, kOff, kOff, kOff}},
        {"escaped quote inside a string", "{\"Name\":\"a\\\",\\\"b\"," + ecg + "}", {kThree, kOff, kOff, kOff}},
        {"keys match case", "{" + Member("ecgwaveform") + "}", {kOff, kOff, kOff, kOff}},
        {"empty file", "", {kOff, kOff, kOff, kOff}},
        {"empty object", "{}", {kOff, kOff, kOff, kOff}},
        {"NUL ends the input",
         "{" + ecg + std::string(1, '\0') + "," + Member("PPGWaveform1") + "}",
         {kThree, kOff, kOff, kOff}},
        {"malformed text ends quietly",
         "{" + ecg + ",\"PPGWaveform1\":{\"SampleRate\" 1000",
         {kThree, kOff, kOff, kOff}},
    };
}

TEST(JSONReaderTest, WaveformFilesLoadTheirMembers) {
    TempDir dir;
    int n = 0;
    for (const FileCase& fc : FileCases()) {
        SCOPED_TRACE(fc.what);
        const std::string path = dir.Write("case" + std::to_string(n++) + ".json", fc.text);
        JSONFile file(path);
        ASSERT_TRUE(file.Loaded());
        JSONObject root(&file);
        for (int c = 0; c < 4; ++c) {
            SCOPED_TRACE(kMembers[c]);
            PLAY_RAW_DATA out = {};
            out.nSyncPulse = 3;
            const int ok = GetWaveformNodeData(&root, kMembers[c], out);
            const Channel& e = fc.expected[c];
            ASSERT_EQ(ok, e.loaded ? 1 : 0);
            EXPECT_EQ(out.nSyncPulse, 3);
            if (!e.loaded) {
                EXPECT_EQ(out.pACData, nullptr);
                EXPECT_EQ(out.pDCData, nullptr);
                EXPECT_EQ(out.nSampleCount, 0);
                continue;
            }
            EXPECT_DOUBLE_EQ(out.fSampleRate, e.rate);
            ASSERT_EQ(out.nSampleCount, static_cast<int>(e.ac.size()));
            EXPECT_EQ(std::vector<double>(out.pACData, out.pACData + out.nSampleCount), e.ac);
            EXPECT_EQ(std::vector<double>(out.pDCData, out.pDCData + out.nSampleCount), e.dc);
            delete[] out.pACData;
            delete[] out.pDCData;
        }
    }
}

JSONNode* Parse(JSONMemoryStream& stream) {
    JSONNode reader(&stream);
    return reader.ReadValueNode();
}

TEST(JSONReaderTest, NodesAndConversions) {
    const std::string text =
        "{\"s\":\"a\\\"b\",\"i\":-12.7,\"big\":99999999999,\"t\":12345,\"short\":12,\"oct\":017000,"
        "\"lit\":tru,\"n\":null,\"long\":" +
        std::string(80, '7') + "}";
    JSONMemoryStream stream(text.data(), text.size());
    JSONObject root(&stream);
    EXPECT_EQ(root.GetType(), kJSONObject);
    EXPECT_EQ(JSONNodeToString(root.GetValue("s"), "-"), "a\\\"b");
    EXPECT_EQ(JSONNodeToString(root.GetValue("i"), "-"), "-");
    EXPECT_EQ(JSONNodeToInt(root.GetValue("i"), 5), -12);
    EXPECT_DOUBLE_EQ(JSONNodeToDouble(root.GetValue("i"), 5), -12.7);
    EXPECT_EQ(JSONNodeToInt(root.GetValue("big"), 5), INT_MAX);
    EXPECT_EQ(JSONNodeToTime32(root.GetValue("t"), 5), 12);
    EXPECT_EQ(JSONNodeToTime32(root.GetValue("short"), 5), 12);
    EXPECT_EQ(JSONNodeToTime32(root.GetValue("oct"), 5), 017);
    EXPECT_EQ(JSONNodeToTime32(root.GetValue("s"), 5), 5);
    EXPECT_EQ(JSONNodeToDouble(nullptr, 2.5), 2.5);
    const std::string numbers = "[1e999,-1e999,1e-999,-0.5e-1,5E2,1e,-]";
    JSONMemoryStream numberStream(numbers.data(), numbers.size());
    JSONArray values(&numberStream);
    const double want[] = {HUGE_VAL, -HUGE_VAL, 0.0, -0.05, 500.0, 1.0, 0.0};
    ASSERT_EQ(values.GetCount(), 7u);
    for (unsigned long i = 0; i < 7; ++i) {
        EXPECT_EQ(JSONNodeToDouble(values[i], 9.0), want[i]) << i;
        EXPECT_EQ(JSONNodeToDouble(values[i], 9.0), std::atof(static_cast<JSONNumber*>(values[i])->Text())) << i;
    }
    ASSERT_NE(root.GetValue("lit"), nullptr);
    EXPECT_EQ(root.GetValue("lit")->GetType(), kJSONTrue);  // a partial literal keeps its kind
    EXPECT_EQ(root.GetValue("n")->GetType(), kJSONNull);
    ASSERT_NE(root.GetValue("long"), nullptr);
    EXPECT_EQ(static_cast<JSONNumber*>(root.GetValue("long"))->GetValue(), std::string(63, '7'));
    EXPECT_EQ(root.GetValue("absent"), nullptr);

    const std::string list = "[1,[2],{},\"x\",false]";
    JSONMemoryStream listStream(list.data(), list.size());
    JSONNode* node = Parse(listStream);
    ASSERT_EQ(node->GetType(), kJSONArray);
    JSONArray& array = *static_cast<JSONArray*>(node);
    ASSERT_EQ(array.GetCount(), 5u);
    const int types[5] = {kJSONNumber, kJSONArray, kJSONObject, kJSONString, kJSONFalse};
    for (unsigned long i = 0; i < 5; ++i) {
        EXPECT_EQ(array[i]->GetType(), types[i]);
    }
    EXPECT_EQ(array[5], nullptr);
    delete node;

    JSONMemoryStream empty("", 0);
    node = Parse(empty);
    EXPECT_EQ(node->GetType(), kJSONNumber);  // never null, even at the end of input
    EXPECT_EQ(static_cast<JSONNumber*>(node)->GetValue(), "");
    delete node;
}

// Depth of nested arrays kept below the root array.
int DepthOf(JSONNode* node) {
    int depth = 0;
    while (node != nullptr && node->GetType() == kJSONArray && static_cast<JSONArray*>(node)->GetCount() > 0) {
        node = (*static_cast<JSONArray*>(node))[0];
        ++depth;
    }
    return depth;
}

TEST(JSONReaderTest, DeepNestingIsCapped) {
    for (int levels : {kJSONMaxDepth, 1000000}) {
        SCOPED_TRACE(levels);
        const std::string text = std::string(levels, '[') + std::string(levels, ']');
        JSONMemoryStream stream(text.data(), text.size());
        JSONArray root(&stream);
        EXPECT_EQ(DepthOf(&root), levels == kJSONMaxDepth ? levels - 1 : kJSONMaxDepth + 1);
    }
    const std::string objects = std::string(500000, '{') + "\"a\":1";
    JSONMemoryStream stream(objects.data(), objects.size());
    JSONObject root(&stream);  // ends quietly; destroyed without deep recursion
    EXPECT_EQ(root.GetType(), kJSONObject);
}

TEST(JSONReaderTest, FilesThatAreNotRegularOrTooLargeReadEmpty) {
    TempDir dir;
    std::vector<std::string> refused = {dir.Track("absent")};
    const std::string folder = dir.Track("folder");
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    refused.push_back(folder);
#ifdef _WIN32
    refused.push_back("NUL");  // a device, not a disk file
#else
    const std::string fifo = dir.Track("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    refused.push_back(fifo);
#endif
    for (const std::string& path : refused) {
        SCOPED_TRACE(path);
        JSONFile file(path);  // a FIFO with no writer must not block here
        EXPECT_FALSE(file.Loaded());
        EXPECT_EQ(file.ReadChar(), 0);
    }
    const std::string ten = dir.Write("ten", "0123456789");
    char* buffer = reinterpret_cast<char*>(1);
    uint32_t size = 7;
    EXPECT_EQ(OsReadRegularFile(ten.c_str(), 9, &buffer, &size), 0);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 0u);
    ASSERT_EQ(OsReadRegularFile(ten.c_str(), 10, &buffer, &size), 1);
    EXPECT_EQ(std::string(buffer, size), "0123456789");
    delete[] buffer;
    EXPECT_EQ(OsReadRegularFile(nullptr, 10, &buffer, &size), 0);
}

}  // namespace
