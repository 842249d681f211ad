// Whether a test may hold the library to the instrument's pace. Under user-mode
// emulation (the cross presets run their tests on qemu, which sets NVS_TEST_EMULATION)
// a loaded machine can hold up the threads that feed a stream for longer than the
// instrument's buffer lasts, so a dry spell there says nothing about the library. What a
// stream carries is checked everywhere; the pace itself is measured by the benchmarks.
#pragma once

#include <cstdlib>

inline bool PaceChecked() { return std::getenv("NVS_TEST_EMULATION") == nullptr; }
