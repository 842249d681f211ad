// The scripted instrument of the fuzz targets that reach a decoder only through an
// exchange: the library connected (the real transport, over a pseudo-terminal in a
// sandboxed device folder) to the emulator, whose every request is answered by the next
// replies that the fuzz input scripts. Pauses are cut to 50 µs and the read time-out to
// 3 ms: an input that scripts silence costs milliseconds, not the instrument's seconds.
//
// Input of a scripted target: [0] operation (index into the target's table, modulo its
// size), [1] bit 0: refresh the identity records first (UpdateDeviceInformation, from
// the script like the rest), [2-9] the operation's parameters, then the script: steps
// of [control][length][length bytes], each one reply in one write; length 0 is
// silence. Control bit 7: the next step answers the same request too; bit 6: byte 3 is
// set to 0xFF (accepted); bits 0-5: that many leading bytes of the request are copied
// over the reply first. When the script has run out the instrument stays silent.
//
// Seeds: WriteScriptedSeeds runs each operation against the emulator's firmware model
// of several instruments and writes what it answered in this layout.
#pragma once

#include <cstddef>
#include <cstdint>

struct FuzzOp {
    const char* name;
    // Runs the operation on the connected library; p: 8 parameter bytes.
    void (*run)(const uint8_t* p);
    uint8_t seed[8];  // the parameters of its seeds
};

// Runs one input through a target's operations (the LLVMFuzzerTestOneInput body).
int RunScripted(const uint8_t* data, size_t size, const FuzzOp* ops, size_t count);
// Writes one seed per operation and firmware profile into dir: <op>-<profile>.
int WriteScriptedSeeds(const char* dir, const FuzzOp* ops, size_t count);

namespace nvsemu {
class Emulator;
}
// The link's emulator, with the library's port open to it and the library's state reset:
// for a target that plugs a responder of its own. FuzzLinkSettle afterwards empties the
// port and the reply queue and silences the emulator again.
nvsemu::Emulator& FuzzLinkEmulator();
void FuzzLinkSettle();

// A parameter byte as a signed number (-128..127): indexes and lengths outside their range too.
inline int ParamInt(const uint8_t* p, int at) { return static_cast<int8_t>(p[at]); }
