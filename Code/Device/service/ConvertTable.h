// Calibration convert tables: per PPG channel (1, 2) an AC and a DC table that maps the
// DAC code meant to the code sent. A row is the identity or is built from the measured
// points of a text file in the working directory ("channel1-ac.txt": one "key=value" a
// line), interpolated linearly over codes 0..4095; the full row is written back beside
// the file as its converted copy ("channel1-ac-converted.txt", 4096 lines of "%d\n").
//
// Owns: g_ACTable and g_DCTable (static storage, all zero at load). Entries are atomic so
// the play thread may read a row while a calibration start rebuilds it; a reader sees each
// entry old or new, never torn. The parser and interpolation are pure (bytes in, row out).
// Updates run under g_CriticalSection; the component takes no lock of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "api/nvs300.h"

constexpr int kConvertRows = 2;
constexpr int kConvertRowLength = 65536;
constexpr int kConvertFileCodes = 4096;  // the file's keys and values lie in 0..4095
constexpr int kConvertMarker = -1;       // an entry no line has set, while a file is read

using ConvertRow = std::atomic<int32_t>[kConvertRowLength];
extern ConvertRow g_ACTable[kConvertRows];
extern ConvertRow g_DCTable[kConvertRows];

// ---- Pure parsing and interpolation ----------------------------------------------------

// Reads the points of a table file's bytes into entries[0..4095]: each entry starts as the
// marker; every line "key=value" sets entry key to value, both read as atoi reads them but
// saturating at the int range, then clamped to 0..4095; a later line for a key wins. A line
// holds at most 127 characters: a longer one is skipped whole, as is a line without '='.
// Lines end at LF; a CR before it is part of the value's tail and ignored.
void ParseConvertTablePoints(const char* bytes, size_t length, int32_t* entries);

// Fills every marker of entries[0..4095]: an unset entry 0 becomes 0 and an unset 4095
// becomes 4095; each other unset entry lies on the line between the nearest set entries
// below and above (truncated toward zero). Only set entries act as anchors.
void InterpolateConvertTable(int32_t* entries);

// The converted copy's text: 4096 lines, entry 0 first, each "%d\n".
std::string FormatConvertedCopy(const int32_t* entries);

// "./channel1-ac.txt" gives "./channel1-ac-converted.txt" (the last four characters
// replaced).
std::string ConvertedCopyPath(const std::string& tablePath);

// ---- File loads -------------------------------------------------------------------------

// Loads the table file at path into entries 0..4095 of row and writes the converted copy.
// 1 when the file was read (an unwritable copy still counts: the row from the file is in
// use); 0 when the file does not exist or cannot be read (entries 4096..65535 untouched,
// 0..4095 left as the marker for the caller to overwrite).
int DoGetCalibrateConvertTable(const char* path, std::atomic<int32_t>* row);

// Rebuilds row channel - 1 of the AC (DC) table: from "<dir>channel<n>-ac.txt" ("-dc")
// when useFile is non-zero and the file loads, otherwise the identity over all 65536
// entries. A row from a file maps 4096..65535 to themselves too (a 16-bit instrument
// reaches them). Nothing is reported; a channel other than 1 or 2 changes nothing.
void UpdateACConvertTable(PPGChannel channel, int useFile);
void UpdateDCConvertTable(PPGChannel channel, int useFile);
