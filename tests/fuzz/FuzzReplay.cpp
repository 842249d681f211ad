// Runs fuzz inputs through a target's entry without libFuzzer: every file named, and
// every file of each folder named (a missing folder holds nothing), in name order. The
// normal presets replay each target's seed corpus and its regression cases this way; a
// crash or sanitizer report fails the run. `--seeds DIR` writes a scripted target's
// seeds (the emulator's own replies) into DIR instead.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzReplay.h"

namespace {

std::vector<std::string> Inputs(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return {};
    if (!S_ISDIR(st.st_mode))
        return {path};
    std::vector<std::string> out;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                out.push_back(path + "/" + entry->d_name);
        }
        closedir(dir);
    }
    std::sort(out.begin(), out.end());
    return out;
}

bool Replay(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    std::vector<uint8_t> bytes;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    fclose(file);
    // A buffer of exactly the input's size (as libFuzzer gives), so a read past it is seen.
    uint8_t* data = new uint8_t[bytes.size() ? bytes.size() : 1];
    if (!bytes.empty())
        memcpy(data, bytes.data(), bytes.size());
    LLVMFuzzerTestOneInput(data, bytes.size());
    delete[] data;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "--seeds") == 0) {
        if (NvsFuzzWriteSeeds == nullptr) {
            fprintf(stderr, "this target makes no seeds of its own\n");
            return 2;
        }
        const int written = NvsFuzzWriteSeeds(argv[2]);
        printf("%d seeds written to %s\n", written, argv[2]);
        return written > 0 ? 0 : 1;
    }
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        for (const std::string& input : Inputs(argv[i])) {
            if (!Replay(input)) {
                fprintf(stderr, "cannot read %s\n", input.c_str());
                return 1;
            }
            ++replayed;
        }
    }
    printf("%d inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
