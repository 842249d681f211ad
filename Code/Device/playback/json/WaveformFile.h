// Waveform files: a JSON object whose members "ECGWaveform", "PPGWaveform1",
// "PPGWaveform2" and "PPGWaveform3" each hold "SampleRate" (samples per second), "AC" and
// "DC" (arrays of millivolts). One member becomes one PLAY_RAW_DATA.
//
// Owns: nothing; the arrays made are handed to the caller (array new). Pure: no I/O
// beyond the tree, no lock, no thread.
#pragma once

#include "api/nvs300.h"
#include "playback/json/JSONParser.h"

// The output rate a waveform file's channels play at (the auto test's rate).
constexpr int kWaveformFileOutputRate = 10000;

// Turns the member name of root into out (zero-filled by the caller; nSyncPulse and
// pCallback are left alone): fSampleRate, nSampleCount = the "AC" element count, and new
// AC and DC arrays. 1 when done. 0, with nothing allocated and out untouched, when the
// member is absent or not an object; "AC" or "DC" is absent or the null literal;
// "SampleRate" is absent, not a number, not finite or not positive, or gives a cycle
// under one output sample at kWaveformFileOutputRate; an array fails
// LoadWaveformJSONData; or memory runs out. A "DC" shorter than "AC" reads as zeros past
// its end.
int GetWaveformNodeData(JSONObject* root, const char* name, PLAY_RAW_DATA& out);

// Turns an array of numbers into a new double array (the caller deletes it with
// delete[]): count elements when count is non-zero (zeros past the array's end, later
// elements ignored), else the array's own element count. Elements that are not numbers
// read 0.0. 1 when done; 0, with out untouched, for a null node, one that is not an
// array, an empty array, an element that is not finite (1e999) or no memory.
int LoadWaveformJSONData(JSONNode* node, double*& out, unsigned long count = 0);
