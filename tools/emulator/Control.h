// The emulator program's control channel: faults and counts asked for over a loopback
// TCP port, so that a test client that cannot signal the emulator (a Windows program
// under wine) can still unplug it or silence it.
//
// One command a line (LF or CR LF ends it), each answered with one line:
//   unplug        the instrument vanishes (link removed, port closed)   -> ok
//   replug        it comes back at its link                             -> ok
//   silent on|off it answers no request / answers again                 -> ok
//   requests      requests recorded so far                              -> ok N
//   fillers       0x38 filler bytes seen so far                         -> ok N
// Anything else -> "error unknown command". Parsing and running are here; the sockets
// are the program's (main.cpp).
#pragma once

#include <string>

namespace nvsemu {

class Emulator;

// What a command did to the port, for the program to announce (a replug prints the new
// path, as after SIGUSR1).
enum class ControlEffect { None, Unplugged, Replugged };

// Runs one command line (without its line end) on the emulator; returns the answer line
// (without its line end).
std::string RunControlCommand(const std::string& line, Emulator& emulator, ControlEffect& effect);

}  // namespace nvsemu
