// The playback engine's command window, as the protocol sees it.
//
// While a raw playback runs, a request written between two stream batches would
// interleave with stream packets; the engine therefore runs such requests itself in its
// command window. The protocol sits below the engine, so the engine hands its two entry
// points down here when it is set up: whether a playback runs (its PlayRawIsRunning) and
// the window's form of the calibration-setting write (its PlayWrite0xCCCommand). Until
// they are installed every request goes out directly.
//
// Owns: the two installed entry points. Set once before any thread talks to the instrument.
#pragma once

typedef int (*PFN_PLAY_IS_RUNNING)();
typedef bool (*PFN_PLAY_WRITE_0xCC)(unsigned char id, unsigned char* data, int length);

// Installs (or, with nulls, removes) the engine's entry points.
void SetPlaybackCommandWindow(PFN_PLAY_IS_RUNNING isRunning, PFN_PLAY_WRITE_0xCC write0xCC);

// True when a playback runs and its window must carry the request.
bool PlaybackWindowOpen();
// The window's calibration-setting write; false when no window is installed.
bool PlaybackWrite0xCC(unsigned char id, unsigned char* data, int length);
// Removes the entry points, as at load (for the test suites).
void ResetCommandWindowState();
