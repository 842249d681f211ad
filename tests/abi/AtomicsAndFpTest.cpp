// Run-time counterparts of TargetCheck.cpp, on each target's own processor (or its
// emulation): 64-bit atomics and double truncation behave as on x86-64.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

TEST(TargetAbi, SixtyFourBitAtomicCountsAcrossThreadsWithoutTearing) {
    // Start above 2^32 so that a torn 32-bit half would show in the result.
    const uint64_t base = (uint64_t{1} << 32) - 1000;
    std::atomic<uint64_t> counter{base};
    constexpr int kThreads = 4;
    constexpr int kAdds = 20000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&counter] {
            for (int n = 0; n < kAdds; ++n)
                counter.fetch_add(1, std::memory_order_relaxed);
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(base + uint64_t{kThreads} * kAdds, counter.load());
}

TEST(TargetAbi, DoubleProductTruncatesAtDoublePrecision) {
    // 0.3 is stored as 0.29999999999999998890; times 10 that is 2.9999999999999998890,
    // which rounds to exactly 3.0 as a double but stays below 3 in an 80-bit x87
    // register. volatile keeps the compiler from folding it at build time.
    volatile double x = 0.3;
    volatile double ten = 10.0;
    EXPECT_EQ(3, static_cast<int>(x * ten));
}

}  // namespace
