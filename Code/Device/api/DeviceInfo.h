// Small helpers of the information and control-setting API that other subsystems use.
//
// Owns: the library's version text, g_bACAboveDC's setter (the flag itself is the
// waveform model's), the serial-number buffers. Pure helpers below take no lock.
#pragma once

#include "api/nvs300.h"

// The library's version.
constexpr const char* kLibraryVersion = "1.0.5.4";

// The channel when it is 1, 2 or 3; 1 for any other value.
PPGChannel CheckPPGChannel(PPGChannel channel);
// Four decimal numbers a.b.c.d as a << 24 | b << 16 | c << 8 | d (each taken modulo 256
// so that no field spills into the next); numbers that are missing count as 0. 0 for null.
int ConvertVersion(const char* text);
// The serial-number text of a model record into a buffer of at least 32 chars:
// "O<letters><model as 4 hex digits>-<prefix, 2 digits><serial, 4 digits>", or the empty
// string when the text is not exactly 14 characters long (no instrument, or a number
// wider than its field).
void FormatSerialNumber(const MODEL_INFORMATION& record, char* buffer, int size);
// The serial-number buffers back to their load-time (empty) contents (for the test suites).
void ResetDeviceInfoState();
