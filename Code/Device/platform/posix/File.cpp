// Whole-file reads for the waveform files. The open is non-blocking so that a FIFO
// named as a file fails the regular-file test instead of waiting for a writer; only the
// bytes actually read count, so a file that shrinks while it is read ends early.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    int fd;
    do {
        fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return 0;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0 ||
        static_cast<unsigned long long>(st.st_size) > maxBytes) {
        close(fd);
        return 0;
    }
    const uint32_t expected = static_cast<uint32_t>(st.st_size);
    if (expected == 0) {
        close(fd);
        return 1;
    }
    char* data = new (std::nothrow) char[expected];
    if (data == nullptr) {
        close(fd);
        return 0;
    }
    uint32_t got = 0;
    while (got < expected) {
        ssize_t n = read(fd, data + got, expected - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            delete[] data;
            close(fd);
            return 0;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<uint32_t>(n);
    }
    close(fd);
    if (got == 0) {
        delete[] data;
        data = nullptr;
    }
    *buffer = data;
    *size = got;
    return 1;
}
