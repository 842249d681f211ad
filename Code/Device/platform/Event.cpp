// The portable side of the events: each operation is the backend's.
#include "Event.h"

CSystemEvent::CSystemEvent(bool autoReset, bool initiallySignalled)
    : m_pEvent(OsEventCreate(autoReset, initiallySignalled)) {}

CSystemEvent::~CSystemEvent() { OsEventDestroy(m_pEvent); }

void CSystemEvent::SetEvent() { OsEventSet(m_pEvent); }

void CSystemEvent::ResetEvent() { OsEventReset(m_pEvent); }

void CSystemEvent::Wait() { OsEventWait(m_pEvent); }

unsigned int CSystemEvent::WaitTimeout(unsigned int ms) { return OsEventWaitTimeout(m_pEvent, ms); }

void CSystemEvent::MarkFromTimer() { OsEventMark(m_pEvent); }

unsigned int WaitForSingleObject(CEvent* event, unsigned int ms) {
    if (event == nullptr)
        return NVS_WAIT_TIMEOUT;
    return event->WaitTimeout(ms);
}
