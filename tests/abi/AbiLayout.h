// Layout checks for the records that cross the host interface by pointer.
//
// A host compiles its own copy of each record from the exported header and the library
// copies records whole, so size and member offsets are part of the binary interface of
// every deliverable. Each check names the expected value for each target, in the column
// order x86_64, i386, armhf, aarch64, and fails the target's build when the compiler lays
// the record out otherwise:
//
//   NVS_ABI_SIZE(ECG_WAVEFORM, 168, 160, 168, 168);
//   NVS_ABI_OFFSET(ECG_WAVEFORM, fFrequency, 8, 4, 8, 8);
//   NVS_ABI_MEMBER(ECG_WAVEFORM, fFrequency, 8, 8, 4, 8, 8);  // size 8, then the offsets
//
// The columns follow the compiler's own target macros, not the build's settings, so a
// misconfigured toolchain cannot select the wrong column. The x86_64 column holds for
// every x86-64 ABI (Linux, Windows, macOS) as long as records keep to fixed-width
// integers, doubles and pointers: `long` would differ between them and need a column.
#pragma once

#include <cstddef>

#if defined(__x86_64__) || defined(_M_X64)
#define NVS_ABI_PICK(x86_64, i386, armhf, aarch64) (x86_64)
#elif defined(__i386__)
#define NVS_ABI_PICK(x86_64, i386, armhf, aarch64) (i386)
#elif defined(__aarch64__)
#define NVS_ABI_PICK(x86_64, i386, armhf, aarch64) (aarch64)
#elif defined(__arm__)
#define NVS_ABI_PICK(x86_64, i386, armhf, aarch64) (armhf)
#else
#error "no layout column for this target: add one to NVS_ABI_PICK"
#endif

#define NVS_ABI_SIZE(type, x86_64, i386, armhf, aarch64)                      \
    static_assert(sizeof(type) == NVS_ABI_PICK(x86_64, i386, armhf, aarch64), \
                  "sizeof(" #type ") is not the host interface's on this target")

#define NVS_ABI_OFFSET(type, member, x86_64, i386, armhf, aarch64)                      \
    static_assert(offsetof(type, member) == NVS_ABI_PICK(x86_64, i386, armhf, aarch64), \
                  "offsetof(" #type ", " #member ") is not the host interface's on this target")

// A member's size and its offset per target. The size is one value where it is the same
// on every target, an NVS_ABI_PICK of four where it is not (pointers).
#define NVS_ABI_MEMBER(type, member, size, x86_64, i386, armhf, aarch64)                        \
    static_assert(sizeof(type::member) == (size),                                               \
                  "sizeof(" #type "::" #member ") is not the host interface's on this target"); \
    NVS_ABI_OFFSET(type, member, x86_64, i386, armhf, aarch64)
