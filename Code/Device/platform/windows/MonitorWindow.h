// The device-change window (MonitorWindow.cpp): what tests of the Windows build look at.
// Not exported from the DLL.
#pragma once

extern char g_lpszClass[64];  // "MsgMonitorWndNVS%03d"

// The number in the window class's name.
int MonitorWindowClassNumber();
// True once the window exists.
bool MonitorWindowReady();
