// The DLL as a Windows host loads it (LoadLibraryA): every plain export resolves, no
// decorated one is there, output runs without an instrument, the device-change window
// takes the next class number after a name already registered and is gone after
// FreeLibrary (a broadcast then is harmless), a second load works, and a second process
// loading the DLL meanwhile takes the next number. A sample callback that does not
// return holds neither the stop nor ORVFree past their bound, and keeps the DLL mapped
// until it returns, even after FreeLibrary.
//
// Every test here holds one resource lock: processes that have the DLL loaded share its
// class counter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <fstream>
#include <string>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <tlhelp32.h>

#include "api/nvs300.h"

namespace {

// A path of this machine as wine sees it (drive Z: is the root).
std::string WinePath(const char* unixPath) {
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
        c = c == '/' ? '\\' : c;
    return path;
}

std::vector<std::string> PlainExports() {
    std::ifstream list(WinePath(NVS_EXPORTS_TXT));
    std::vector<std::string> names;
    std::string line;
    while (std::getline(list, line)) {
        if (line.empty() || line[0] == '#' || line.find('(') != std::string::npos)
            continue;
        names.push_back(line);
    }
    return names;
}

std::string ClassName(int number) {
    char name[64];
    snprintf(name, sizeof name, "MsgMonitorWndNVS%03d", number);
    return name;
}

bool ClassRegistered(int number) {
    WNDCLASSEXA info = {};
    info.cbSize = sizeof info;
    return GetClassInfoExA(GetModuleHandleA(nullptr), ClassName(number).c_str(), &info) != 0;
}

// This process's window of a class (other wine processes have windows of the same
// class names: their counters are their own programs').
HWND OwnWindow(const std::string& className) {
    for (HWND w = FindWindowExA(nullptr, nullptr, className.c_str(), "title"); w != nullptr;
         w = FindWindowExA(nullptr, w, className.c_str(), "title")) {
        DWORD process = 0;
        GetWindowThreadProcessId(w, &process);
        if (process == GetCurrentProcessId())
            return w;
    }
    return nullptr;
}

// The DLL's window with class number `number` exists (it is made on the DLL's thread).
bool WaitForWindow(int number, bool present) {
    for (int i = 0; i < 1000; ++i) {
        if ((OwnWindow(ClassName(number)) != nullptr) == present)
            return true;
        Sleep(5);
    }
    return false;
}

LRESULT CALLBACK PlainProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }

bool RegisterPlain(const std::string& name) {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = PlainProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = name.c_str();
    return RegisterClassExA(&wc) != 0;
}

template <class F>
F Proc(HMODULE dll, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

std::atomic<int> s_samples{0};
void Sample(double, int, int) { s_samples.fetch_add(1); }

TEST(Dll, PlainExportsOnlyAndOutputWithoutAnInstrument) {
    HMODULE dll = LoadLibraryA(WinePath(NVS_DLL_PATH).c_str());
    ASSERT_NE(nullptr, dll);
    const std::vector<std::string> names = PlainExports();
    ASSERT_FALSE(names.empty());
    for (const std::string& name : names)
        EXPECT_NE(nullptr, reinterpret_cast<void*>(GetProcAddress(dll, name.c_str()))) << name;
    // The decorated functions are not there, in either spelling.
    for (const char* name : {"ORVGetDeviceHandle", "_Z18ORVGetDeviceHandlev", "ORVSendCommand", "ORVLog"})
        EXPECT_EQ(nullptr, reinterpret_cast<void*>(GetProcAddress(dll, name))) << name;

    using OutputEcg = bool (*)(ECG_WAVEFORM*, PFN_SAMPLE_CALLBACK);
    using Stop = void (*)();
    auto output = Proc<OutputEcg>(dll, "ORVOutputECG");
    auto stop = Proc<Stop>(dll, "ORVStopOutputWaveform");
    ASSERT_NE(nullptr, output);
    ASSERT_NE(nullptr, stop);
    ECG_WAVEFORM ecg = {};
    ecg.nWaveformType = 0;
    ecg.fFrequency = 1.0;
    ecg.fAmplitude = 1.0;
    s_samples.store(0);
    ASSERT_TRUE(output(&ecg, Sample));
    for (int i = 0; i < 400 && s_samples.load() == 0; ++i)
        Sleep(5);
    EXPECT_GT(s_samples.load(), 0);
    stop();
    EXPECT_TRUE(FreeLibrary(dll));
}

TEST(Dll, WindowClassNumbersUnloadAndSecondLoad) {
    // A name already registered in the process: the DLL takes the next number.
    ASSERT_TRUE(RegisterPlain(ClassName(0)));
    HMODULE dll = LoadLibraryA(WinePath(NVS_DLL_PATH).c_str());
    ASSERT_NE(nullptr, dll);
    ASSERT_TRUE(WaitForWindow(1, true));
    EXPECT_TRUE(ClassRegistered(1));

    // A second process loading the DLL meanwhile takes the number after ours.
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string command = std::string("\"") + self + "\" --gtest_filter=DllChild.*";
    SetEnvironmentVariableA("NVS_DLL_CHILD", "2");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    SetEnvironmentVariableA("NVS_DLL_CHILD", nullptr);
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(pi.hProcess, 60000));
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(0u, code) << "the second process did not find its window with number 002";
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    // Unloaded: window and class gone, and a broadcast reaches nothing of it.
    EXPECT_TRUE(FreeLibrary(dll));
    EXPECT_TRUE(WaitForWindow(1, false));
    EXPECT_FALSE(ClassRegistered(1));
    DWORD_PTR result = 0;
    SendMessageTimeoutA(HWND_BROADCAST, WM_DEVICECHANGE, 7, 0, SMTO_ABORTIFHUNG, 2000, &result);

    // A second load works, with its own window.
    dll = LoadLibraryA(WinePath(NVS_DLL_PATH).c_str());
    ASSERT_NE(nullptr, dll);
    EXPECT_TRUE(WaitForWindow(1, true));
    auto version = Proc<int (*)()>(dll, "ORVGetVersion");
    ASSERT_NE(nullptr, version);
    version();
    EXPECT_TRUE(FreeLibrary(dll));
    UnregisterClassA(ClassName(0).c_str(), GetModuleHandleA(nullptr));
}

// ---- A sample callback that does not return ---------------------------------------------

using OutputEcgFn = bool (*)(ECG_WAVEFORM*, PFN_SAMPLE_CALLBACK);
using VoidFn = void (*)();

// The first call blocks until the test lets it go (or 60 s pass: a failing test ends);
// every call is counted.
HANDLE s_release = nullptr;
std::atomic<int> s_blockingCalls{0};
std::atomic<bool> s_blocked{false};
void Blocking(double, int, int) {
    if (s_blockingCalls.fetch_add(1) == 0) {
        s_blocked.store(true);
        WaitForSingleObject(s_release, 60000);
        s_blocked.store(false);
    }
}

// The threads of this process (the library's end with FreeLibrary, the callback's
// thread with its last return).
int ThreadsOfThisProcess() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    int n = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        n += entry.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    CloseHandle(snapshot);
    return n;
}

template <class Pred>
bool WaitUntil(Pred pred, int ms) {
    for (int i = 0; i < ms / 5; ++i) {
        if (pred())
            return true;
        Sleep(5);
    }
    return pred();
}

// Calls an export that waits for the output thread: it returns at the 3 s bound.
void ExpectReturnAtTheBound(HMODULE dll, const char* name) {
    const auto start = std::chrono::steady_clock::now();
    Proc<VoidFn>(dll, name)();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(s, 2.5) << name;
    EXPECT_LE(s, 4.5) << name;
}

ECG_WAVEFORM Ecg() {
    ECG_WAVEFORM ecg = {};
    ecg.nWaveformType = 0;
    ecg.fFrequency = 1.0;
    ecg.fAmplitude = 1.0;
    return ecg;
}

// Loads the DLL (with the connection handling started when init is set: it finds no
// instrument here) and starts an ECG output whose first callback blocks.
int s_threadsBeforeLoad = 0;
HMODULE StartBlockedOutput(bool init) {
    s_threadsBeforeLoad = ThreadsOfThisProcess();
    HMODULE dll = LoadLibraryA(WinePath(NVS_DLL_PATH).c_str());
    if (dll == nullptr || (init && !Proc<bool (*)(PFN_CONNECT_LISTENER)>(dll, "ORVInit")(nullptr)))
        return nullptr;
    s_release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    s_blockingCalls.store(0);
    ECG_WAVEFORM ecg = Ecg();
    if (!Proc<OutputEcgFn>(dll, "ORVOutputECG")(&ecg, Blocking) || !WaitUntil([] { return s_blocked.load(); }, 10000)) {
        SetEvent(s_release);
        return nullptr;
    }
    return dll;
}

TEST(Dll, StopLeavesACallbackThatDoesNotReturn) {
    HMODULE dll = StartBlockedOutput(false);
    ASSERT_NE(nullptr, dll);
    // Bounded at 3 s, without the end marker and with the lock let go.
    ExpectReturnAtTheBound(dll, "ORVStopOutputWaveform");
    MODEL_INFORMATION info;
    auto getter = Proc<bool (*)(MODEL_INFORMATION*)>(dll, "ORVGetDeviceInformation");
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(getter(&info));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count(), 1.0);

    // The next start waits for the callback to return, then delivers.
    std::atomic<bool> started{false};
    std::atomic<bool> result{false};
    s_samples.store(0);
    std::thread next([&] {
        ECG_WAVEFORM ecg = Ecg();
        result.store(Proc<OutputEcgFn>(dll, "ORVOutputECG")(&ecg, Sample));
        started.store(true);
    });
    EXPECT_FALSE(WaitUntil([&] { return started.load(); }, 300)) << "the start did not wait for the callback";
    SetEvent(s_release);
    EXPECT_TRUE(WaitUntil([&] { return started.load(); }, 10000));
    next.join();
    EXPECT_TRUE(result.load());
    EXPECT_TRUE(WaitUntil([] { return s_samples.load() > 0; }, 10000));
    // The left thread started no callback after its stop, not even its end marker.
    EXPECT_EQ(1, s_blockingCalls.load());
    Proc<VoidFn>(dll, "ORVStopOutputWaveform")();
    CloseHandle(s_release);
    EXPECT_TRUE(FreeLibrary(dll));
    EXPECT_TRUE(WaitUntil([] { return ThreadsOfThisProcess() <= s_threadsBeforeLoad; }, 10000));
}

TEST(Dll, FreeAndUnloadWhileACallbackIsOut) {
    HMODULE dll = StartBlockedOutput(true);
    ASSERT_NE(nullptr, dll);
    ExpectReturnAtTheBound(dll, "ORVFree");
    // The host lets go of the DLL; the callback's thread keeps it mapped until it returns
    // into it, then unloads it on its way out.
    char name[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(dll, name, sizeof name), 0u);
    EXPECT_TRUE(FreeLibrary(dll));
    EXPECT_NE(nullptr, GetModuleHandleA(name));
    SetEvent(s_release);
    EXPECT_TRUE(WaitUntil([&] { return GetModuleHandleA(name) == nullptr; }, 10000));
    EXPECT_EQ(1, s_blockingCalls.load());
    CloseHandle(s_release);

    dll = LoadLibraryA(WinePath(NVS_DLL_PATH).c_str());
    ASSERT_NE(nullptr, dll);
    s_samples.store(0);
    ECG_WAVEFORM ecg = Ecg();
    EXPECT_TRUE(Proc<OutputEcgFn>(dll, "ORVOutputECG")(&ecg, Sample));
    EXPECT_TRUE(WaitUntil([] { return s_samples.load() > 0; }, 10000));
    Proc<VoidFn>(dll, "ORVStopOutputWaveform")();
    EXPECT_TRUE(FreeLibrary(dll));
    EXPECT_TRUE(WaitUntil([] { return ThreadsOfThisProcess() <= s_threadsBeforeLoad; }, 10000));
}

// Run only as the second process of the test above.
TEST(DllChild, FindsItsWindow) {
    char wanted[8] = "";
    if (GetEnvironmentVariableA("NVS_DLL_CHILD", wanted, sizeof wanted) == 0)
        GTEST_SKIP() << "run by Dll.WindowClassNumbersUnloadAndSecondLoad";
    HMODULE dll = LoadLibraryA(WinePath(NVS_DLL_PATH).c_str());
    ASSERT_NE(nullptr, dll);
    EXPECT_TRUE(WaitForWindow(atoi(wanted), true));
    EXPECT_TRUE(FreeLibrary(dll));
}

}  // namespace
