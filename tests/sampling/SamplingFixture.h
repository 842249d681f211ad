// The sampling suite's fixture: the device API fixture with the sampling entries
// installed, and the sampling ended before the connection goes.
#pragma once

#include <atomic>
#include <dirent.h>

#include "ApiFixture.h"
#include "SamplingRecorder.h"
#include "sampling/SamplingApi.h"

class SamplingTest : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        InstallSamplingEntries();
        SamplingRecorder::Instance().Clear();
    }
    void TearDown() override {
        ORVDisableSampling();
        ApiTest::TearDown();
    }
    // The main unit at hardware 5: no control-block preparation.
    static nvsemu::Profile Hardware5(nvsemu::Profile p = nvsemu::Profile::WithPpgYB2001()) {
        return WithMainIdentity(p, p.main.model, p.main.serialPrefix, p.main.serial, 5, 0);
    }
    void PlugAndConnect(const nvsemu::Profile& profile) {
        Plug(profile);
        ASSERT_TRUE(Connect());
    }
    static SamplingRecorder& Rec() { return SamplingRecorder::Instance(); }
};

// Threads of this process now.
inline int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

// The process's thread count comes back to `threads`: other library threads (the
// presence monitor's checks, a helper of the connection) may be under way for a moment
// when a sampling thread has already been joined, but a leaked thread never goes.
inline void ExpectThreadCountBackTo(int threads) {
    WaitUntil([threads] { return ThreadCount() == threads; }, 5000);
    EXPECT_EQ(ThreadCount(), threads);
}
