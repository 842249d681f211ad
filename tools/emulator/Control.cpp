#include "Control.h"

#include <cerrno>
#include <cstring>

#include "Emulator.h"

namespace nvsemu {

std::string RunControlCommand(const std::string& line, Emulator& emulator, ControlEffect& effect) {
    effect = ControlEffect::None;
    std::string command = line;
    if (!command.empty() && command.back() == '\r')
        command.pop_back();
    if (command == "unplug") {
        emulator.Unplug();
        effect = ControlEffect::Unplugged;
        return "ok";
    }
    if (command == "replug") {
        if (!emulator.Replug())
            return std::string("error cannot plug back in: ") + std::strerror(errno);
        effect = ControlEffect::Replugged;
        return "ok";
    }
    if (command == "silent on" || command == "silent off") {
        emulator.SetSilent(command == "silent on");
        return "ok";
    }
    if (command == "requests")
        return "ok " + std::to_string(emulator.Requests().size());
    if (command == "fillers")
        return "ok " + std::to_string(emulator.FillerBytes());
    return "error unknown command";
}

}  // namespace nvsemu
