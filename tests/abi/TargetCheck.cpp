// What the code may rely on about the target it is compiled for; each failure stops the
// build. NVS_EXPECT_ARCH_<arch> comes from the build (NVS_ARCH, the deliverable's name).
#include <atomic>
#include <cfloat>
#include <cstdint>

// The compiler's own target macro is what platform-dependent code keys on: it must be
// the one that matches the deliverable's name, and the only one of the four.
#if defined(NVS_EXPECT_ARCH_x86_64)
#if !defined(__x86_64__) || defined(__i386__) || defined(__arm__) || defined(__aarch64__)
#error "libnvs-x86_64 must be compiled with __x86_64__ as its only target macro"
#endif
#elif defined(NVS_EXPECT_ARCH_i386)
#if !defined(__i386__) || defined(__x86_64__) || defined(__arm__) || defined(__aarch64__)
#error "libnvs-i386 must be compiled with __i386__ as its only target macro"
#endif
#elif defined(NVS_EXPECT_ARCH_armhf)
#if !defined(__arm__) || defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
#error "libnvs-armhf must be compiled with __arm__ as its only target macro"
#endif
// Doubles pass through VFP registers at the interface; a soft-float build would not
// interoperate with the host's hard-float code.
#if !defined(__ARM_PCS_VFP)
#error "libnvs-armhf must use the hard-float calling convention"
#endif
#elif defined(NVS_EXPECT_ARCH_aarch64)
#if !defined(__aarch64__) || defined(__x86_64__) || defined(__i386__) || defined(__arm__)
#error "libnvs-aarch64 must be compiled with __aarch64__ as its only target macro"
#endif
#else
#error "unknown deliverable architecture: no NVS_EXPECT_ARCH_<arch> from the build"
#endif

// Doubles are evaluated at double precision everywhere, so the sample counts and DAC
// codes truncated from them are the same on every target. On i386 this takes SSE2
// arithmetic (-msse2 -mfpmath=sse); the x87 unit would keep 80-bit intermediates.
static_assert(FLT_EVAL_METHOD == 0, "floating-point expressions must evaluate at their own precision");
#if defined(__i386__) && !defined(__SSE2_MATH__)
#error "libnvs-i386 must do its floating point in SSE2 (-msse2 -mfpmath=sse)"
#endif

// Counters shared between threads without a lock are std::atomic<uint64_t>. Lock-free
// means inline instructions (cmpxchg8b on i386, ldrexd/strexd on armhf): no libatomic,
// which the deliverable may not depend on, and no hidden lock.
static_assert(std::atomic<uint64_t>::is_always_lock_free, "64-bit atomics must be lock-free on every target");
