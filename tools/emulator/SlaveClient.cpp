#include "SlaveClient.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace nvsemu {
namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

SlaveClient::SlaveClient(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        lastErrno_ = errno;
}

SlaveClient::~SlaveClient() { Close(); }

void SlaveClient::Close() {
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

ssize_t SlaveClient::Write(const std::vector<uint8_t>& bytes) {
    const ssize_t n = write(fd_, bytes.data(), bytes.size());
    lastErrno_ = n < 0 ? errno : 0;
    return n;
}

std::vector<uint8_t> SlaveClient::ReadOnce(unsigned timeoutMs, size_t max) {
    std::vector<uint8_t> out;
    lastRead_ = -1;
    lastErrno_ = ETIMEDOUT;
    pollfd p{fd_, POLLIN, 0};
    const int64_t deadline = NowMs() + timeoutMs;
    for (;;) {
        const int64_t left = deadline - NowMs();
        const int ready = poll(&p, 1, static_cast<int>(left > 0 ? left : 0));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return out;
        break;
    }
    out.resize(max);
    const ssize_t n = read(fd_, out.data(), max);
    lastRead_ = n;
    lastErrno_ = n < 0 ? errno : 0;
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::vector<uint8_t> SlaveClient::ReadExactly(size_t n, unsigned timeoutMs) {
    std::vector<uint8_t> out;
    const int64_t deadline = NowMs() + timeoutMs;
    while (out.size() < n) {
        const int64_t left = deadline - NowMs();
        if (left <= 0)
            break;
        const std::vector<uint8_t> got = ReadOnce(static_cast<unsigned>(left), n - out.size());
        if (got.empty() && lastRead_ == 0)
            break;  // end of file: the port is gone
        if (got.empty() && lastRead_ < 0 && lastErrno_ != ETIMEDOUT && lastErrno_ != EAGAIN)
            break;
        out.insert(out.end(), got.begin(), got.end());
    }
    return out;
}

std::vector<uint8_t> SlaveClient::ReadUntilQuiet(unsigned quietMs) {
    std::vector<uint8_t> out;
    for (;;) {
        const std::vector<uint8_t> got = ReadOnce(quietMs);
        if (got.empty())
            return out;
        out.insert(out.end(), got.begin(), got.end());
    }
}

}  // namespace nvsemu
