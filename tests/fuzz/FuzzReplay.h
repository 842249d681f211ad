// The entry of every fuzz target, and the optional seed writer of the scripted ones; the
// replay program (FuzzReplay.cpp) calls them without libFuzzer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Defined by the targets that make their seeds by running the emulator (weak otherwise).
extern "C" int NvsFuzzWriteSeeds(const char* dir) __attribute__((weak));

// A fact every input must keep: reported and aborted on (libFuzzer keeps the input).
inline void FuzzCheck(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "fuzz check failed: %s\n", what);
        abort();
    }
}
