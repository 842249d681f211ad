// Exchanges of the control block (family 0xEA, sub-commands 00 and 0A) and the operator
// mode (family 0x00).
#include "protocol/ControlBlock.h"

#include <cstring>

#include "platform/Platform.h"
#include "platform/Transport.h"
#include "protocol/Exchange.h"
#include "waveform/Calibration.h"

namespace {

constexpr unsigned kSettlePauseMs = 100;  // the instrument applies a written block or mode
constexpr uint8_t kControlFamily = 0xEA;
constexpr uint8_t kOperatorFamily = 0x00;

proto::Result ReadBlock(_DEVICE_CONTROL_SETTING* block) {
    uint8_t request[kControlRequestLength] = {kControlFamily, 0x00, 0x00, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    proto::Result r = proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY);
    if (!proto::Ok(r)) {
        return r;
    }
    // A late reply of another family must never be taken for the block, or a
    // read-modify-write would write its bytes back into the instrument.
    if (reply[0] != kControlFamily) {
        return proto::Result::Mismatch;
    }
    memcpy(block, reply + 4, sizeof *block);
    return proto::Result::Ok;
}

proto::Result WriteBlock(const _DEVICE_CONTROL_SETTING& block, int apply) {
    uint8_t request[kControlRequestLength];
    BuildControlBlockWrite(request, block, apply);
    uint8_t reply[NVS_PACKET_SIZE];
    proto::Result r = proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY);
    if (!proto::Ok(r)) {
        return r;
    }
    if (reply[0] != kControlFamily) {
        return proto::Result::Mismatch;
    }
    if (reply[3] != proto::kAccepted) {
        return proto::Result::Refused;  // and no settle pause
    }
    SleepEx(kSettlePauseMs);
    return proto::Result::Ok;
}

// Read the block, let `change` edit it (returning false to skip the write), write it back
// without the apply flag.
template <typename Change>
bool ReadModifyWrite(Change change) {
    _DEVICE_CONTROL_SETTING block;
    if (!proto::Ok(ReadBlock(&block))) {
        return false;
    }
    if (!change(block)) {
        return true;
    }
    return proto::Ok(WriteBlock(block, 0));
}

}  // namespace

bool SetDeviceOperatorMode(int mode, unsigned char sync1, unsigned char sync2, unsigned char sync3, int rate) {
    uint8_t request[kOperatorModeLength];
    BuildOperatorModeRequest(request, mode, sync1, sync2, sync3, rate, g_ACCalMode);
    uint8_t reply[NVS_PACKET_SIZE];
    // The reply's contents are not examined: any packet counts as the acknowledgement.
    return proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY));
}

bool SetDeviceOperatorMode(_OPERATOR_MODE_IN* block) {
    if (block == nullptr) {
        return false;
    }
    block->ucFamily = kOperatorFamily;
    block->ucDirection = 0xFF;
    block->ucRate[0] = 0x10;  // 10000, low byte first in this form
    block->ucRate[1] = 0x27;
    uint8_t request[sizeof *block];
    memcpy(request, block, sizeof request);
    uint8_t reply[NVS_PACKET_SIZE];
    return proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY, kSettlePauseMs));
}

bool SetPPGSyncPulse(PPGChannel channel, SyncPulse pulse) {
    const uint8_t read[kOperatorModeLength] = {};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(proto::Transact(read, sizeof read, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY, kSettlePauseMs))) {
        return false;
    }
    // Only the operator block itself may be written back.
    if (reply[0] != kOperatorFamily) {
        return false;
    }
    uint8_t request[kOperatorModeLength];
    memcpy(request, reply, sizeof request);
    request[1] = 0xFF;
    const int index = channel == PPG_CHANNEL_1 ? 5 : (channel == PPG_CHANNEL_2 ? 6 : 7);
    request[index] = static_cast<uint8_t>(pulse);
    return proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY));
}

bool ReadDeviceControlSetting(_DEVICE_CONTROL_SETTING* block) {
    return block != nullptr && proto::Ok(ReadBlock(block));
}

bool WriteDeviceControlSetting(_DEVICE_CONTROL_SETTING* block, int apply) {
    return block != nullptr && proto::Ok(WriteBlock(*block, apply));
}

bool SetOutputImpedance(int value) {
    return ReadModifyWrite([value](_DEVICE_CONTROL_SETTING& b) {
        b.ucOutputImpedance = static_cast<uint8_t>(value);
        return true;
    });
}

bool SetOutputElectrode(int value) {
    return ReadModifyWrite([value](_DEVICE_CONTROL_SETTING& b) {
        if (b.ucOutputElectrode == value) {
            return false;  // already set: nothing to write
        }
        b.ucOutputElectrode = static_cast<uint8_t>(value);
        return true;
    });
}

bool SetOutputDCOffset(int millivolts) {
    return ReadModifyWrite([millivolts](_DEVICE_CONTROL_SETTING& b) {
        b.ucDCOffset = DCOffsetCode(millivolts);
        b.ucPacingEnable = 0;
        return true;
    });
}

bool SetOutputPacing(int enable) {
    return ReadModifyWrite([enable](_DEVICE_CONTROL_SETTING& b) {
        b.ucPacingEnable = enable != 0 ? 0xFF : 0x00;
        return true;
    });
}

bool SetOutputRespiration(int enable) {
    return ReadModifyWrite([enable](_DEVICE_CONTROL_SETTING& b) {
        b.ucRespirationEnable = enable != 0 ? 0xFF : 0x00;
        return true;
    });
}

bool DeviceEnableRespiration(bool enable, bool apnea) {
    return ReadModifyWrite([enable, apnea](_DEVICE_CONTROL_SETTING& b) {
        b.ucRespirationEnable = (enable && !apnea) ? 0xFF : 0x00;
        return true;
    });
}

bool GetLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* group) {
    if (group == nullptr) {
        return false;
    }
    _DEVICE_CONTROL_SETTING block;
    if (!proto::Ok(ReadBlock(&block))) {
        return false;
    }
    DecodeLEDPulseGroup(block, group);
    return true;
}

bool SetLEDPulseGroupSetting(PPG_LED_PULSE_GROUP_SETTING* group) {
    if (group == nullptr) {
        return false;
    }
    _DEVICE_CONTROL_SETTING block;
    if (!proto::Ok(ReadBlock(&block))) {
        return false;
    }
    EncodeLEDPulseGroup(*group, block);
    if (!proto::Ok(WriteBlock(block, 0))) {
        return false;
    }
    // Sub-command 0A makes the instrument take the new pulse group.
    const uint8_t take[kControlRequestLength] = {kControlFamily, 0xFF, 0x0A, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(proto::Transact(take, sizeof take, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY))) {
        return false;
    }
    return reply[3] == proto::kAccepted;
}

bool NotifyDeviceStopOutputWaveform() {
    _DEVICE_CONTROL_SETTING block;
    if (!proto::Ok(ReadBlock(&block))) {
        return false;
    }
    block.ucOutputEnable = 0;
    return proto::Ok(WriteBlock(block, 1));
}

int UpdateDeviceControlSetting(ECG_WAVEFORM* ecg) {
    _DEVICE_CONTROL_SETTING block = {};
    if (!proto::Ok(ReadBlock(&block))) {
        return 0;
    }
    ToDeviceControlSetting(ecg, block);
    return proto::Ok(WriteBlock(block, 1)) ? 1 : 0;
}
