// Calibration convert tables: the file parser, the interpolation and the row updates.
#include "service/ConvertTable.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/Instance.h"
#include "platform/Utils.h"

ConvertRow g_ACTable[kConvertRows];
ConvertRow g_DCTable[kConvertRows];

namespace {

constexpr size_t kMaxLineLength = 127;  // the longest line the format allows, its LF not counted

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// As atoi reads a number, but saturating at the int range instead of overflowing.
long long ReadNumber(const char* p, const char* end) {
    while (p < end && IsSpace(*p)) {
        ++p;
    }
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    long long value = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        if (value <= static_cast<long long>(INT_MAX) + 1) {
            value = value * 10 + (*p - '0');
        }
    }
    value = negative ? -value : value;
    if (value > INT_MAX) {
        return INT_MAX;
    }
    return value < INT_MIN ? INT_MIN : value;
}

int32_t ClampCode(long long v) {
    return v < 0 ? 0 : (v > kConvertFileCodes - 1 ? kConvertFileCodes - 1 : static_cast<int32_t>(v));
}

// Takes one complete line (without its LF).
void TakeLine(const char* line, size_t length, int32_t* entries) {
    const char* equals = static_cast<const char*>(memchr(line, '=', length));
    if (equals == nullptr) {
        return;  // not a point (a blank line among them)
    }
    const int32_t value = ClampCode(ReadNumber(equals + 1, line + length));
    const int32_t key = ClampCode(ReadNumber(line, equals));
    entries[key] = value;
}

// Splits bytes into lines across calls, so a file is read in pieces of any size.
class PointReader {
public:
    explicit PointReader(int32_t* entries) : m_entries(entries) {
        for (int i = 0; i < kConvertFileCodes; ++i) {
            m_entries[i] = kConvertMarker;
        }
    }
    void Feed(const char* bytes, size_t length) {
        for (size_t k = 0; k < length; ++k) {
            const char c = bytes[k];
            if (c == '\n') {
                EndLine();
            } else if (m_length < kMaxLineLength) {
                m_line[m_length++] = c;
            } else {
                m_overlong = true;
            }
        }
    }
    void Finish() { EndLine(); }

private:
    void EndLine() {
        if (!m_overlong) {
            TakeLine(m_line, m_length, m_entries);
        }
        m_length = 0;
        m_overlong = false;
    }
    int32_t* m_entries;
    char m_line[kMaxLineLength];
    size_t m_length = 0;
    bool m_overlong = false;
};

void FillIdentity(std::atomic<int32_t>* row, int from) {
    for (int i = from; i < kConvertRowLength; ++i) {
        row[i].store(i, std::memory_order_relaxed);
    }
}

bool LoadFile(const char* path, int32_t* entries) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    PointReader reader(entries);
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, file)) > 0) {
        reader.Feed(chunk, n);
    }
    const bool readError = ferror(file) != 0;
    fclose(file);
    if (readError) {
        return false;
    }
    reader.Finish();
    InterpolateConvertTable(entries);
    return true;
}

void UpdateConvertTable(ConvertRow* table, const char* suffix, PPGChannel channel, int useFile) {
    if (channel != PPG_CHANNEL_1 && channel != PPG_CHANNEL_2) {
        return;
    }
    std::atomic<int32_t>* row = table[channel - 1];
    const std::string path =
        StringFormat("%schannel%d%s.txt", g_Instance.GetWorkingDirectory().c_str(), static_cast<int>(channel), suffix);
    if (useFile != 0 && DoGetCalibrateConvertTable(path.c_str(), row) != 0) {
        FillIdentity(row, kConvertFileCodes);
        return;
    }
    FillIdentity(row, 0);
}

}  // namespace

void ParseConvertTablePoints(const char* bytes, size_t length, int32_t* entries) {
    PointReader reader(entries);
    reader.Feed(bytes, length);
    reader.Finish();
}

void InterpolateConvertTable(int32_t* entries) {
    const int last = kConvertFileCodes - 1;
    if (entries[0] == kConvertMarker) {
        entries[0] = 0;
    }
    if (entries[last] == kConvertMarker) {
        entries[last] = last;
    }
    int a = 0;
    int32_t A = entries[0];
    int b = 0;  // the nearest set entry above the gap being filled
    for (int i = 1; i < last; ++i) {
        if (entries[i] != kConvertMarker) {
            a = i;
            A = entries[i];
            continue;
        }
        if (b <= i) {
            b = i + 1;
            while (entries[b] == kConvertMarker) {
                ++b;
            }
        }
        const int32_t B = entries[b];
        entries[i] = static_cast<int32_t>(A + (static_cast<double>(i - a) / (b - a)) * (B - A));
    }
}

std::string FormatConvertedCopy(const int32_t* entries) {
    std::string text;
    text.reserve(kConvertFileCodes * 5);
    char line[16];
    for (int i = 0; i < kConvertFileCodes; ++i) {
        const int n = snprintf(line, sizeof line, "%d\n", static_cast<int>(entries[i]));
        text.append(line, static_cast<size_t>(n));
    }
    return text;
}

std::string ConvertedCopyPath(const std::string& tablePath) {
    const size_t keep = tablePath.size() >= 4 ? tablePath.size() - 4 : 0;
    return tablePath.substr(0, keep) + "-converted.txt";
}

int DoGetCalibrateConvertTable(const char* path, std::atomic<int32_t>* row) {
    if (path == nullptr || row == nullptr) {
        return 0;
    }
    int32_t entries[kConvertFileCodes];
    if (!LoadFile(path, entries)) {
        return 0;
    }
    for (int i = 0; i < kConvertFileCodes; ++i) {
        row[i].store(entries[i], std::memory_order_relaxed);
    }
    // The copy is for the station to inspect; a copy that cannot be written leaves the
    // row from the file in use all the same.
    const std::string copy = FormatConvertedCopy(entries);
    if (FILE* out = fopen(ConvertedCopyPath(path).c_str(), "wb")) {
        fwrite(copy.data(), 1, copy.size(), out);
        fclose(out);
    }
    return 1;
}

void UpdateACConvertTable(PPGChannel channel, int useFile) { UpdateConvertTable(g_ACTable, "-ac", channel, useFile); }

void UpdateDCConvertTable(PPGChannel channel, int useFile) { UpdateConvertTable(g_DCTable, "-dc", channel, useFile); }
