// The emulated instrument's port: a pseudo-terminal pair and the device-node link
// through which the library finds it.
//
// Quirks this component absorbs:
// - A fresh pty has ECHO, ICRNL and IXON on; the slave is made raw before anyone but
//   the emulator opens it, or 0x0D and 0x11/0x13 bytes of binary requests would be
//   rewritten or swallowed.
// - While no descriptor of the slave is open, reads of the master fail with EIO. The
//   emulator keeps one slave descriptor open (and never reads it) so that the
//   library's close and reopen of the port look like nothing to the master.
// - After the master closes, the slave reads 0 forever and writes fail with EIO: that
//   is how an unplugged instrument looks to the library.
#pragma once

#include <string>

namespace nvsemu {

struct PtyPair {
    int master = -1;  // non-blocking, close-on-exec
    int slave = -1;   // kept open only so the master never sees EIO; never read
    std::string slavePath;
};

// Opens a pty pair with the slave in raw mode. On failure returns false with errno set.
bool OpenRawPty(PtyPair& pty);
// Closes both descriptors (the slave path then vanishes).
void ClosePty(PtyPair& pty);

// Makes `link` a symbolic link to `target`, replacing an existing symbolic link (a
// stale node of an earlier run). Refuses to replace anything that is not a link.
bool MakeLink(const std::string& link, const std::string& target);
// Removes `link` when it is a symbolic link to `target` (a link that someone else has
// since pointed elsewhere is left alone).
void RemoveLink(const std::string& link, const std::string& target);

}  // namespace nvsemu
