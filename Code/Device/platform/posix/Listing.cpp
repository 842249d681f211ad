// Port naming and the device listing on POSIX. Where the system's folder names no
// listing command (Linux), the device folder is read directly (opendir/readdir) and its
// entries matched against the node pattern, so neither the presence check nor a scan
// starts a process. (A child of a multi-threaded host would inherit its descriptors, and
// the host's SIGCHLD handler could reap it before we do.) Where it names one (macOS),
// the command's output lines are the listing, in the order it prints them.
//
// A listed line counts only when it is exactly the path rebuilt from its number (no
// leading zeros, sign, trailing text or overflow); a line longer than a path can be is
// skipped whole, never read in pieces. The pipe is closed on every path.
//
// A listed node is an entry of the pattern's folder whose name is the pattern's text
// before %d, a port number in decimal without leading zeros, then the text after %d.
// A dangling symbolic link is listed like any other entry, as a shell's listing of the
// pattern would list it.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "../PortSeam.h"
#include "Posix.h"

namespace {

struct NodePattern {
    std::string folder;  // without the trailing separator
    std::string before;  // name text before the number
    std::string after;   // name text after the number
    bool valid = false;
};

NodePattern CurrentPattern() {
    char text[256];
    PosixNodePattern(text, sizeof text);
    NodePattern p;
    const std::string pattern = text;
    const size_t mark = pattern.find("%d");
    const size_t slash = pattern.rfind('/', mark);
    if (mark == std::string::npos || slash == std::string::npos)
        return p;
    p.folder = pattern.substr(0, slash);
    p.before = pattern.substr(slash + 1, mark - slash - 1);
    p.after = pattern.substr(mark + 2);
    p.valid = p.after.find('/') == std::string::npos && p.after.find('%') == std::string::npos &&
              p.before.find('%') == std::string::npos;
    return p;
}

// The port number an entry name stands for, or -1 when the name does not match.
int PortOfName(const NodePattern& p, const char* name) {
    const size_t length = strlen(name);
    if (length <= p.before.size() + p.after.size() || strncmp(name, p.before.c_str(), p.before.size()) != 0 ||
        strcmp(name + length - p.after.size(), p.after.c_str()) != 0)
        return -1;
    const char* digits = name + p.before.size();
    const size_t count = length - p.before.size() - p.after.size();
    if (count > 9 || (digits[0] == '0' && count > 1))
        return -1;
    int port = 0;
    for (size_t i = 0; i < count; ++i) {
        if (digits[i] < '0' || digits[i] > '9')
            return -1;
        port = port * 10 + (digits[i] - '0');
    }
    return port;
}

// Calls visit(port, name) for every matching entry; false when the folder cannot be read.
template <class Visit>
bool ForEachNode(const NodePattern& p, Visit visit) {
    if (!p.valid)
        return false;
    const char* folder = p.folder.empty() ? "/" : p.folder.c_str();
    int fd;
    do {
        fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return false;
    }
    while (const dirent* entry = readdir(dir)) {
        const int port = PortOfName(p, entry->d_name);
        if (port >= 0 && !visit(port, entry->d_name))
            break;
    }
    closedir(dir);  // closes fd
    return true;
}

constexpr size_t kLineCapacity = 512;  // a listed line holds at most 511 characters

std::string Trimmed(const char* text) {
    const char* begin = text;
    while (*begin == ' ' || (*begin >= '\t' && *begin <= '\r'))
        ++begin;
    const char* end = begin + strlen(begin);
    while (end > begin && (end[-1] == ' ' || (end[-1] >= '\t' && end[-1] <= '\r')))
        --end;
    return std::string(begin, end);
}

// Calls visit(line) for every whole, trimmed line the listing command prints; false when
// there is no command or it cannot be started.
template <class Visit>
bool ForEachListedLine(Visit visit) {
    char command[4096];
    if (!PosixListingCommand(command, sizeof command))
        return false;
    FILE* pipe = popen(command, "r");
    if (pipe == nullptr)
        return false;
    // A child another thread starts meanwhile must not keep the pipe open.
    const int fdFlags = fcntl(fileno(pipe), F_GETFD);
    if (fdFlags >= 0)
        fcntl(fileno(pipe), F_SETFD, fdFlags | FD_CLOEXEC);
    // The pipe is read with read(), which a signal may interrupt (EINTR: read again); a
    // stdio read would end the listing there, losing the lines still to come.
    const int fd = fileno(pipe);
    std::string line;
    bool overlong = false;  // the current line is longer than a listed line can be
    bool stopped = false;
    char chunk[kLineCapacity];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n && !stopped; ++i) {
            if (chunk[i] != '\n') {
                if (line.size() == kLineCapacity - 2)
                    overlong = true;  // no room for its line end: skip all of this line
                else if (!overlong)
                    line += chunk[i];
                continue;
            }
            if (!overlong && !visit(Trimmed(line.c_str())))
                stopped = true;
            line.clear();
            overlong = false;
        }
        if (stopped)
            break;
    }
    if (!stopped && !overlong && !line.empty())
        visit(Trimmed(line.c_str()));  // a last line without its line end
    pclose(pipe);
    return true;
}

// The port number of a listed path, or -1 when the line is not exactly a node's path.
int PortOfListedLine(const NodePattern& p, const std::string& line) {
    const std::string prefix = p.folder + "/" + p.before;
    if (line.size() <= prefix.size() || line.compare(0, prefix.size(), prefix) != 0)
        return -1;
    const char* digits = line.c_str() + prefix.size();
    if (*digits < '0' || *digits > '9')
        return -1;
    errno = 0;
    const long value = strtol(digits, nullptr, 10);
    if (errno == ERANGE || value < 0 || value > INT_MAX)
        return -1;
    char rebuilt[kLineCapacity];
    const int n = snprintf(rebuilt, sizeof rebuilt, "%s%ld%s", prefix.c_str(), value, p.after.c_str());
    if (n <= 0 || static_cast<size_t>(n) >= sizeof rebuilt || line != rebuilt)
        return -1;
    return static_cast<int>(value);
}

}  // namespace

bool PortNodePath(int port, char* path, size_t size) {
    const NodePattern p = CurrentPattern();
    if (port < 0 || !p.valid || path == nullptr)
        return false;
    const int n = snprintf(path, size, "%s/%s%d%s", p.folder.c_str(), p.before.c_str(), port, p.after.c_str());
    return n > 0 && static_cast<size_t>(n) < size;
}

int PortList(int* ports, int capacity) {
    const NodePattern p = CurrentPattern();
    const int highest = PosixHighestPort();
    int count = 0;
    if (!p.valid || ports == nullptr || capacity <= 0)
        return 0;
    char command[8];
    if (PosixListingCommand(command, sizeof command)) {
        ForEachListedLine([&](const std::string& line) {
            const int port = PortOfListedLine(p, line);
            if (port >= 0 && port <= highest && count < capacity &&
                std::find(ports, ports + count, port) == ports + count)
                ports[count++] = port;
            return true;  // read to the end: the lister is not cut off mid-write
        });
        return count;  // in the order listed; none when the listing cannot run
    }
    ForEachNode(p, [&](int port, const char*) {
        if (port <= highest && count < capacity)
            ports[count++] = port;
        return true;
    });
    std::sort(ports, ports + count);
    return count;
}

bool PortIsListed(const char* path) {
    if (path == nullptr || path[0] == '\0')
        return false;
    const NodePattern p = CurrentPattern();
    bool listed = false;
    char command[8];
    if (PosixListingCommand(command, sizeof command)) {
        ForEachListedLine([&](const std::string& line) {
            listed = line == path;
            return !listed;
        });
        return listed;
    }
    ForEachNode(p, [&](int, const char* name) {
        const std::string node = p.folder + "/" + name;
        listed = node == path;
        return !listed;
    });
    return listed;
}
