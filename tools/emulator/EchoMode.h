// How much of a request the instrument repeats in its reply.
//
// Every reply begins with its family byte. The firmware model (Firmware.h) also repeats
// the request's direction and sub-command (bytes 1-2) in every reply that has them in
// that place, as a bench instrument does. An instrument may repeat no more than it
// promises: the memory command's header, target, flags, count and address; the model
// record's 55 00 m; the setting and raw-data writes of family 0xEA, which come back
// whole; the operator block, which is the instrument's own block and not an echo; the
// register read (CC 00 0A), whose reply the host sends back as the register write. In the
// minimal-echo mode the emulator plays such an instrument: in every other reply bytes 1
// and 2 carry values other than the request's (each request byte with its bits 0xA5
// flipped), so that a host that pairs replies on them fails at once.
//
// Pure: bytes in, bytes out.
#pragma once

#include <cstdint>
#include <vector>

namespace nvsemu {

// True when this request's reply repeats bytes 1-2 by promise (the minimal mode keeps them).
bool EchoOfHeaderPromised(const std::vector<uint8_t>& request);

// In the minimal-echo mode: changes reply bytes 1-2 that the request's reply need not
// repeat (byte 2 only when the request has one). Replies shorter than 3 bytes stay.
void RepeatOnlyWhatIsPromised(const std::vector<uint8_t>& request, std::vector<uint8_t>& reply);

}  // namespace nvsemu
