#include "CommandLine.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <limits>

#include "Emulator.h"
#include "Firmware.h"
#include "Profile.h"

namespace nvsemu {
namespace {

constexpr size_t kMaxHeader = 64;
constexpr unsigned long long kMaxDelayMs = 600000;  // ten minutes: beyond any host's patience

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A decimal number of at most `max`; no sign, no spaces.
bool ParseCount(const std::string& text, unsigned long long max, unsigned long long& out) {
    if (text.empty() || text.size() > 19)
        return false;
    unsigned long long value = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > max)
        return false;
    out = value;
    return true;
}

// A decimal number with an optional sign and fraction (-12.5), at most `limit` in size.
bool ParseSigned(const std::string& text, double limit, double& out) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    bool digits = false, point = false;
    for (size_t j = i; j < text.size(); ++j) {
        if (std::isdigit(static_cast<unsigned char>(text[j])))
            digits = true;
        else if (text[j] == '.' && !point)
            point = true;
        else
            return false;
    }
    if (!digits || text.size() > 24)
        return false;
    const double value = std::stod(text);
    if (!(value >= -limit && value <= limit))
        return false;
    out = value;
    return true;
}

constexpr unsigned long long kMaxStreamBuffer = 65535;
constexpr double kMaxClockPpm = 100000;  // 10 %

// INPUT:VALUE or INPUT:LOW:HIGH:HALF (a square of HALF samples per level).
bool ParseSignal(const std::string& text, SignalOption& out) {
    static const char* const kInputs[4] = {"pd1", "pd2", "sw1", "sw2"};
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (parts.size() != 2 && parts.size() != 4)
        return false;
    SignalOption s;
    s.input = -1;
    for (int i = 0; i < 4; ++i)
        if (parts[0] == kInputs[i])
            s.input = i;
    unsigned long long low = 0, high = 0, half = 0;
    if (s.input < 0 || !ParseCount(parts[1], 0xFFFF, low))
        return false;
    if (parts.size() == 4 && (!ParseCount(parts[2], 0xFFFF, high) || !ParseCount(parts[3], 1000000, half) || half == 0))
        return false;
    s.low = static_cast<uint16_t>(low);
    s.high = static_cast<uint16_t>(high);
    s.halfPeriod = static_cast<unsigned>(half);
    out = s;
    return true;
}

}  // namespace

bool ParseHeader(const std::string& text, std::vector<uint8_t>& prefix) {
    std::vector<uint8_t> bytes;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        std::string token = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X'))
            token.erase(0, 2);
        if (token.empty() || (token.size() > 2 && token.size() % 2 != 0))
            return false;
        for (const char c : token)
            if (HexDigit(c) < 0)
                return false;
        if (token.size() == 1) {
            bytes.push_back(static_cast<uint8_t>(HexDigit(token[0])));
        } else {
            for (size_t i = 0; i < token.size(); i += 2)
                bytes.push_back(static_cast<uint8_t>(HexDigit(token[i]) * 16 + HexDigit(token[i + 1])));
        }
        if (bytes.size() > kMaxHeader)
            return false;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    prefix = std::move(bytes);
    return true;
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error) {
    CommandLine line;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        const size_t eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.erase(eq);
        }
        const auto flag = [&] {
            if (inlineValue)
                error = name + " takes no value";
            return !inlineValue;
        };
        const auto value = [&](std::string& v) {
            if (inlineValue) {
                v = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        const auto header = [&](const std::string& text, std::vector<uint8_t>& prefix) {
            if (ParseHeader(text, prefix))
                return true;
            error = name + ": \"" + text + "\" is not request header bytes in hex (e.g. 12 or 55,00)";
            return false;
        };

        std::string v;
        if (name == "-h" || name == "--help") {
            if (!flag())
                return false;
            line.help = true;
        } else if (name == "-v" || name == "--verbose") {
            if (!flag())
                return false;
            line.verbose = true;
        } else if (name == "--silent") {
            if (!flag())
                return false;
            line.silent = true;
        } else if (name == "--minimal-echo") {
            if (!flag())
                return false;
            line.minimalEcho = true;
        } else if (name == "--control") {
            if (!flag())
                return false;
            line.control = true;
        } else if (name == "--profile") {
            if (!value(v))
                return false;
            line.profile = v;
        } else if (name == "--link") {
            if (!value(v))
                return false;
            if (v.empty()) {
                error = "--link needs a path";
                return false;
            }
            line.link = v;
        } else if (name == "--refuse" || name == "--drop") {
            std::vector<uint8_t> prefix;
            if (!value(v) || !header(v, prefix))
                return false;
            (name == "--refuse" ? line.refuse : line.drop).push_back(std::move(prefix));
        } else if (name == "--delay") {
            if (!value(v))
                return false;
            const size_t colon = v.rfind(':');
            HeaderDelay d;
            unsigned long long ms = 0;
            if (colon == std::string::npos || !ParseCount(v.substr(colon + 1), kMaxDelayMs, ms)) {
                error = "--delay: \"" + v + "\" is not HEADER:MS (e.g. 12:300, MS at most " +
                        std::to_string(kMaxDelayMs) + ")";
                return false;
            }
            if (!header(v.substr(0, colon), d.prefix))
                return false;
            d.ms = static_cast<unsigned>(ms);
            line.delay.push_back(std::move(d));
        } else if (name == "--unplug-after") {
            unsigned long long n = 0;
            if (!value(v))
                return false;
            if (!ParseCount(v, std::numeric_limits<uint32_t>::max(), n)) {
                error = "--unplug-after: \"" + v + "\" is not a number of requests";
                return false;
            }
            line.unplugAfter = static_cast<size_t>(n);
        } else if (name == "--stream-buffer") {
            unsigned long long n = 0;
            if (!value(v))
                return false;
            if (!ParseCount(v, kMaxStreamBuffer, n) || n == 0) {
                error = "--stream-buffer: \"" + v + "\" is not a number of packets from 1 to " +
                        std::to_string(kMaxStreamBuffer);
                return false;
            }
            line.stream.bufferPackets = static_cast<size_t>(n);
        } else if (name == "--stream-ppm") {
            double ppm = 0;
            if (!value(v))
                return false;
            if (!ParseSigned(v, kMaxClockPpm, ppm)) {
                error = "--stream-ppm: \"" + v + "\" is not a clock error in ppm (e.g. -100 or 12.5, at most 100000)";
                return false;
            }
            line.stream.clockPpm = ppm;
        } else if (name == "--stream-drop-on-end") {
            if (!flag())
                return false;
            line.stream.dropOnEnd = true;
        } else if (name == "--sampling-rate") {
            unsigned long long n = 0;
            if (!value(v))
                return false;
            if (!ParseCount(v, 1000000, n) || n == 0) {
                error = "--sampling-rate: \"" + v + "\" is not samples per second (1 to 1000000)";
                return false;
            }
            line.samplingRate = static_cast<unsigned>(n);
        } else if (name == "--signal") {
            SignalOption signal;
            if (!value(v))
                return false;
            if (!ParseSignal(v, signal)) {
                error = "--signal: \"" + v + "\" is not INPUT:VALUE or INPUT:LOW:HIGH:HALF (INPUT pd1, pd2, sw1, sw2)";
                return false;
            }
            line.signals.push_back(signal);
        } else {
            error = "unknown option " + args[i];
            return false;
        }
    }
    out = std::move(line);
    return true;
}

std::string UsageText(const std::string& program) {
    std::string profiles;
    for (const std::string& name : Profile::Names())
        profiles += " " + name + (name == Profile::DefaultName() ? " (default)" : "");
    return "usage: " + program +
           " [--profile NAME] [--link PATH] [-v] [fault options]\n"
           "\n"
           "Serves the instrument's firmware model on a pseudo-terminal until SIGINT or SIGTERM.\n"
           "Prints the port's path (/dev/pts/N) as the first line of standard output, and the\n"
           "new path on a line of its own each time the instrument is plugged back in.\n"
           "\n"
           "  --profile NAME     the instrument to be; profiles:" +
           profiles +
           "\n"
           "  --link PATH        also name the port PATH (a symbolic link, e.g. /dev/ttyACM0);\n"
           "                     removed on unplug and on exit, made again on replug\n"
           "  -v, --verbose      log every request, and one line per stream batch, to standard error\n"
           "  --control          listen on a loopback TCP port (printed as \"control PORT\" on the\n"
           "                     second line of standard output) for one command a line: unplug,\n"
           "                     replug, silent on, silent off, requests, fillers; each answered\n"
           "                     with \"ok\" (and a number) or \"error ...\"\n"
           "  --minimal-echo     repeat in replies only the request bytes the instrument promises\n"
           "                     to repeat (the memory command's, the model record's 55 00 m, the\n"
           "                     0xEA setting and raw-data writes, the register read); bytes 1-2 of\n"
           "                     every other reply differ from the request's. Also on when the\n"
           "                     environment has NVS_EMULATOR_ECHO=minimal\n"
           "  -h, --help         this text\n"
           "\n"
           "Fault options (HEADER: the first bytes of a request, in hex, e.g. 12, 55,00 or cc,00,14;\n"
           "each option may be given more than once and hits every matching request):\n"
           "  --silent           answer no request at all\n"
           "  --refuse HEADER    refuse matching requests: status 0x00 instead of 0xFF (byte 4 of\n"
           "                     a memory command 12, byte 3 of the others); no change of state\n"
           "  --drop HEADER      answer nothing to matching requests\n"
           "  --delay HEADER:MS  answer matching requests MS milliseconds late\n"
           "  --unplug-after N   answer N requests, then vanish at the next one (no reply, link\n"
           "                     removed, port closed)\n"
           "\n"
           "Stream options (how the instrument plays a stream of operator modes 1-7 and 9-17):\n"
           "  --stream-buffer N  packets the instrument holds (default 100); more are dropped\n"
           "                     and counted as overflows\n"
           "  --stream-ppm PPM   the instrument's clock error: plays PPM parts per million fast\n"
           "                     (negative: slow); default 0\n"
           "  --stream-drop-on-end  the end of a stream drops the packets held instead of\n"
           "                     playing them out before the end notice\n"
           "Sampling stream (started by the host's AD FF 00 00 mask request):\n"
           "  --sampling-rate N  samples per second of every input (default 1000)\n"
           "  --signal INPUT:VALUE | INPUT:LOW:HIGH:HALF\n"
           "                     what input pd1, pd2, sw1 or sw2 measures: a constant raw value,\n"
           "                     or a square wave of HALF samples at LOW, then HALF at HIGH\n"
           "\n"
           "Signals:\n"
           "  SIGUSR1            unplug when plugged in; plug back in (a new port, same link)\n"
           "                     when unplugged\n"
           "  SIGINT, SIGTERM    stop; the link is removed\n";
}

void PlanFaults(const CommandLine& line, Emulator& emulator, Firmware& firmware) {
    emulator.SetSilent(line.silent);
    if (line.minimalEcho)
        emulator.SetMinimalEcho(true);
    for (const std::vector<uint8_t>& prefix : line.refuse)
        firmware.RefuseRequests(prefix, 0);
    for (const std::vector<uint8_t>& prefix : line.drop)
        emulator.FaultOnHeader(prefix, Fault::Drop(), 0);
    for (const HeaderDelay& d : line.delay)
        emulator.FaultOnHeader(d.prefix, Fault::Delay(d.ms), 0);
    if (line.unplugAfter)
        emulator.FaultOnRequest(*line.unplugAfter, Fault::Unplug());
}

void ApplyStreamOptions(const CommandLine& line, Firmware& firmware) { firmware.SetStreamOptions(line.stream); }

std::string StreamLogLine(const StreamEvent& e) {
    using ull = unsigned long long;
    const StreamCounters& c = e.counters;
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%llu.%06llu", static_cast<ull>(e.atUs / 1000000),
                  static_cast<ull>(e.atUs % 1000000));
    char text[400];
    switch (e.kind) {
        case StreamEvent::Kind::Armed:
        case StreamEvent::Kind::Layout:
            std::snprintf(text, sizeof text, "%s stream %s: mode %d, %u samples/s", stamp,
                          e.kind == StreamEvent::Kind::Armed ? "armed" : "layout", e.mode, e.rate);
            break;
        case StreamEvent::Kind::DataRequest:
            std::snprintf(text, sizeof text,
                          "%s stream request #%llu (%llu us after due): batch of %llu, held %zu, played %llu; "
                          "underruns %llu (%llu us), overflows %llu, commands in a batch %llu, check failures %llu",
                          stamp, static_cast<ull>(e.number), static_cast<ull>(e.atUs > e.dueUs ? e.atUs - e.dueUs : 0),
                          static_cast<ull>(e.value), e.buffered, static_cast<ull>(c.played),
                          static_cast<ull>(c.underruns), static_cast<ull>(c.starvedUs), static_cast<ull>(c.overflows),
                          static_cast<ull>(c.commandsInBatch), static_cast<ull>(c.checkFailures));
            break;
        case StreamEvent::Kind::Ending:
            std::snprintf(text, sizeof text, "%s stream ending: %llu held, %llu played, tail %llu us", stamp,
                          static_cast<ull>(e.value), static_cast<ull>(c.played), static_cast<ull>(c.tailUs));
            break;
        case StreamEvent::Kind::Ended:
            std::snprintf(text, sizeof text,
                          "%s stream over: %llu packets, %llu played, %llu requests, underruns %llu (%llu us), "
                          "overflows %llu, commands in a batch %llu, check failures %llu, dropped %llu",
                          stamp, static_cast<ull>(c.packets), static_cast<ull>(c.played), static_cast<ull>(c.requests),
                          static_cast<ull>(c.underruns), static_cast<ull>(c.starvedUs), static_cast<ull>(c.overflows),
                          static_cast<ull>(c.commandsInBatch), static_cast<ull>(c.checkFailures),
                          static_cast<ull>(c.droppedAtEnd));
            break;
        default:
            return {};
    }
    return text;
}

void PlanSampling(const CommandLine& line, Firmware& firmware) {
    if (line.samplingRate)
        firmware.SetStreamRate(*line.samplingRate);
    for (const SignalOption& s : line.signals)
        firmware.SetSampleSource(s.input, s.halfPeriod == 0 ? SampleSource::Constant(s.low)
                                                            : SampleSource::Square(s.low, s.high, s.halfPeriod));
}

}  // namespace nvsemu
