// The device-change window: Windows' form of the presence monitor. A thread started at
// load owns a hidden top-level window whose procedure hands each message to the callback
// that the notify map holds for it (the connection thread registers one for
// WM_DEVICECHANGE while connected), then to DefWindowProcA.
//
// The class name carries a number from a counter that every process loading the library
// shares (the ".INST" section): the first process takes 000, a second one loading it
// meanwhile 001; a name already registered in the process makes registration fail, and
// the next number is tried, at most 9999 times.
//
// Quirks:
// - An unload runs under the loader lock: the window thread is asked to end (a quit
//   message), destroys its window and unregisters its class itself, and the unload waits
//   a bounded time for its routine's end, never for the thread's exit. At process exit
//   nothing is touched. No broadcast can reach the procedure after the unload.
// - Starting the monitor (at a connection) wakes the connection thread once, so a device
//   change between the handshake and the registration of its callback is not lost.
#include <atomic>
#include <cstdio>

#include "../Monitor.h"
#include "../StaticObjects.h"
#include "Win32.h"

// Shared by every process that has the library loaded.
__attribute__((section(".INST"), shared)) volatile LONG g_nInstanceCounter = 0;

char g_lpszClass[64];
std::atomic<int> g_bStopMonitor{0};

namespace {

constexpr int kClassAttempts = 9999;
constexpr DWORD kEndWaitMs = 2000;  // for the window thread at unload, at the most

std::atomic<HWND> s_hWindow{nullptr};
std::atomic<DWORD> s_nWindowThreadId{0};
std::atomic<bool> s_bMonitored{false};

void FormatClassName(LONG number) { snprintf(g_lpszClass, sizeof g_lpszClass, "MsgMonitorWndNVS%03ld", number); }

LONG TakeCounterValue() { return InterlockedExchangeAdd(&g_nInstanceCounter, 1); }

}  // namespace

LRESULT CALLBACK MonitorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (PFN_NOTIFY_EVENT callback = LookupNotifyEvent(message))
        callback(message, static_cast<uintptr_t>(wParam), static_cast<uintptr_t>(lParam));
    return DefWindowProcA(window, message, wParam, lParam);
}

void* MonitorWindowThread(void*) {
    s_nWindowThreadId.store(GetCurrentThreadId());
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // this thread's queue exists now
    HINSTANCE instance = GetModuleHandleA(nullptr);
    bool registered = false;
    for (int attempt = 0; attempt < kClassAttempts && g_bStopMonitor.load() == 0; ++attempt) {
        WNDCLASSEXA wc = {};
        wc.cbSize = sizeof wc;
        wc.style = CS_DBLCLKS;
        wc.lpfnWndProc = MonitorWindowProc;
        wc.hInstance = instance;
        wc.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
        wc.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
        wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        wc.lpszClassName = g_lpszClass;
        if (RegisterClassExA(&wc) != 0) {
            registered = true;
            break;
        }
        FormatClassName(TakeCounterValue());
    }
    if (!registered)
        return nullptr;
    HWND window = CreateWindowExA(0, g_lpszClass, "title", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, nullptr);
    if (window != nullptr) {
        s_hWindow.store(window);
        while (g_bStopMonitor.load() == 0) {
            const BOOL got = GetMessageA(&message, nullptr, 0, 0);
            if (got == 0 || got == -1)
                break;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        s_hWindow.store(nullptr);
        DestroyWindow(window);
    }
    UnregisterClassA(g_lpszClass, instance);
    return nullptr;
}

CAutoMonitor::CAutoMonitor() : m_hThread(0), m_hEnableEvent(false) {
    FormatClassName(TakeCounterValue());
    CreateThread(&m_hThread, MonitorWindowThread, nullptr);
}

CAutoMonitor::~CAutoMonitor() {
    if (WinProcessExiting())
        return;  // every other thread is gone, and the window with the process
    g_bStopMonitor.store(1);
    const uint64_t end = GetMonotonicMs() + kEndWaitMs;
    do {
        if (const DWORD id = s_nWindowThreadId.load())
            PostThreadMessageA(id, WM_QUIT, 0, 0);
    } while (!WinWaitForRoutineEnd(m_hThread, 20) && GetMonotonicMs() < end);
    WinReleaseThread(m_hThread);
}

void CAutoMonitor::StartMonitor() {
    m_hEnableEvent.SetEvent();
    s_bMonitored.store(true);
    ReconnectDevice();  // one check for a change that came before the callback was set
}

void CAutoMonitor::PauseMonitor() {
    m_hEnableEvent.ResetEvent();
    s_bMonitored.store(false);
}

bool CAutoMonitor::IsMonitored() { return s_bMonitored.load(); }

void RegisterNotifyEvent(unsigned int message, PFN_NOTIFY_EVENT callback) {
    std::lock_guard<std::mutex> guard(g_notifyMapMutex);
    g_mapNotifyEvent[message] = callback;
}

PFN_NOTIFY_EVENT LookupNotifyEvent(unsigned int message) {
    std::lock_guard<std::mutex> guard(g_notifyMapMutex);
    const auto entry = g_mapNotifyEvent.find(message);
    return entry == g_mapNotifyEvent.end() ? nullptr : entry->second;
}

void* MonitorDeviceThread(void*) { return nullptr; }  // no polling thread on Windows

void ReconnectDevice() { g_hReconnectEvent.SetEvent(); }

// The window thread's class number, for tests: the number in g_lpszClass.
int MonitorWindowClassNumber() {
    int number = -1;
    sscanf(g_lpszClass, "MsgMonitorWndNVS%d", &number);
    return number;
}

// True once the window exists (tests wait for it).
bool MonitorWindowReady() { return s_hWindow.load() != nullptr; }
