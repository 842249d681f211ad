// Replays the fuzzing corpus (seeds and any crashers kept there) through the waveform-file
// reader and the file loader, so every preset runs the inputs that once went wrong.
#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "PlaybackFixture.h"
#include "playback/AutoTest.h"
#include "playback/json/JSONParser.h"

namespace {

std::string CorpusDir(const char* target) {
    std::string here = __FILE__;
    return here.substr(0, here.find_last_of('/')) + "/../fuzz/corpus/" + target;
}

std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] != '.') {
                out.push_back(dir + "/" + e->d_name);
            }
        }
        closedir(d);
    }
    return out;
}

using FuzzCorpusTest = PlaybackCoreTest;

TEST_F(FuzzCorpusTest, ReaderAndLoaderTakeEveryCorpusInput) {
    const std::vector<std::string> reader = Files(CorpusDir("json_reader"));
    const std::vector<std::string> loader = Files(CorpusDir("waveform_file"));
    ASSERT_FALSE(reader.empty());
    ASSERT_FALSE(loader.empty());
    for (const std::string& path : reader) {
        SCOPED_TRACE(path);
        std::ifstream in(path, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string text = bytes.str();
        JSONMemoryStream stream(text.data(), text.size());
        JSONNode start(&stream);
        delete start.ReadValueNode();
    }
    for (const std::string& path : loader) {
        SCOPED_TRACE(path);
        for (int inverted : {0, 1}) {
            ResetAutoTestState();
            AUTO_TEST_SETTING setting = {1, inverted};
            PlayRawSetSetting(&setting);
            PlayRawAutoTestAddItemPlayRaw(1, path.c_str());
            PrepareAutoTestRun();
        }
    }
    ResetAutoTestState();
}

}  // namespace
