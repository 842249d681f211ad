// The raw-data playback engine: streaming sample arrays to the instrument in packets it
// paces, and reporting the played samples to the host's callbacks.
//
// The engine's parts, each with its own header:
//   PlaybackState.h  the shared state of a run and its sources
//   Signal.h         evaluation of every channel at a sample index, cycle rules, apnea,
//                    drift trim, resampler
//   StreamPacket.h   the stream packet builders
//   RawData.h        loading sources, extra-curve lists, frequency sweeps
// Run control (threads, starts, stop, command window) is declared below them.
//
// Owns: the engine's entries as the rest of the library calls them. The exported
// playback functions are declared in api/nvs300.h.
#pragma once

#include "playback/PlaybackState.h"
#include "playback/RawData.h"
#include "playback/Signal.h"
#include "playback/StreamPacket.h"

// ---- Run control ---------------------------------------------------------------------------
