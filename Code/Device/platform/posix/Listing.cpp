// Port naming and the device listing on POSIX: the device folder is read directly
// (opendir/readdir) and its entries matched against the node pattern, so neither the
// presence check nor a scan starts a process. (A child of a multi-threaded host would
// inherit its descriptors, and the host's SIGCHLD handler could reap it before we do.)
//
// A listed node is an entry of the pattern's folder whose name is the pattern's text
// before %d, a port number in decimal without leading zeros, then the text after %d.
// A dangling symbolic link is listed like any other entry, as a shell's listing of the
// pattern would list it.
#include <algorithm>
#include <cerrno>
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
    ForEachNode(p, [&](int, const char* name) {
        const std::string node = p.folder + "/" + name;
        listed = node == path;
        return !listed;
    });
    return listed;
}
