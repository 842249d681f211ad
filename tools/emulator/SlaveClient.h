// A raw host-side client of the emulated port, for tests and diagnostics: it opens the
// slave as the library does (read-write, no controlling terminal, non-blocking) and
// reads and writes bytes with explicit deadlines. No framing, no retries.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <string>
#include <sys/types.h>
#include <vector>

namespace nvsemu {

class SlaveClient {
public:
    explicit SlaveClient(const std::string& path);
    ~SlaveClient();
    SlaveClient(const SlaveClient&) = delete;
    SlaveClient& operator=(const SlaveClient&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Close();

    // One write() call; returns its result (errno set when -1).
    ssize_t Write(const std::vector<uint8_t>& bytes);
    // Waits at most timeoutMs for the port to become readable, then makes one read()
    // of at most `max` bytes. Empty on time-out, end of file or error; LastRead() then
    // tells which (0: end of file, -1: error or time-out, see LastErrno()).
    std::vector<uint8_t> ReadOnce(unsigned timeoutMs, size_t max = 4096);
    // Reads until n bytes have come or timeoutMs has passed; returns what came.
    std::vector<uint8_t> ReadExactly(size_t n, unsigned timeoutMs);
    // Reads whatever arrives until the line has been quiet for quietMs.
    std::vector<uint8_t> ReadUntilQuiet(unsigned quietMs);

    ssize_t LastRead() const { return lastRead_; }
    int LastErrno() const { return lastErrno_; }

private:
    int fd_ = -1;
    ssize_t lastRead_ = 0;
    int lastErrno_ = 0;
};

// Runs f on a thread of its own and tells whether it returned within timeoutMs: the
// deadline join for stops in tests. (When it did not, the caller still waits for it at
// the end of the full expression; the test has failed by then.)
template <class F>
bool FinishesWithin(unsigned timeoutMs, F f) {
    auto done = std::async(std::launch::async, std::move(f));
    return done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
}

}  // namespace nvsemu
