// The auto-test sequencer (AutoTest.h).
#include "playback/AutoTest.h"

#include <algorithm>
#include <memory>
#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "platform/Device.h"
#include "platform/StaticObjects.h"
#include "platform/Transport.h"
#include "playback/PlayControl.h"
#include "playback/PlayRaw.h"
#include "playback/PlayThreads.h"
#include "playback/Sources.h"
#include "playback/json/JSONFile.h"
#include "playback/json/JSONParser.h"
#include "playback/json/WaveformFile.h"
#include "protocol/ControlBlock.h"
#include "protocol/Identity.h"
#include "protocol/Protocol.h"
#include "protocol/Wire.h"
#include "waveform/Alignment.h"
#include "waveform/Calibration.h"
#include "waveform/Conversion.h"
#include "waveform/Normalise.h"
#include "waveform/Waveform.h"

namespace {

constexpr int kAutoTestRate = 10000;
constexpr double kGeneratedKHz = 2.0;  // PPG, and the ECG beside PPG channel 1
constexpr double kECGAloneKHz = 10.0;  // the ECG of an item without PPG channel 1
constexpr uint16_t kModelCalibrated = 0x2112;
constexpr int kBatchPackets = 50;
constexpr int kHeaderSize = 8;
constexpr int kLengthOffset = 5;
constexpr int kSequenceOffset = 6;
constexpr const char* kMembers[4] = {"ECGWaveform", "PPGWaveform1", "PPGWaveform2", "PPGWaveform3"};

std::atomic<AUTO_TEST_SETTING> g_AutoTestSetting{AUTO_TEST_SETTING{1, 1}};
std::vector<PLAY_ALL_ITEM> g_vecAutoTestAllItem;
std::atomic<uint64_t> g_nAutoTestPlayIndex{0};
std::atomic<uint64_t> g_nPlayLastCount{0};
int g_bAutoTestPlayReload[3] = {0, 0, 0};
uint8_t g_nPPGInverted[3] = {1, 1, 1};

// Channels of the loaded item that play: on in the item, loaded with samples and a cycle
// of at least one output sample (ECG at 0, PPG 1..3 at 1..3). Set by the loader.
std::atomic<int> s_active[4] = {{0}, {0}, {0}, {0}};

// The control-block update of an ECG item loaded on the play thread, waiting for a send
// turn in which the global lock is free (play thread only).
bool s_controlPending = false;
ECG_WAVEFORM s_controlWaveform = {};

// The play thread of the last auto-test start: only that run is stopped by the adders.
std::atomic<THREAD_HANDLE> s_autoTestThread{0};

bool IsModel2112() { return GetPPGFullModelNumber() == kModelCalibrated; }

int AutoTestMode() { return IsPPGChannel3Supported() ? 15 : 7; }

unsigned char SyncByte() { return static_cast<unsigned char>(g_AutoTestSetting.load().nSyncPulse & 0xFF); }

void StopActiveAutoTest() {
    const THREAD_HANDLE mine = s_autoTestThread.load();
    if (mine != 0 && PlayRawIsRunning() != 0 && g_hPlayThread.load() == mine) {
        PlayRawStop(1);
    }
    if (g_hPlayThread.load() != mine) {
        s_autoTestThread = 0;
    }
}

size_t Append(const PLAY_ALL_ITEM& item) {
    try {
        g_vecAutoTestAllItem.push_back(item);
    } catch (const std::bad_alloc&) {
    }
    return g_vecAutoTestAllItem.size();
}

bool Playable(int count, double rate) { return count > 0 && IsPlayableCycle(count, rate, kAutoTestRate); }

void MarkActive(PLAY_ALL_ITEM& item) {
    s_active[0] = item.ECG.bEnable != 0 && Playable(g_nECGSrcSampleCount, g_fECGSrcSampleRate.load());
    for (int c = 0; c < 3; ++c) {
        s_active[c + 1] = item.PPG[c].bEnable != 0 && Playable(g_nPPGSrcSampleCount[c], g_fPPGSrcSampleRate[c].load());
    }
}

void ReleaseRecord(PLAY_RAW_DATA& r) {
    delete[] r.pACData;
    delete[] r.pDCData;
    r.pACData = r.pDCData = nullptr;
}

// One file item's channels, read ahead of the run so that an item change on the play
// thread only copies samples: the records GetWaveformNodeData made (count 0: the file has
// no such channel), the PPG ones already inverted as the run's flags say.
struct FileData {
    bool readable = false;
    PLAY_RAW_DATA record[4] = {};
    FileData() = default;
    FileData(const FileData&) = delete;
    FileData& operator=(const FileData&) = delete;
    ~FileData() {
        for (PLAY_RAW_DATA& r : record) {
            ReleaseRecord(r);
        }
    }
};

// By item index, filled when a run is prepared; null where nothing was read ahead.
std::vector<std::unique_ptr<FileData>> s_fileData;

std::unique_ptr<FileData> ReadFileData(const char* path) {
    std::unique_ptr<FileData> data(new (std::nothrow) FileData);
    if (data == nullptr) {
        return data;
    }
    try {
        JSONFile file(path);
        if (!file.Loaded()) {
            return data;
        }
        data->readable = true;
        JSONObject root(&file);
        for (int c = 0; c < 4; ++c) {
            PLAY_RAW_DATA& r = data->record[c];
            if (GetWaveformNodeData(&root, kMembers[c], r) != 0 && c > 0 && g_nPPGInverted[c - 1] != 0) {
                PlayRawDataPPGInvert(r);
            }
        }
    } catch (const std::bad_alloc&) {
        data.reset();  // the tree did not fit: the item is read again when it plays
    }
    return data;
}

int LoadFileItem(PLAY_ALL_ITEM& item, const FileData* ahead) {
    // A file carries no extras: those of an earlier item must not play over it.
    PlayRawResetAccumulation();
    g_nRespirationMode = 0;
    g_nRespirationApneaCycle = 0;
    g_nRespirationApneaDuration = 0;
    item.ECG.bEnable = 0;
    for (PLAY_ALL_ITEM_PPG& ppg : item.PPG) {
        ppg.bEnable = 0;
    }
    std::unique_ptr<FileData> own;
    if (ahead == nullptr) {
        own = ReadFileData(item.szFilePath);
        ahead = own.get();
    }
    if (ahead == nullptr || !ahead->readable) {
        return 0;
    }
    if (ahead->record[0].nSampleCount > 0) {
        item.ECG.bEnable = LoadRawECG(ahead->record[0]);
    }
    for (int c = 1; c <= 3; ++c) {
        if (ahead->record[c].nSampleCount > 0) {
            item.PPG[c - 1].bEnable = LoadRawPPG(c, ahead->record[c]);
        }
    }
    return 1;
}

const FileData* ReadAhead(const PLAY_ALL_ITEM* item) {
    if (g_vecAutoTestAllItem.empty() || item < g_vecAutoTestAllItem.data() ||
        item >= g_vecAutoTestAllItem.data() + g_vecAutoTestAllItem.size()) {
        return nullptr;
    }
    const size_t index = static_cast<size_t>(item - g_vecAutoTestAllItem.data());
    return index < s_fileData.size() ? s_fileData[index].get() : nullptr;
}

void ForgetReadAhead() { s_fileData.clear(); }

double LargestAmplitude(const PPG_WAVEFORM& w) { return std::max({w.fAmplitude1, w.fAmplitude2, w.fAmplitude3}); }

int LoadGeneratedItem(PLAY_ALL_ITEM& item, PLAY_ALL_ITEM* previous) {
    PlayRawResetAccumulation();
    if (item.ECG.bEnable != 0) {
        ECG_WAVEFORM& w = item.ECG.Waveform;
        w.fSampleRateKHz = item.PPG[0].bEnable != 0 ? kGeneratedKHz : kECGAloneKHz;
        w.nSampleFraction = 0;
        PLAY_RAW_DATA r = {};
        r.fSampleRate = 1000.0 * w.fSampleRateKHz;
        GenECGWaveform(&w, &r.nSampleCount, &r.pACData, &r.pDCData, true);
        const int loaded = LoadRawECG(r);
        ReleaseRecord(r);
        if (loaded == 0) {
            return 0;
        }
        PlayRawAddECGExtra(&w);
        if (g_CriticalSection.HeldByCurrentThread()) {
            UpdateDeviceControlSetting(&w);
        } else {
            s_controlWaveform = w;  // the play thread: at the end of a turn (AutoTestSendPacket)
            s_controlPending = true;
        }
    }
    const int shift = item.ECG.bEnable != 0 && item.PPG[0].bEnable != 0
                          ? CalcPPGStartPoint(&item.ECG.Waveform, &item.PPG[0].Waveform, item.nPPGDelay)
                          : 0;
    const bool model2112 = IsModel2112();
    if (model2112 && item.PPG[0].bEnable != 0 && item.PPG[1].bEnable != 0) {
        AdjustPPGWaveform2112(&item.PPG[0].Waveform, &item.PPG[1].Waveform);
    }
    for (int c = 1; c <= 3; ++c) {
        if (item.PPG[c - 1].bEnable == 0) {
            continue;
        }
        PPG_WAVEFORM& w = item.PPG[c - 1].Waveform;
        w.fSampleRateKHz = kGeneratedKHz;
        w.bInverted = g_nPPGInverted[c - 1];
        if (model2112) {
            g_ACCalMode[c - 1] = static_cast<uint8_t>(GetACCalMode(&w));
        }
        PLAY_RAW_DATA r = {};
        r.fSampleRate = 1000.0 * kGeneratedKHz;
        const bool transition = item.ECG.bEnable == 0 && previous != nullptr && previous->ECG.bEnable == 0 &&
                                previous->PPG[c - 1].bEnable != 0 && g_nPPGInverted[c - 1] == 1 &&
                                previous->PPG[c - 1].Waveform.fDCLevel == w.fDCLevel &&
                                LargestAmplitude(previous->PPG[c - 1].Waveform) != LargestAmplitude(w);
        if (transition) {
            GenPPGWaveform(&w, &r.nSampleCount, &r.pACData, &r.pDCData,
                           LargestAmplitude(previous->PPG[c - 1].Waveform));
            g_bAutoTestPlayReload[c - 1] = 1;
        } else {
            GenPPGWaveform(&w, &r.nSampleCount, &r.pACData, &r.pDCData, 0.0);
            if (shift != 0 && r.nSampleCount > 0) {
                ShiftPPGWaveformData(r.pACData, r.nSampleCount, shift);
                ShiftPPGWaveformData(r.pDCData, r.nSampleCount, shift);
            }
        }
        const int loaded = LoadRawPPG(c, r);
        ReleaseRecord(r);
        if (loaded == 0) {
            return 0;
        }
        PlayRawAddPPGExtra(static_cast<PPGChannel>(c), &w);
    }
    return 1;
}

// ---- Builders ------------------------------------------------------------------------

void PutWords(unsigned char*& p, uint16_t dc, uint16_t ac) {
    wire::PutSwapped16(p, dc);
    wire::PutSwapped16(p + 2, ac);
    p += 4;
}

void PutECG(unsigned char*& p, unsigned long long n, unsigned long long last) {
    double dc = 0.0, ac = 0.0;
    if (s_active[0].load() != 0) {
        dc = CalculateECGDCVoltage(n - last);
        ac = CalculateECGACVoltage(n, last, g_bPlayIsApnea);
    }
    PutWords(p, ECG_DC_VoltageToDAC(dc), ECG_AC_VoltageToDAC_Ex(ac));
}

void PutPPG(unsigned char*& p, int k, unsigned long long n, unsigned long long last) {
    double dc = 0.0, ac = 0.0;
    if (s_active[k + 1].load() != 0) {
        dc = CalculatePPGDCVoltage(k, n - last);
        ac = CalculatePPGACVoltage(k, n, last, g_bPlayIsApnea);
    }
    PutWords(p, PPG_DC_VoltageToDAC(dc), PPG_AC_VoltageToDAC(k, ac));
}

// Cycle ends of the active channels at index i since the item began: any = one of them
// ends a cycle here; cycles = at least one of them has a cycle at all.
void CycleEnds(unsigned long long i, bool& any, bool& cycles) {
    any = false;
    cycles = false;
    if (s_active[0].load() != 0) {
        cycles = cycles || CycleLength(g_nECGSrcSampleCount, g_fECGSrcSampleRate.load()) > 0;
        any = any || CheckEndOfCycle(g_nECGSrcSampleCount, g_fECGSrcSampleRate.load(), i) != 0;
    }
    for (int c = 0; c < 3; ++c) {
        if (s_active[c + 1].load() != 0) {
            cycles = cycles || CycleLength(g_nPPGSrcSampleCount[c], g_fPPGSrcSampleRate[c].load()) > 0;
            any = any || CheckEndOfCycle(g_nPPGSrcSampleCount[c], g_fPPGSrcSampleRate[c].load(), i) != 0;
        }
    }
}

// The end of a transition cycle: the item loaded again without it.
void FinishTransition(PLAY_ALL_ITEM& item) {
    for (int c = 0; c < 3; ++c) {
        if (s_active[c + 1].load() != 0 && g_bAutoTestPlayReload[c] != 0) {
            LoadPlayAllItem(&item, nullptr);
            return;
        }
    }
}

// The next item from sample n on. False when the sequence wrapped with looping off: the
// stream ends before sample n - 1 is counted.
bool ChangeItem(unsigned long long n) {
    const uint64_t old = g_nAutoTestPlayIndex.load();
    uint64_t index = old + 1;
    bool wrapped = false;
    if (index >= g_vecAutoTestAllItem.size()) {
        index = 0;
        wrapped = true;
    }
    g_nAutoTestPlayIndex = index;
    g_nPlayLastCount = n;
    if (wrapped && g_bPlayLoop.load() == 0) {
        return false;
    }
    // The reporter evaluates the old item's samples from the sources: let it reach the
    // change point before they are replaced, and start every channel's cycle there.
    WaitForReporterCatchUp();
    for (std::atomic<uint64_t>& offset : g_nCurrentOffset) {
        offset.store(n);
    }
    LoadPlayAllItem(&g_vecAutoTestAllItem[index], &g_vecAutoTestAllItem[old]);
    if (IsModel2112()) {
        // New AC ranges reach the instrument only with the operator mode.
        const unsigned char sync = SyncByte();
        UpdateOperatorMode(AutoTestMode(), sync, sync, sync, kAutoTestRate);
    }
    return true;
}

int BuildPacket(unsigned short seq, unsigned char* packet, bool fourChannels) {
    const int samples = fourChannels ? 3 : 4;
    const int bytes = fourChannels ? 16 : 12;
    packet[0] = 0x01;
    packet[1] = static_cast<uint8_t>(g_nOperatorMode.load());
    wire::PutBE16(packet + kSequenceOffset, seq);
    int counted = 0;
    for (int i = 0; i < samples; ++i) {
        if (g_vecAutoTestAllItem.empty()) {
            break;
        }
        PLAY_ALL_ITEM& item = g_vecAutoTestAllItem[g_nAutoTestPlayIndex.load()];
        const unsigned long long n = g_nCurrent.load();
        const unsigned long long last = g_nPlayLastCount.load();
        CheckApnea(n, g_bPlayIsApnea);
        unsigned char* p = packet + kHeaderSize + i * bytes;
        PutECG(p, n, last);
        if (fourChannels) {
            PutPPG(p, 2, n, last);
        }
        PutPPG(p, 0, n, last);
        PutPPG(p, 1, n, last);
        g_nCurrent.fetch_add(1);
        FineTunePlayCounter();
        const unsigned long long now = g_nCurrent.load();
        const unsigned long long played = now - g_nPlayLastCount.load();
        const unsigned long long due =
            static_cast<unsigned long long>(item.nDuration > 0 ? item.nDuration : 0) * g_nSampleRate.load();
        bool any, cycles;
        CycleEnds(played, any, cycles);
        bool change;
        if (fourChannels || !cycles) {
            // Mode 15, and a mode 7 item without a channel that ends cycles: by duration.
            change = played >= due;
            if (!change && any) {
                FinishTransition(item);
            }
        } else {
            change = any && played >= due;
            if (any && !change) {
                FinishTransition(item);
            }
        }
        if (change && !ChangeItem(now)) {
            break;
        }
        ++counted;
    }
    packet[kLengthOffset] = static_cast<uint8_t>(counted * bytes);
    if (counted == 0) {
        return -1;
    }
    return counted == samples ? 1 : 0;
}

void RunPendingControlUpdate() {
    if (!s_controlPending || !g_CriticalSection.TryLock()) {
        return;  // a host call holds the global lock: next turn
    }
    ECG_WAVEFORM w = s_controlWaveform;
    s_controlPending = false;
    UpdateDeviceControlSetting(&w);
    g_CriticalSection.Unlock();
}

}  // namespace

void PlayRawSetSetting(AUTO_TEST_SETTING* setting) {
    if (setting != nullptr) {
        g_AutoTestSetting = *setting;
    }
}

AUTO_TEST_SETTING PlayRawGetSetting() { return g_AutoTestSetting.load(); }

void PlayRawAutoTestClearAll() {
    StopActiveAutoTest();
    ForgetReadAhead();
    g_vecAutoTestAllItem.clear();
    g_nAutoTestPlayIndex = 0;
}

size_t PlayRawAutoTestAddItemECGAndPPGEx(int duration, int delay, ECG_WAVEFORM* ecg, PPG_WAVEFORM* ppg1,
                                         PPG_WAVEFORM* ppg2, PPG_WAVEFORM* ppg3) {
    if (duration < 0) {
        return g_vecAutoTestAllItem.size();
    }
    StopActiveAutoTest();
    ForgetReadAhead();
    PLAY_ALL_ITEM item;
    std::memset(&item, 0, sizeof item);
    item.nDuration = duration;
    item.nPPGDelay = delay;
    if (ecg != nullptr) {
        item.ECG.bEnable = 1;
        item.ECG.Waveform = *ecg;
    }
    PPG_WAVEFORM* ppg[3] = {ppg1, ppg2, ppg3};
    for (int c = 0; c < 3; ++c) {
        if (ppg[c] != nullptr) {
            item.PPG[c].bEnable = 1;
            item.PPG[c].Waveform = *ppg[c];
        }
    }
    return Append(item);
}

size_t PlayRawAutoTestAddItemPlayRaw(int duration, const char* path) {
    if (duration < 0 || path == nullptr || std::strlen(path) >= kAutoTestPathSize) {
        return g_vecAutoTestAllItem.size();
    }
    StopActiveAutoTest();
    ForgetReadAhead();
    PLAY_ALL_ITEM item;
    std::memset(&item, 0, sizeof item);
    item.nDuration = duration;
    item.bPlayRaw = 1;
    std::strcpy(item.szFilePath, path);
    return Append(item);
}

size_t PlayRawAutoTestItemCount() { return g_vecAutoTestAllItem.size(); }

int LoadPlayAllItem(PLAY_ALL_ITEM* item, PLAY_ALL_ITEM* previous) {
    if (item == nullptr) {
        return 0;
    }
    CAutoCriticalSection lock(g_DataCriticalSection);
    for (int& reload : g_bAutoTestPlayReload) {
        reload = 0;
    }
    g_nECGSrcSampleCount = 0;
    for (int& count : g_nPPGSrcSampleCount) {
        count = 0;
    }
    const int loaded = item->bPlayRaw != 0 ? LoadFileItem(*item, ReadAhead(item)) : LoadGeneratedItem(*item, previous);
    MarkActive(*item);
    return loaded;
}

int ToECGAndPPGExPacketByAutoTest(unsigned short seq, unsigned char* packet) { return BuildPacket(seq, packet, false); }

int ToECGAndPPG3PacketByAutoTest(unsigned short seq, unsigned char* packet) { return BuildPacket(seq, packet, true); }

int AutoTestSendPacket(int& seq, int count, int& more) {
    static unsigned char buffer[kBatchPackets * NVS_PACKET_SIZE];
    std::memset(buffer, 0, sizeof buffer);
    count = std::min(count, kBatchPackets);
    const bool fourChannels = g_nOperatorMode.load() == 15;
    int built = 0;
    while (built < count) {
        unsigned char* packet = buffer + built * NVS_PACKET_SIZE;
        const unsigned short s = static_cast<unsigned short>(seq);
        const int r = fourChannels ? ToECGAndPPG3PacketByAutoTest(s, packet) : ToECGAndPPGExPacketByAutoTest(s, packet);
        if (r >= 0) {
            ++built;
            seq = NextStreamSequence(s);
        }
        if (r != 1) {
            more = 0;
            g_hStopPlayEvent.SetEvent();
            break;
        }
    }
    int result = 0;
    if (built > 0) {
        const int length = built * NVS_PACKET_SIZE;
        if (WriteData(buffer, length, 0) == length) {
            SetReadEvent();
            result = 1;
        }
    }
    RunPendingControlUpdate();
    return result;
}

int PrepareAutoTestRun() {
    if (g_vecAutoTestAllItem.empty()) {
        return 0;
    }
    g_nAutoTestPlayIndex = 0;
    g_nPlayLastCount = 0;
    const uint8_t inverted = static_cast<uint8_t>(g_AutoTestSetting.load().bPPGInverted & 0xFF);
    for (uint8_t& flag : g_nPPGInverted) {
        flag = inverted;
    }
    s_controlPending = false;
    // Every file item is read now, on the caller's thread, not at its change.
    ForgetReadAhead();
    try {
        s_fileData.resize(g_vecAutoTestAllItem.size());
    } catch (const std::bad_alloc&) {
    }
    for (size_t i = 0; i < s_fileData.size(); ++i) {
        if (g_vecAutoTestAllItem[i].bPlayRaw != 0) {
            s_fileData[i] = ReadFileData(g_vecAutoTestAllItem[i].szFilePath);
        }
    }
    g_nCurrent = 0;
    for (std::atomic<uint64_t>& offset : g_nCurrentOffset) {
        offset.store(0);
    }
    return LoadPlayAllItem(&g_vecAutoTestAllItem[0], nullptr);
}

int PlayRawAutoTestStartOutput(PFN_SAMPLE_CALLBACK ecg, PFN_SAMPLE_CALLBACK ppg1, PFN_SAMPLE_CALLBACK ppg2,
                               PFN_SAMPLE_CALLBACK ppg3) {
    PlayRawStop(1);
    CAutoCriticalSection lock(g_PlayRawCriticalSection);
    if (g_vecAutoTestAllItem.empty()) {
        return 0;
    }
    // Item 0 is loaded (on the host only) before anything is sent: a start refused for an
    // item that does not load leaves the instrument's pacing as it was.
    if (PrepareAutoTestRun() == 0) {
        return 0;
    }
    if (DeviceIsConnected() && !SetOutputPacing(255)) {
        return 0;
    }
    const unsigned char sync = SyncByte();
    if (UpdateOperatorMode(AutoTestMode(), sync, sync, sync, kAutoTestRate) == 0) {
        return 0;
    }
    PlayInitCallback(ecg, ppg1, ppg2, ppg3, nullptr);
    RunPlayThread(AutoTestSendPacket);
    s_autoTestThread = g_hPlayThread.load();
    return g_hPlayThread.load() != 0 ? 1 : 0;
}

uint64_t AutoTestPlayIndex() { return g_nAutoTestPlayIndex.load(); }
uint64_t AutoTestPlayLastCount() { return g_nPlayLastCount.load(); }

void ResetAutoTestState() {
    ForgetReadAhead();
    g_AutoTestSetting = AUTO_TEST_SETTING{1, 1};
    g_vecAutoTestAllItem.clear();
    g_nAutoTestPlayIndex = 0;
    g_nPlayLastCount = 0;
    for (int c = 0; c < 3; ++c) {
        g_bAutoTestPlayReload[c] = 0;
        g_nPPGInverted[c] = 1;
    }
    for (std::atomic<int>& a : s_active) {
        a = 0;
    }
    s_controlPending = false;
    s_autoTestThread = 0;
}
