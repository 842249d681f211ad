// The nvs-emulator program's command line: what it parses to, its help text, and how
// its fault options are planned on the emulator and the firmware model.
//
// Parsing is pure (strings in, a CommandLine out); PlanFaults only configures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Stream.h"

namespace nvsemu {

class Emulator;
class Firmware;

struct HeaderDelay {
    std::vector<uint8_t> prefix;
    unsigned ms = 0;
    bool operator==(const HeaderDelay& o) const { return prefix == o.prefix && ms == o.ms; }
};

// --signal INPUT:SHAPE: the samples one stream input measures.
struct SignalOption {
    int input = 0;  // 0 pd1, 1 pd2, 2 sw1, 3 sw2
    uint16_t low = 0, high = 0;
    unsigned halfPeriod = 0;  // 0: constant low
    bool operator==(const SignalOption& o) const {
        return input == o.input && low == o.low && high == o.high && halfPeriod == o.halfPeriod;
    }
};

struct CommandLine {
    std::string profile;  // empty: the default profile
    std::string link;     // empty: no device-node link
    bool verbose = false;
    bool help = false;
    // --control: listen on a loopback TCP port for control lines (Control.h).
    bool control = false;
    // --minimal-echo: replies repeat only what the instrument promises (EchoMode.h).
    bool minimalEcho = false;
    // Faults.
    bool silent = false;
    std::vector<std::vector<uint8_t>> refuse;  // request headers the firmware refuses
    std::vector<std::vector<uint8_t>> drop;    // request headers answered with nothing
    std::vector<HeaderDelay> delay;            // request headers answered late
    std::optional<size_t> unplugAfter;         // requests answered before the unplug
    // How the instrument plays a stream (Stream.h): packets held, clock error in ppm,
    // an end drops the held packets.
    StreamOptions stream;
    // The sampling stream.
    std::optional<unsigned> samplingRate;  // samples per second
    std::vector<SignalOption> signals;
};

// Parses the arguments that follow the program name. Options take their value as the
// next argument or after '=' (--drop=55,00). False, with a one-line reason in `error`,
// on an unknown option or a missing or malformed value.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error);

// Request header bytes in hex: bytes separated by commas ("55,00"), each one or two
// digits with an optional 0x; a run of two-digit bytes may also be written as one
// ("cc0014"). At most 64 bytes. False on anything else.
bool ParseHeader(const std::string& text, std::vector<uint8_t>& prefix);

// The --help text.
std::string UsageText(const std::string& program);

// Plans the command line's faults: silence and unplugging on the emulator, drops and
// delays in its fault plan (every matching request), refusals in the firmware model
// (which then leaves its state alone, and refuses the memory command in byte 4).
void PlanFaults(const CommandLine& line, Emulator& emulator, Firmware& firmware);

// Gives the firmware model the command line's stream options.
void ApplyStreamOptions(const CommandLine& line, Firmware& firmware);

// The -v line for a stream event: one for each batch (the data request that asks for
// the next), and one when a stream starts, changes layout, ends and is over; empty for
// the others (their counts are on the batch lines).
std::string StreamLogLine(const StreamEvent& event);
// Sets the sampling stream's rate and input signals on the firmware model.
void PlanSampling(const CommandLine& line, Firmware& firmware);

}  // namespace nvsemu
