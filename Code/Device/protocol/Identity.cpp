// The identity exchanges and the connect handshake.
#include "protocol/Identity.h"
#include "protocol/Memory.h"

#include <cstring>

#include "platform/Platform.h"
#include "platform/Transport.h"
#include "protocol/Exchange.h"
#include "protocol/MemoryCommand.h"
#include "protocol/ModelTables.h"
#include "protocol/PPGModule.h"

MODEL_INFORMATION g_ECGModelInfo = {};
HW_INFORMATION g_ECGModuleHWInfo = {};
HW_INFORMATION g_PPGModuleHWInfo = {};
uint16_t g_nFWVersion = 0;
int32_t g_iTargetDeviceSerialNumber = 0;

namespace {

constexpr unsigned kModelReadPauseMs = 40;
constexpr unsigned kVersionReadPauseMs = 40;
// The stop of the sampling stream is acknowledged by an 0xAD packet with byte 4 = 0,
// after whatever stream packets were already under way. A stream at full pace delivers
// a packet every millisecond or so; an instrument that never acknowledges must not keep
// the scan (and the port) for ever.
constexpr uint64_t kStopAckBudgetMs = 2000;
// The drain ends at the first empty read; a port that keeps talking ends it here.
constexpr uint64_t kDrainBudgetMs = 1000;
constexpr int kDrainMaxPackets = 256;

bool StopSamplingAndDrain() {
    unsigned char stop[sizeof kStopSamplingRequest];
    memcpy(stop, kStopSamplingRequest, sizeof stop);
    if (WriteData(stop, sizeof stop, 1) <= 0) {
        return false;
    }
    unsigned char packet[NVS_PACKET_SIZE];
    const uint64_t ackDeadline = GetMonotonicMs() + kStopAckBudgetMs;
    for (;;) {
        if (ReadData(packet, NVS_PACKET_SIZE, NVS_KIND_SAMPLING) != NVS_PACKET_SIZE) {
            return false;
        }
        if (packet[4] == 0) {
            break;
        }
        if (GetMonotonicMs() >= ackDeadline) {
            return false;
        }
    }
    const uint64_t drainDeadline = GetMonotonicMs() + kDrainBudgetMs;
    for (int n = 0; ReadData(packet, NVS_PACKET_SIZE, NVS_KIND_REPLY) > 0; ++n) {
        if (n >= kDrainMaxPackets || GetMonotonicMs() >= drainDeadline) {
            return false;
        }
    }
    return true;
}

uint16_t ModelNumber(const MODEL_INFORMATION& m) { return static_cast<uint16_t>((m.ucGeneration << 8) | m.ucModel); }

}  // namespace

bool IsTargetDevice() {
    ClearReplyQueue();
    proto::ResetPairing();  // what the last instrument repeated says nothing of this one
    ForgetDynamicLEDState();  // a new connection: what the last instrument was told is unknown here
    if (!StopSamplingAndDrain()) {
        return false;
    }
    const uint8_t request[3] = {0x55, 0x00, 0x00};
    if (!proto::Ok(proto::Send(request, sizeof request))) {
        return false;
    }
    uint8_t reply[kModelReplyLength];
    if (!proto::Ok(
            proto::Receive(reply, kModelReplyLength, NVS_KIND_REPLY, proto::MatchFor(request, sizeof request)))) {
        return false;
    }
    switch (JudgeHandshakeReply(reply, g_iTargetDeviceSerialNumber)) {
        case HandshakeVerdict::Identify:
            return UpdateDeviceInformation();
        case HandshakeVerdict::RangeAccept:
            UpdateDeviceInformation();
            return true;
        case HandshakeVerdict::RangeReject:
            UpdateDeviceInformation();
            return false;
        case HandshakeVerdict::Reject:
            break;
    }
    return false;
}

bool UpdateDeviceInformation() {
    ForgetFactorySettingMCU();  // the cached MCU record is not this instrument's
    GetModelInfo(0, &g_ECGModelInfo);
    UpdateDeviceFeatureByMainModule();
    GetModelInfo(1, &g_PPGModelInfo);
    UpdateDeviceFeatureByPPGModule();
    if (!DoGetHWInfo(0, &g_ECGModuleHWInfo) || !DoGetHWInfo(1, &g_PPGModuleHWInfo)) {
        return false;
    }
    DoGetHWDacLevel(0, &g_nECGDacLevel);
    DoGetHWDacLevel(1, &g_nPPGDCDacLevel);
    g_nPPGACDacLevel = g_nPPGDCDacLevel;
    DoGetExtModuleInfo(1, &g_PPGModuleHWInfo);
    if (g_DeviceFeature.nFPGAType != 0 && !IsFPGAAlive()) {
        // Without its FPGA the PPG side cannot work: it is made to look absent.
        memset(&g_PPGModelInfo, 0, sizeof g_PPGModelInfo);
        g_PPGModelInfo.nLEDType[0] = g_PPGModelInfo.nLEDType[1] = g_PPGModelInfo.nLEDType[2] = 3;
        g_DeviceFeature.nPPGModuleNumber = 0;
        g_DeviceFeature.nFPGAType = 0;
        g_DeviceFeature.nPPGChannelNumber = 0;
        g_DeviceFeature.nFlag1 = 0;
    }
    g_nFWVersion = static_cast<uint16_t>(g_ECGModuleHWInfo.nFWMajor * 256 + g_ECGModuleHWInfo.nFWMinor);
    return true;
}

bool GetModelInfo(int module, MODEL_INFORMATION* record) {
    if (record == nullptr) {
        return false;
    }
    if (module == 1 && g_DeviceFeature.bSeparatePPGModule == 0) {
        *record = g_ECGModelInfo;
        UpdatePPGLedTypeByModelNumber(record);
        return true;
    }
    const uint8_t request[3] = {0x55, 0x00, static_cast<uint8_t>(module)};
    uint8_t reply[kModelReplyLength];
    if (!proto::Ok(
            proto::Transact(request, sizeof request, reply, kModelReplyLength, NVS_KIND_REPLY, kModelReadPauseMs))) {
        return false;
    }
    if (!ParseModelRecordReply(reply, module, record)) {
        return false;
    }
    if (module == 0 || module == 1) {
        UpdatePPGLedTypeByModelNumber(record);
    }
    return true;
}

void UpdatePPGLedTypeByModelNumber(MODEL_INFORMATION* record) {
    if (record != nullptr) {
        DeriveLEDTypes(record->cProductName, ModelNumber(*record), record->nLEDType);
    }
}

void UpdateDeviceFeatureByMainModule() {
    g_DeviceFeature = DEVICE_FEATURE{1, 1, 0, 1, 1, 0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0, 0};
    if (const MainUnitRow* row = FindMainUnitRow(ModelNumber(g_ECGModelInfo))) {
        g_DeviceFeature.bSeparatePPGModule = row->separatePPGModule;
        g_DeviceFeature.nPPGModuleNumber = row->ppgModuleNumber;
        g_DeviceFeature.nPPGChannelNumber = row->ppgChannelNumber;
    }
}

void UpdateDeviceFeatureByPPGModule() {
    if (const DEVICE_FEATURE* row = FindPPGFeatureRow(GetPPGFullModelNumber())) {
        g_DeviceFeature = *row;
    }
}

bool DoGetHWInfo(int module, HW_INFORMATION* info) {
    if (info == nullptr) {
        return false;
    }
    if (module == 1 && g_DeviceFeature.bSeparatePPGModule == 0) {
        *info = g_ECGModuleHWInfo;
        return true;
    }
    const uint8_t target = module == 0 ? kMemMainIdentity : kMemPPG;
    constexpr uint8_t kIdentityLength = 12;
    uint8_t request[kMemoryPacketLength];
    BuildMemoryRequest(request, MemoryOp::Read, target, kIdentityLength, 0, nullptr);
    uint8_t reply[kMemoryPacketLength];
    // The instrument answers the bare 12-byte header like the whole packet.
    if (!proto::Ok(proto::Transact(request, 12, reply, kMemoryPacketLength, NVS_KIND_REPLY, kVersionReadPauseMs))) {
        return false;
    }
    // The instrument repeats the request's header as sent; the status byte of this
    // answer is not examined (an instrument may leave it unset here).
    const proto::Result checked = CheckMemoryReply(reply, MemoryOp::Read, target, kIdentityLength, 0);
    if (checked != proto::Result::Ok && checked != proto::Result::Refused) {
        return false;
    }
    ParseVersionReply(reply, info);
    if (module != 0) {
        info->nFWRevision = 255;
        return true;
    }
    const uint8_t revision[2] = {0xAA, 0x03};
    uint8_t revisionReply[kRevisionReplyLength];
    if (!proto::Ok(proto::Transact(revision, sizeof revision, revisionReply, kRevisionReplyLength, NVS_KIND_REPLY,
                                   kVersionReadPauseMs))) {
        return false;
    }
    info->nFWRevision = revisionReply[3];
    return true;
}

bool DoGetHWDacLevel(int module, double* level) {
    if (level == nullptr) {
        return false;
    }
    const uint8_t request[3] = {0x55, 0x00, static_cast<uint8_t>(module == 0 ? 0x80 : 0x81)};
    uint8_t reply[kModelReplyLength];
    if (!proto::Ok(proto::Transact(request, sizeof request, reply, kModelReplyLength, NVS_KIND_REPLY))) {
        return false;
    }
    *level = reply[4] == 1 ? 65535.0 : 4095.0;  // 16-bit DAC, else 12-bit
    return true;
}

bool DoGetExtModuleInfo(int module, HW_INFORMATION* info) {
    if (info == nullptr) {
        return false;
    }
    info->nExtModuleVersionHigh = 0;
    info->nExtModuleVersionLow = 0;
    if (module != 1) {
        return false;
    }
    // Model 0x2112 reports its extension module through family 0xB9.
    const bool b9 = GetPPGFullModelNumber() == 0x2112;
    const uint8_t request[3] = {static_cast<uint8_t>(b9 ? 0xB9 : 0xB8), 0x00, static_cast<uint8_t>(b9 ? 0x01 : 0x00)};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY))) {
        return false;
    }
    info->nExtModuleVersionHigh = b9 ? reply[4] : reply[9];
    info->nExtModuleVersionLow = b9 ? reply[5] : reply[10];
    return true;
}

bool IsFPGAAlive() {
    const uint8_t request[4] = {0xCC, 0x00, 0x14, 0x00};
    uint8_t reply[NVS_PACKET_SIZE];
    if (!proto::Ok(proto::Transact(request, sizeof request, reply, NVS_PACKET_SIZE, NVS_KIND_REPLY))) {
        return false;
    }
    return reply[3] == proto::kAccepted;
}

bool GetHWInfo(int module, HW_INFORMATION* info) {
    if (info == nullptr) {
        return false;
    }
    *info = module == 0 ? g_ECGModuleHWInfo : g_PPGModuleHWInfo;
    return true;
}

bool IsPPGChannel3Simulated() {
    const uint16_t model = GetPPGFullModelNumber();
    return model == 0x2005 || model == 0x2006 || model == 0x2007;
}

int GetECGRespirationType() {
    return g_PPGModelInfo.cProductName[0] == 'X' && g_PPGModelInfo.cProductName[1] == 'J' ? 1 : 0;
}

void ResetProtocolIdentityState() {
    g_ECGModelInfo = {};
    g_ECGModuleHWInfo = {};
    g_PPGModuleHWInfo = {};
    g_nFWVersion = 0;
    g_iTargetDeviceSerialNumber = 0;
}
