// The threads of a playback run: the play thread (instrument-paced) or the simulation
// thread (no instrument), the notification reader, the reporter and the short switch
// back to operator mode 8 at the end of an instrument-paced run.
//
// The play thread sends a first batch of 50 stream packets, a second at once, then 50
// for every data request (01 55) that the reader hands on. The producer holds
// g_InterruptCriticalSection while it serves one request or one tick and sets
// g_hProcessRequestEvent just before it takes the lock: that is the command window
// (PlayWindow.h). The reporter replays the produced indices every 10 ms for the host's
// callbacks under g_DataCriticalSection and ends with one end marker per callback.
//
// Owns: the run's thread handles, the host callbacks of the run, the start signal, and
// the "producer serves" and "reporter follows" flags that bound every wait between the
// threads. The events and locks are load-time objects (platform/StaticObjects.h).
#pragma once

#include <atomic>

#include "api/nvs300.h"
#include "platform/OsServices.h"

class CEvent;

// A send function: builds up to count packets numbered from seq (seq advances modulo
// 65500 per packet built), sets more to 0 when the data end, writes what it built in one
// write and arms the reader. 1 when the write went out whole, 0 otherwise.
typedef int (*PFN_SEND_PACKET)(int& seq, int count, int& more);

// The play or simulation thread; 0 when none was started. Stays set after the run ended
// by itself: only PlayRawStop joins and clears it (and the reader's).
extern std::atomic<THREAD_HANDLE> g_hPlayThread;
extern std::atomic<THREAD_HANDLE> g_hReceiveThread;
// The reporter: joined and cleared by the play or simulation thread at its end.
extern std::atomic<THREAD_HANDLE> g_hOutputThread;
// The reporter's 10 ms timer (timer 2); made and deleted by the reporter.
extern TIMER_HANDLE g_hOutputDataTimer;
// The start signal the host registered (the playback API sets it); null: none.
extern std::atomic<CEvent*> g_PlaySyncEvent;
// The send function handed to the run's play thread (kept with g_hPlayThread).
extern std::atomic<PFN_SEND_PACKET> g_PlaySendFunction;

// The host's callbacks of the next run (each may be null). Written by PlayInitCallback
// before the threads start; the reporter calls them and clears each after its end marker.
extern PFN_SAMPLE_CALLBACK g_ECGCallback;
extern PFN_SAMPLE_CALLBACK g_PPGCallback[3];
extern PFN_SAMPLE_CALLBACK g_FrequencyScanCallback;

// Starts a run with `send`; the caller holds g_PlayRawCriticalSection and has put the
// operator mode, rate, sources and callbacks in place. With an instrument: reader, play
// thread, reporter, then the second batch is asked for. Without: the simulation thread
// and the reporter. A thread that cannot start leaves g_hPlayThread 0 and no reporter.
void RunPlayThread(PFN_SEND_PACKET send);
// True on one of the run's threads: the play or simulation thread, the reader or the
// reporter (which calls the host's sample callbacks). A start made there would replace
// the run it is part of, whose threads cannot be joined from inside: such starts are
// refused. Any thread; never blocks.
bool PlayRawOnRunThread();
// The send function of the run that exists (from its start until PlayRawStop joins it);
// null when none exists. Lets a start tell its own stream from another one.
PFN_SEND_PACKET PlayRawSendFunction();
void PlayInitCallback(PFN_SAMPLE_CALLBACK ecg, PFN_SAMPLE_CALLBACK ppg1, PFN_SAMPLE_CALLBACK ppg2,
                      PFN_SAMPLE_CALLBACK ppg3, PFN_SAMPLE_CALLBACK scan);

// The send function of ordinary streams: builds into a fixed buffer of 50 packets (a
// larger count builds 50), sets g_hStopPlayEvent when the data end. A packet in which
// no sample counted is neither written nor numbered.
int SendPacket(int& seq, int count, int& more);
void SetReadEvent();
// Makes the reporter report at once instead of at its next tick.
void SetOutputDataEvent();

// Thread routines (one pointer argument; the first two take the send function).
void* PlayRawDataThread(void* send);
void* PlayRawDataSimulationThread(void* send);
void* ReadNotifyThread(void*);
void* OutputDataThread(void*);
void* SwitchStandaloneModeThread(void*);

// Waits for the registered start signal, or for a stop. 1 when the signal came (or none
// is registered), 0 when the run was stopped first.
int WaitExternalSynchronizationSignal();

// One reporting step under g_DataCriticalSection: the channels of the operator mode,
// at most 20 ms of stream. Answers the samples reported.
int OutputData();
int DoOutputECGAndPPGExData(int ecg, int ppg1, int ppg2, int ppg3);

// The run's output rate, at least 1.
int PlayOutputRate();

// True while the producer may still serve a request or a tick (from the start of a run
// until its loop has ended): the command window waits for it only then.
bool PlayProducerServes();
// True while the reporter runs and no force stop has come: the producer's wait for the
// reporter at a cycle end gives way as soon as this turns false.
bool PlayReporterFollows();
// Called by the reporter as it ends.
void PlayReporterEnded();
