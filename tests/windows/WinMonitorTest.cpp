// The device-change window in the test program itself: broadcasts reach the registered
// callback with full-width parameters, a broadcast without a callback is harmless, and
// the presence decision (the instrument's own path listed or not) over the discovery
// seam with a file standing in for the port.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <string>
#include <vector>

#include "platform/Device.h"
#include "platform/Monitor.h"
#include "platform/Platform.h"
#include "platform/PortSeam.h"
#include "platform/windows/DiscoverySeam.h"
#include "platform/windows/MonitorWindow.h"
#include "platform/windows/Win32.h"

#include <dbt.h>

namespace {

constexpr UINT kDeviceChange = WM_DEVICECHANGE;

// What the callback saw. Other wine processes' broadcasts may come in between, so the
// checks look for their own messages among the recorded ones.
std::mutex s_seenMutex;
std::vector<std::pair<uintptr_t, uintptr_t>> s_seen;

void Record(unsigned int message, uintptr_t wParam, uintptr_t lParam) {
    if (message != kDeviceChange)
        return;
    std::lock_guard<std::mutex> guard(s_seenMutex);
    s_seen.emplace_back(wParam, lParam);
}

size_t Count(uintptr_t wParam, uintptr_t lParam) {
    std::lock_guard<std::mutex> guard(s_seenMutex);
    size_t n = 0;
    for (const auto& seen : s_seen)
        n += seen.first == wParam && seen.second == lParam ? 1 : 0;
    return n;
}

void ClearSeen() {
    std::lock_guard<std::mutex> guard(s_seenMutex);
    s_seen.clear();
}

bool WaitFor(bool (*condition)(), unsigned int ms) {
    const uint64_t end = GetMonotonicMs() + ms;
    while (!condition()) {
        if (GetMonotonicMs() > end)
            return false;
        SleepEx(5);
    }
    return true;
}

// This process's window (other wine processes have windows of the same class name).
HWND OurWindow() {
    for (HWND w = FindWindowExA(nullptr, nullptr, g_lpszClass, "title"); w != nullptr;
         w = FindWindowExA(nullptr, w, g_lpszClass, "title")) {
        DWORD process = 0;
        GetWindowThreadProcessId(w, &process);
        if (process == GetCurrentProcessId())
            return w;
    }
    return nullptr;
}

TEST(WinMonitor, WindowForwardsDeviceChangesOnlyWhileACallbackIsRegistered) {
    ASSERT_TRUE(WaitFor([] { return MonitorWindowReady(); }, 10000));
    HWND window = OurWindow();
    ASSERT_NE(nullptr, window);
    EXPECT_GE(MonitorWindowClassNumber(), 0);

    // No callback: the message goes to DefWindowProcA alone (sent: handled on return).
    ClearSeen();
    RegisterNotifyEvent(kDeviceChange, nullptr);
    SendMessageA(window, kDeviceChange, 0x5A5A, 0x5A5A);
    RegisterNotifyEvent(kDeviceChange, Record);
    EXPECT_EQ(0u, Count(0x5A5A, 0x5A5A));
    // Full-width parameters, in order (bit 15 of wParam clear: wine reads such a
    // message as a broadcast header in lParam).
    const uintptr_t big = static_cast<uintptr_t>(0x123456781234ull);
    PostMessageA(window, kDeviceChange, static_cast<WPARAM>(big), static_cast<LPARAM>(big + 1));
    EXPECT_TRUE(WaitFor([] { return Count(0x123456781234ull, 0x123456781235ull) == 1; }, 5000));

    // A broadcast to every top-level window reaches the hidden one.
    PostMessageA(HWND_BROADCAST, kDeviceChange, DBT_DEVNODES_CHANGED, 0);
    EXPECT_TRUE(WaitFor([] { return Count(DBT_DEVNODES_CHANGED, 0) >= 1; }, 5000));

    // A removal carries its header through a sent message.
    DEV_BROADCAST_HDR header = {};
    header.dbch_size = sizeof header;
    header.dbch_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    DWORD_PTR result = 0;
    SendMessageTimeoutA(window, kDeviceChange, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&header),
                        SMTO_ABORTIFHUNG, 5000, &result);
    EXPECT_EQ(1u, Count(DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<uintptr_t>(&header)));
    RegisterNotifyEvent(kDeviceChange, nullptr);
}

TEST(WinMonitor, ABurstOfDeviceChangesIsServedAndLeavesTheWindowWorking) {
    ASSERT_TRUE(WaitFor([] { return MonitorWindowReady(); }, 10000));
    HWND window = OurWindow();
    ASSERT_NE(nullptr, window);
    ClearSeen();
    RegisterNotifyEvent(kDeviceChange, Record);
    for (int i = 0; i < 100; ++i)
        PostMessageA(window, kDeviceChange, 0x77, static_cast<LPARAM>(i));
    EXPECT_TRUE(WaitFor([] { return Count(0x77, 99) == 1; }, 10000));
    for (uintptr_t i = 0; i < 100; ++i)
        EXPECT_EQ(1u, Count(0x77, i)) << i;
    RegisterNotifyEvent(kDeviceChange, nullptr);
}

// A file stands in for the instrument's port: it opens like one, and the presence
// decision only compares listed paths.
class WinPresence : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[MAX_PATH];
        ASSERT_NE(0u, GetTempPathA(sizeof folder, folder));
        m_path = std::string(folder) + "nvs#vid_04d8&pid_000a#" + std::to_string(GetCurrentProcessId()) + "#port";
        HANDLE file = CreateFileA(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        ::CloseHandle(file);
        DeviceSetTargetCheck([] { return true; });
    }
    void TearDown() override {
        DeviceClose();
        DeviceSetTargetCheck(nullptr);
        DiscoverySeamSetEntries(nullptr);
        DeleteFileA(m_path.c_str());
    }
    void List(std::vector<CDiscoveryEntry> entries) { DiscoverySeamSetEntries(&entries); }
    std::string m_path;
};

TEST_F(WinPresence, DecisionTable) {
    // Not connected: gone.
    List({{m_path, "NVS (COM4)"}});
    EXPECT_EQ(0, DeviceIsAlive());
    // The wanted COM number picks the interface; another number finds nothing.
    EXPECT_EQ(0, FindDevice(5));
    EXPECT_EQ(1, FindDevice(4));
    EXPECT_EQ(1, DeviceIsConnected());
    EXPECT_EQ(1, DeviceCheckPath(const_cast<char*>(m_path.c_str())));
    // Its own path listed: present, whatever else comes and goes.
    List({{"\\\\?\\usb#vid_1111&pid_2222#other#{x}", "Other (COM9)"}, {m_path, "NVS (COM4)"}});
    EXPECT_EQ(1, DeviceIsAlive());
    // Its path missing (an unrelated device left listed): gone.
    List({{"\\\\?\\usb#vid_1111&pid_2222#other#{x}", "Other (COM9)"}});
    EXPECT_EQ(0, DeviceIsAlive());
    // Any port: taken also without a COM number.
    DeviceClose();
    List({{m_path, "no number"}});
    EXPECT_EQ(1, FindDevice(-1));
    EXPECT_EQ(1, DeviceIsAlive());
    // An adopted port has no path: gone at the first check.
    DeviceClose();
    EXPECT_EQ(0, DeviceIsAlive());
}

}  // namespace
