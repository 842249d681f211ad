// Identity family (55 00 m, AA 03), the extension-module version (B8 00 00, B9 00 01)
// and the sampling-stream switch (0xAD) of the firmware model.
#include "Firmware.h"

#include "FactoryImage.h"
#include "FirmwareReplies.h"

namespace nvsemu {

using namespace fw;

// 55 00 m: the model record of module m (0 main, 1 PPG side), bytes 0 to 7 of its
// identity record read from memory, so an erased record answers FF bytes. 55 00 80/81:
// the DAC width of the main module or PPG side, byte 4 = 1 for 16 bits.
Firmware::Bytes Firmware::OnIdentity(const Bytes& r) {
    const uint8_t m = r[2];
    Bytes reply = Accept(r, 12);
    if (m == 0x00 || m == 0x01) {
        Bytes record;
        const bool own = m == 0x01 && profile_.separatePpg;
        const uint8_t target = own ? memmap::kPpgTarget : memmap::kMainIdentityTarget;
        if (!memory_.Read(target, own ? selectedModule_ : 0, 0, 8, record))
            return Refuse(r, 12);
        std::copy(record.begin(), record.end(), reply.begin() + 4);
    } else if (m == 0x80 || m == 0x81) {
        const bool dac16 = (m == 0x80 || !profile_.separatePpg) ? profile_.mainDac16 : profile_.ppgDac16;
        reply[4] = dac16 ? 1 : 0;
    } else {
        return Refuse(r, 12);
    }
    return reply;
}

// AA 03: the main module's firmware revision in byte 3 of a 5-byte reply.
Firmware::Bytes Firmware::OnRevision(const Bytes& r) {
    Bytes reply = Echo(r, 5);
    reply[2] = 0x00;
    reply[3] = profile_.fwRevision;
    return reply;
}

// B8 00 00 (version at bytes 9 and 10) on modules with a photodiode FPGA; B9 00 01
// (bytes 4 and 5) on modules whose extension module answers so. A module without one,
// or with a dead FPGA, refuses. The FPGA upgrade requests (B8 FF ..., B8 00 02) are
// not served.
Firmware::Bytes Firmware::OnExtensionVersion(const Bytes& r) {
    if (r[0] == 0xB8 && r[1] == 0x00 && r[2] == 0x00) {
        if (!FpgaAnswers() || profile_.extModuleB9)
            return Refuse(r);
        Bytes reply = Accept(r);
        reply[9] = profile_.extVersion[0];
        reply[10] = profile_.extVersion[1];
        return reply;
    }
    if (r[0] == 0xB9 && r[1] == 0x00 && r[2] == 0x01) {
        if (!profile_.extModuleB9)
            return Refuse(r);
        Bytes reply = Accept(r);
        reply[4] = profile_.extVersion[0];
        reply[5] = profile_.extVersion[1];
        return reply;
    }
    return {};
}

// A packet of the 0xAD family: status 0xFF, mode byte, payload length 0, sequence.
Firmware::Bytes Firmware::SamplingPacket(uint8_t sub, uint8_t mode) {
    Bytes p(64, 0);
    p[0] = 0xAD;
    p[1] = 0xFF;
    p[2] = sub;
    p[3] = kAccepted;
    p[4] = mode;
    PutBe16(p, 6, streamSeq_++);
    return p;
}

// AD FF 00 00 v 00 switches the stream: v = ADC channel mask, 0 stops it. The answer
// to a stop is the stream's last packet, mode byte 0, which the host's handshake waits
// for. AD 00 01 00 10 00 reads the right-leg-drive levels (words at bytes 6-9).
Firmware::Bytes Firmware::OnSampling(const Bytes& r) {
    if (r[1] == 0xFF && r[2] == 0x00) {
        const uint8_t mask = r[4];
        if (mask == 0 && stream_.On() && stream_.Faults().ignoreStop)
            return {};
        streamOn_ = mask != 0;
        streamMask_ = mask;
        if ((mask & 0x0F) != 0) {
            ++streamStarts_;
            stream_.Start(mask, NowUs());
        } else {
            if (stream_.On()) {
                ++streamStops_;
                burst_ = stream_.Burst(stopInFlight_);
            }
            stream_.Stop();
        }
        return SamplingPacket(0x00, mask);
    }
    if (r[1] == 0x00 && r[2] == 0x01) {
        Bytes reply = Accept(r);
        PutBe16(reply, 6, rld_[0]);
        PutBe16(reply, 8, rld_[1]);
        return reply;
    }
    return Refuse(r);
}

}  // namespace nvsemu
