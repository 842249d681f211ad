// The input side of the waveform-file reader: a character stream with one pushed-back
// character, and the file form that holds a whole file in memory.
//
// Owns: the file's bytes (JSONFile). No lock, no thread; the file is read once, at
// construction. Nodes parsed from a stream borrow it, so it must outlive them.
#pragma once

#include <cstdint>
#include <string>

// The largest waveform file read (bytes); a larger one reads as an empty stream.
constexpr uint32_t kJSONFileMaxBytes = 256u * 1024u * 1024u;

class JSONStream {
public:
    virtual ~JSONStream() {}
    // The next character of the input, 0 at its end.
    virtual char ReadChar() = 0;

    // The pending character (cleared) when there is one, else ReadChar().
    char ReadNextChar();
    // Makes c pending; a pending 0 means none.
    void SetNextChar(char c) { cNextChar = c; }
    void Clear() { cNextChar = 0; }

protected:
    char cNextChar = 0;
};

class JSONFile : public JSONStream {
public:
    // Reads the file whole. A path that names no regular file, cannot be read or holds
    // more than kJSONFileMaxBytes gives an empty stream (Loaded() false). A leading UTF-8
    // byte-order mark is skipped.
    explicit JSONFile(std::string path);
    ~JSONFile() override;
    JSONFile(const JSONFile&) = delete;
    JSONFile& operator=(const JSONFile&) = delete;

    char ReadChar() override;
    // True when the file was read (an empty file included).
    bool Loaded() const { return bLoaded; }

private:
    void LoadFile(const char* path);

    char* pBuffer = nullptr;
    uint32_t nSize = 0;
    uint32_t nPosition = 0;
    bool bLoaded = false;
};

// A stream over bytes the caller keeps alive (tests and the fuzz targets).
class JSONMemoryStream : public JSONStream {
public:
    JSONMemoryStream(const char* data, size_t size) : pData(data), nSize(size) {}
    char ReadChar() override { return nPosition < nSize ? pData[nPosition++] : 0; }

private:
    const char* pData;
    size_t nSize;
    size_t nPosition = 0;
};
