// Whole-file reads for the waveform files. Only a disk file is read: a pipe, a device
// or a folder is refused before any read, so a path naming one never blocks the caller.
// The bytes are read as stored (the waveform reader takes CR LF line ends as any white
// space), and only the bytes actually read count.
#include <windows.h>

#include <new>

#include "platform/OsServices.h"

int OsReadRegularFile(const char* path, uint32_t maxBytes, char** buffer, uint32_t* size) {
    if (buffer == nullptr || size == nullptr) {
        return 0;
    }
    *buffer = nullptr;
    *size = 0;
    if (path == nullptr) {
        return 0;
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return 0;
    }
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    LARGE_INTEGER length;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &length) || length.QuadPart < 0 ||
        static_cast<unsigned long long>(length.QuadPart) > maxBytes) {
        CloseHandle(file);
        return 0;
    }
    const uint32_t expected = static_cast<uint32_t>(length.QuadPart);
    if (expected == 0) {
        CloseHandle(file);
        return 1;
    }
    char* data = new (std::nothrow) char[expected];
    if (data == nullptr) {
        CloseHandle(file);
        return 0;
    }
    uint32_t got = 0;
    while (got < expected) {
        DWORD n = 0;
        if (!ReadFile(file, data + got, expected - got, &n, nullptr)) {
            delete[] data;
            CloseHandle(file);
            return 0;
        }
        if (n == 0) {
            break;
        }
        got += n;
    }
    CloseHandle(file);
    if (got == 0) {
        delete[] data;
        data = nullptr;
    }
    *buffer = data;
    *size = got;
    return 1;
}
