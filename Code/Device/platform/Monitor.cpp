// The presence monitor. It takes no lock: it may close the port while another thread
// is mid-exchange on it, which the serial link makes safe (a borrowed descriptor stays
// open until its borrower is done, and the borrower sees that the port has gone).
//
// A port can be gone in two ways: its node leaves the listing (an unplug; a node that
// is back within the re-checks counts as present), or its descriptor hangs up while the
// node stays (a device that resets on the bus, or is back under the same name before
// the next look). A hang-up never heals, so it is acted on at once.
#include "Monitor.h"

#include <mutex>

#include "Device.h"
#include "Platform.h"
#include "PortSeam.h"
#include "StaticObjects.h"

std::atomic<int> g_bStopMonitor{0};

namespace {

// Sleeps in steps so that an unload is not held up by a long sleep.
void MonitorSleep(unsigned int ms) {
    while (ms > 0 && g_bStopMonitor.load() == 0) {
        const unsigned int step = ms < 100 ? ms : 100;
        SleepEx(step);
        ms -= step;
    }
}

}  // namespace

CAutoMonitor::CAutoMonitor() : m_hThread(0), m_hEnableEvent(false) {
    CreateThread(&m_hThread, MonitorDeviceThread, this);
}

CAutoMonitor::~CAutoMonitor() {
    g_bStopMonitor.store(1);
    m_hEnableEvent.SetEvent();
    WaitForThread(m_hThread);
}

void CAutoMonitor::StartMonitor() { m_hEnableEvent.SetEvent(); }

void CAutoMonitor::PauseMonitor() { m_hEnableEvent.ResetEvent(); }

bool CAutoMonitor::IsMonitored() { return m_hEnableEvent.WaitTimeout(0) == 0; }

void RegisterNotifyEvent(unsigned int message, PFN_NOTIFY_EVENT callback) {
    std::lock_guard<std::mutex> guard(g_notifyMapMutex);
    g_mapNotifyEvent[message] = callback;
}

PFN_NOTIFY_EVENT LookupNotifyEvent(unsigned int message) {
    std::lock_guard<std::mutex> guard(g_notifyMapMutex);
    const auto entry = g_mapNotifyEvent.find(message);
    return entry == g_mapNotifyEvent.end() ? nullptr : entry->second;
}

void* MonitorDeviceThread(void* argument) {
    CAutoMonitor* monitor = static_cast<CAutoMonitor*>(argument);
    while (g_bStopMonitor.load() == 0) {
        if (!monitor->IsMonitored()) {
            SleepEx(100);
            continue;
        }
        bool present;
        {
            // The port this round looks at: only it is closed when found gone, never one
            // that the connection thread has opened since.
            CDevicePort port;
            if (port.Valid() && PortHungUp(port.handle())) {
                // A hang-up never heals (the device reset, even if its node stayed or
                // is back under the same name): no re-checks.
                DevicePortGone(port);
                SleepEx(100);
                continue;
            }
            // A first check, then up to three re-checks 500 ms apart: a port that
            // answers any of them counts as present, so a short vanishing of its node
            // does not drop the connection.
            present = DeviceIsAlive() != 0;
            for (int i = 0; i < 3 && !present && g_bStopMonitor.load() == 0; ++i) {
                if (DeviceIsAlive()) {
                    present = true;
                    break;
                }
                MonitorSleep(500);
            }
            if (g_bStopMonitor.load() != 0)
                break;
            if (!present) {
                if (port.Valid())
                    DevicePortGone(port);
                else
                    ReconnectDevice();  // closed without a wake-up (a handle taken back)
            }
        }
        if (present)
            MonitorSleep(1200);
        else
            SleepEx(100);
    }
    return nullptr;
}

void ReconnectDevice() { g_hReconnectEvent.SetEvent(); }
