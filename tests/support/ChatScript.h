// A chat script: the instrument's side of an exchange written out byte for byte, for the
// few exchanges that the firmware model (tools/emulator/Firmware.h) and its fault plan
// cannot express. Each step names the request the host must send next and the replies
// it gets (none: the instrument stays silent). A request that is not the next step's,
// or comes after the last step, gets no reply and is recorded as a mismatch.
//
// Threads: Answer runs on the emulator's I/O thread; every method may be called from
// any thread (one lock, never held while calling out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "Emulator.h"

class ChatScript : public nvsemu::Responder {
public:
    using Bytes = std::vector<uint8_t>;

    // Appends a step: `request` (exactly these bytes) is answered by `replies`, in
    // order, each written its delayMs after the request arrived; an empty list is the
    // failure of a silent instrument.
    ChatScript& Expect(Bytes request, std::vector<nvsemu::Reply> replies);

    std::vector<nvsemu::Reply> Answer(const nvsemu::Request& request) override;

    // Every step was taken.
    bool Done() const;
    // The requests that broke the script, as hex text with the step they were meant for.
    std::vector<std::string> Mismatches() const;

private:
    struct Step {
        Bytes request;
        std::vector<nvsemu::Reply> replies;
    };
    mutable std::mutex mu_;
    std::vector<Step> steps_;
    size_t next_ = 0;
    std::vector<std::string> mismatches_;
};
