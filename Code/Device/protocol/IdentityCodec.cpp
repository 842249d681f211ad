// Pure parts of the identity family: the model-record reply, the handshake's verdict and
// the version bytes of the identity record.
#include <cstring>

#include "protocol/Identity.h"
#include "protocol/Wire.h"

bool ParseModelRecordReply(const uint8_t* reply, int module, MODEL_INFORMATION* record) {
    if (reply[0] != 0x55 || reply[1] != 0x00 || reply[2] != static_cast<uint8_t>(module) || reply[3] != 0xFF) {
        return false;
    }
    // Byte 4 is the identity marker 0x4F; it is neither compared nor kept.
    record->cProductName[0] = static_cast<char>(reply[5]);
    record->cProductName[1] = static_cast<char>(reply[6]);
    record->ucGeneration = reply[7];
    record->ucModel = reply[8];
    record->nSerialPrefix = reply[9];
    // The stored serial number is 16 bits; hosts have always seen it sign-extended.
    record->iSerialNumber = wire::GetBE16Signed(reply + 10);
    record->nLEDType[0] = record->nLEDType[1] = record->nLEDType[2] = 3;
    return true;
}

HandshakeVerdict JudgeHandshakeReply(const uint8_t* reply, int32_t filter) {
    const int32_t serial = wire::GetBE16Signed(reply + 10);
    if (filter != 0) {
        // The range modes compare neither the letters nor the status: they sort
        // instruments by serial number, and serials from 0x8000 up read as negative.
        if (filter & 0x8000) {
            return serial <= 8999 ? HandshakeVerdict::RangeAccept : HandshakeVerdict::RangeReject;
        }
        if (filter & 0x10000) {
            return serial > 8999 ? HandshakeVerdict::RangeAccept : HandshakeVerdict::RangeReject;
        }
        if (serial != filter) {
            return HandshakeVerdict::Reject;
        }
    }
    static const uint8_t kIdentity[7] = {0x55, 0x00, 0x00, 0xFF, 0x4F, 'N', 'V'};
    return memcmp(reply, kIdentity, sizeof kIdentity) == 0 ? HandshakeVerdict::Identify : HandshakeVerdict::Reject;
}

void ParseVersionReply(const uint8_t* reply, HW_INFORMATION* info) {
    info->nHWMajor = reply[24];
    info->nHWMinor = reply[25];
    info->nFWMajor = reply[26];
    info->nFWMinor = reply[27];
}
