// The instrument goes away in the middle of every activity: the port hangs up and its
// node is removed (the cable pulled), the port hangs up while its node stays (a device
// that resets on the bus), or the instrument stops answering while it stays plugged.
// Each time the host hears false once (not at all for the silent instrument, which is
// still there), every exported call returns within its bound, every thread the activity
// started ends, no callback comes after its end marker, and once the instrument is back
// the same activity runs again. LeakSanitizer (asan preset) checks each case's process.
//
// A row of Activities() is one activity; a new activity is one more row. The short set
// of rows (NVS_UNPLUG_ROWS=short; the default of the cross builds, which run under
// user-mode emulation where a connection costs several times as long) runs one playback
// mode, and the other two ways of going with the sampling only.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ApiFixture.h"
#include "Watchdog.h"
#include "WaveformRecords.h"
#include "api/Connection.h"
#include "platform/Device.h"
#include "platform/SleepSeam.h"
#include "playback/PlayControl.h"
#include "playback/PlaybackState.h"
#include "sampling/SamplingApi.h"
#include "service/FPGA.h"

namespace {

using Clock = std::chrono::steady_clock;
using nvsemu::Profile;

constexpr unsigned kLong = 20000;  // ms: generous deadlines for conditions
constexpr int kMarker = static_cast<int>(0x80000000u);
constexpr long kCallBoundMs = 10000;  // the longest an exported call may take meanwhile

long MsSince(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) {
            n += e->d_name[0] != '.';
        }
        closedir(d);
    }
    return n;
}

// ---- What the host's callbacks heard ------------------------------------------------------

// Sample callbacks of four slots (end marker: ac = dc = 0x80000000), the sampling and
// FPGA report callbacks, and the update progress (end marker: stage 6). A call after its
// slot's end marker, or after the host's stop returned, counts as late.
struct Heard {
    std::mutex mu;
    int samples[4] = {};
    int markers[4] = {};
    int late = 0;
    int sampling = 0;
    int reports = 0;
    bool samplingStopped = false;
    int progress = 0;
    int progressEnds = 0;
    int progressEnd = 1;  // the value of the end report

    void Clear() {
        std::lock_guard<std::mutex> lock(mu);
        for (int i = 0; i < 4; ++i) {
            samples[i] = markers[i] = 0;
        }
        late = sampling = reports = progress = progressEnds = 0;
        samplingStopped = false;
        progressEnd = 1;
    }
    template <class F>
    auto Read(F fn) -> decltype(fn(*this)) {
        std::lock_guard<std::mutex> lock(mu);
        return fn(*this);
    }
};
Heard s_heard;

template <int N>
void Sample(double, int ac, int dc) {
    std::lock_guard<std::mutex> lock(s_heard.mu);
    if (s_heard.markers[N] != 0) {
        ++s_heard.late;
    }
    ++s_heard.samples[N];
    if (ac == kMarker && dc == kMarker) {
        ++s_heard.markers[N];
    }
}
void SamplingData(int, int) {
    std::lock_guard<std::mutex> lock(s_heard.mu);
    s_heard.late += s_heard.samplingStopped ? 1 : 0;
    ++s_heard.sampling;
}
void SamplingError(int) {}
void FpgaReport(void*) {
    std::lock_guard<std::mutex> lock(s_heard.mu);
    s_heard.late += s_heard.samplingStopped ? 1 : 0;
    ++s_heard.reports;
}
void Progress(int stage, int value) {
    std::lock_guard<std::mutex> lock(s_heard.mu);
    s_heard.late += s_heard.progressEnds != 0 ? 1 : 0;
    ++s_heard.progress;
    if (stage == 6) {
        ++s_heard.progressEnds;
        s_heard.progressEnd = value;
    }
}
void StopSampling() {
    ORVDisableSampling();
    std::lock_guard<std::mutex> lock(s_heard.mu);
    s_heard.samplingStopped = true;
}
int Samples(int slot) {
    return s_heard.Read([slot](Heard& h) { return h.samples[slot]; });
}

// ---- A responder that can fall silent ----------------------------------------------------

// Passes everything to the firmware model, except while muted: then no request gets a
// reply and nothing the instrument would send by itself goes out (its stream requests,
// its sampling packets), though the model keeps its own time.
class Gate : public nvsemu::Responder {
public:
    explicit Gate(std::shared_ptr<nvsemu::Firmware> fw) : fw_(std::move(fw)) {}
    void Mute(bool muted) { muted_.store(muted); }

    std::vector<nvsemu::Reply> Answer(const nvsemu::Request& r) override {
        std::vector<nvsemu::Reply> replies = fw_->Answer(r);
        return muted_.load() ? std::vector<nvsemu::Reply>{} : replies;
    }
    bool TakeData(const nvsemu::Request& r) override { return fw_->TakeData(r); }
    uint64_t NextDueUs() override { return fw_->NextDueUs(); }
    nvsemu::TimedOutput Due(uint64_t nowUs) override {
        nvsemu::TimedOutput out = fw_->Due(nowUs);
        if (muted_.load()) {
            out.packets.clear();
        }
        return out;
    }
    void PortClosed() override { fw_->PortClosed(); }
    std::vector<std::vector<uint8_t>> Unsolicited(uint64_t nowUs, uint64_t* nextUs) override {
        std::vector<std::vector<uint8_t>> out = fw_->Unsolicited(nowUs, nextUs);
        return muted_.load() ? std::vector<std::vector<uint8_t>>{} : out;
    }

private:
    std::shared_ptr<nvsemu::Firmware> fw_;
    std::atomic<bool> muted_{false};
};

// ---- The activities ---------------------------------------------------------------------

// A record over arrays of its own: AC a slow ramp, DC constant.
struct Source {
    std::vector<double> ac, dc;
    PLAY_RAW_DATA record = {};
    explicit Source(PFN_SAMPLE_CALLBACK cb, int sync = 0) : ac(1000), dc(1000, 100.0) {
        for (size_t i = 0; i < ac.size(); ++i) {
            ac[i] = 0.5 * static_cast<double>(i) / 1000.0;
        }
        record = PLAY_RAW_DATA{1000.0, 1000, sync, ac.data(), dc.data(), cb};
    }
};

ECG_WAVEFORM Ecg() { return records::EcgSine(1.0, 1.0); }

PPG_WAVEFORM Ppg() {
    PPG_WAVEFORM p = records::PpgSine(1.0, 500.0, 100.0);
    p.nTime1 = 200;
    p.nTime2 = 400;
    p.nTime3 = 500;
    p.nSyncPulse = 1;
    return p;
}

// The sources a playback start plays from; they outlive the run.
struct Sources {
    Source e{Sample<0>}, a{Sample<1>, 1}, b{Sample<2>, 2}, c{Sample<3>, 2};
};

struct Row {
    const char* name = "";
    Profile (*profile)() = nullptr;
    // Starts the activity; for a blocking activity (whose call returns at its end) the
    // whole call, which reports success. Runs on a host thread of its own, under a
    // watchdog.
    std::function<bool(Sources&)> start;
    // Under way (non-blocking activities): where the plug is pulled from the test.
    std::function<bool()> underway;
    // The host's stop (non-blocking activities).
    std::function<void()> stop;
    // The sample slots whose callbacks end with one marker at the stop.
    unsigned markerSlots = 0;
    // Blocking activities and the connection: the instrument goes at the skip+1-th
    // request that starts with this header.
    Bytes pullAt;
    unsigned skip = 0;
    // The activity ends the connection handling itself (the updates): the host connects
    // again with ORVInit after it, and the listener hears false from that end.
    bool endsConnection = false;
    bool reportsItsEnd = true;  // an update: its progress hears the failure's result (stage 6)
    bool isConnect = false;   // the activity is the connection and its loading
    bool firstOfKind = true;  // runs with NVS_UNPLUG_ROWS=short as well
};

// An activity whose start returns while it runs, stopped by the host.
Row Streaming(const char* name, Profile (*profile)(), std::function<bool(Sources&)> start,
              std::function<bool()> underway, std::function<void()> stop, unsigned markerSlots = 0) {
    Row r;
    r.name = name;
    r.profile = profile;
    r.start = std::move(start);
    r.underway = std::move(underway);
    r.stop = std::move(stop);
    r.markerSlots = markerSlots;
    return r;
}

// An activity whose call returns at its end; the instrument goes at the skip+1-th
// request with the header.
Row Blocking(const char* name, Profile (*profile)(), std::function<bool(Sources&)> start, Bytes pullAt, unsigned skip) {
    Row r;
    r.name = name;
    r.profile = profile;
    r.start = std::move(start);
    r.pullAt = std::move(pullAt);
    r.skip = skip;
    return r;
}

bool SamplesFlow(int slot) {
    const int from = Samples(slot);
    return WaitUntil([&] { return Samples(slot) >= from + 20; }, kLong);
}

// One playback row per operator mode: the start plays the sources of its channel set.
Row Mode(const char* name, std::function<bool(Sources&)> start, unsigned slots, Profile (*profile)(),
         bool first = false) {
    Row r = Streaming(
        name, profile, std::move(start),
        [slots] {
            for (int s = 0; s < 4; ++s) {
                if ((slots >> s & 1u) != 0 && !SamplesFlow(s)) {
                    return false;
                }
            }
            return true;
        },
        [] { ORVStopPlayRawData(); }, slots);
    r.firstOfKind = first;
    return r;
}

const Bytes kMemoryRead = {0x12, 0x55, 0xAA, 0x00};
const Bytes kRawUpload = {0xEA, 0xFF, 0x04, 0x00};
const Bytes kBurnWrite = {0x12, 0x55, 0xAA, 0xFF, 0x00, 0x03, 0x00};
const Bytes kFpgaData = {0xB8, 0xFF, 0x03, 0x00};

// A small FPGA flash on both sides: sectors of 0x100, 0x80 and 0x60 bytes.
struct SmallGeometry : CFPGAConfig {
    SmallGeometry() {
        m_Flash[0] = CHIP_FLASH(0x100, 0);
        m_Flash[1] = CHIP_FLASH(0x80, 0x100);
        m_Flash[2] = CHIP_FLASH(0x60, 0x180);
        m_Flash[3] = CHIP_FLASH(0, 0x1E0);
    }
};
const SmallGeometry kSmallFpga;

std::string s_fpgaImage;  // path of the FPGA image file of the test

// The instrument of the running case, for the rows that look at what it plays.
std::shared_ptr<nvsemu::Firmware> s_instrument;

// A calibration record: DC code 200, AC code 100, a period of 100 points (method 1).
PPG_WAVEFORM CalibrationRecord() {
    PPG_WAVEFORM p = Ppg();
    p.fDCLevel = 200;
    p.fAmplitude1 = 100;
    p.nPeriod = 100;
    p.bInverted = 0;
    p.nNoiseType = 0;
    return p;
}

// Every activity of the library. A new one (a calibration method, say) is one more row:
// Streaming when its start returns while it runs (with what shows it under way, the
// host's stop and the slots whose callbacks end with a marker), Blocking when its call
// returns at its end (with the request at which the instrument goes).
const std::vector<Row>& Activities() {
    static const std::vector<Row> rows = [] {
        std::vector<Row> r;
        {
            Row c = Blocking("ConnectAndLoading", Profile::WithPpgYB2001, nullptr, kMemoryRead, 50);
            c.isConnect = true;
            r.push_back(c);
        }
        r.push_back(Streaming(
            "SimulatedOutput", Profile::WithPpgYB2001,
            [](Sources&) {
                ECG_WAVEFORM e = Ecg();
                PPG_WAVEFORM p = Ppg();
                return ORVOutputECGAndPPG(200, &e, &p, Sample<0>, Sample<1>);
            },
            [] { return SamplesFlow(0) && SamplesFlow(1); }, [] { ORVStopOutputWaveform(); }, 0x3));
        // Playback, one row per operator mode.
        r.push_back(Mode(
            "PlaybackMode7",
            [](Sources& s) { return ORVWaveformPlayerOutputECGAndPPGEx(&s.e.record, &s.a.record, &s.b.record); }, 0x7,
            Profile::WithPpgYB2001, true));
        r.push_back(Mode(
            "PlaybackMode1", [](Sources& s) { return ORVWaveformPlayerOutputECG(&s.e.record); }, 0x1,
            Profile::WithPpgYB2001));
        r.push_back(Mode(
            "PlaybackMode2", [](Sources& s) { return ORVWaveformPlayerOutputPPG(1, &s.a.record); }, 0x2,
            Profile::WithPpgYB2001));
        r.push_back(Mode(
            "PlaybackMode3", [](Sources& s) { return ORVWaveformPlayerOutputECGAndPPG(&s.e.record, 1, &s.a.record); },
            0x3, Profile::WithPpgYB2001));
        r.push_back(Mode(
            "PlaybackMode5", [](Sources& s) { return ORVWaveformPlayerOutputECGAndPPG(&s.e.record, 2, &s.b.record); },
            0x5, Profile::WithPpgYB2001));
        r.push_back(Mode(
            "PlaybackMode6", [](Sources& s) { return ORVWaveformPlayerOutputPPGEx(&s.a.record, &s.b.record); }, 0x6,
            Profile::WithPpgYB2001));
        r.push_back(Mode(
            "PlaybackMode15",
            [](Sources& s) {
                return ORVWaveformPlayerOutputECGAndPPG3(&s.e.record, &s.a.record, &s.b.record, &s.c.record);
            },
            0x1, Profile::WithPpg2006));
        r.push_back(Mode(
            "PlaybackMode16", [](Sources& s) { return ORVWaveformPlayerOutputPPG(3, &s.c.record); }, 0x8,
            Profile::WithPpg2006));
        r.push_back(Streaming(
            "AutoTest", Profile::WithPpgYB2001,
            [](Sources&) {
                ORVWaveformPlayerLoop(true);
                ORVAutoTestClear();
                ECG_WAVEFORM e = Ecg();
                return ORVAutoTestAddItem(1, &e, nullptr, nullptr, nullptr) == 1 &&
                       ORVAutoTestAddItem(1, &e, nullptr, nullptr, nullptr) == 2 &&
                       ORVAutoTestStartOutput(Sample<0>, nullptr, nullptr, nullptr);
            },
            [] { return SamplesFlow(0); }, [] { ORVStopPlayRawData(); }, 0x1));
        // Calibration methods: method 1 plays from the instrument's own memory, method 4
        // streams constant codes.
        r.push_back(Streaming(
            "CalibrationMethod4", Profile::WithPpgYB2001,
            [](Sources&) {
                PPG_WAVEFORM a = CalibrationRecord();
                PPG_WAVEFORM b = CalibrationRecord();
                return ORVCalibrateMethod4(true, &a, true, &b);
            },
            [] { return s_instrument->WaitForPacketsPlayed(50, kLong); }, [] { ORVStopPlayRawData(); }));
        r.push_back(Streaming(
            "CalibrationMethod1", Profile::WithPpgYB2001,
            [](Sources&) {
                PPG_WAVEFORM p = CalibrationRecord();
                return ORVCalibrateMethod1(PPG_CHANNEL_1, &p);
            },
            [] { return WaitUntil([] { return s_instrument->ControlBlock()[0] == 0x02; }, kLong); },
            [] { ORVStopOutputWaveform(); }));
        r.back().firstOfKind = false;
        r.push_back(Streaming(
            "Sampling", Profile::WithPpgYB2001,
            [](Sources&) {
                s_heard.Read([](Heard& h) { return h.samplingStopped = false; });
                return ORVEnableSampling(PPG_SAMPLING_SW1, SamplingData) && ORVStartSampling(SamplingError);
            },
            [] { return WaitUntil([] { return s_heard.Read([](Heard& h) { return h.sampling; }) >= 20; }, kLong); },
            StopSampling));
        r.push_back(Streaming(
            "FpgaSampling", [] { return Profile::WithPpg2012Fpga(true); },
            [](Sources&) {
                s_heard.Read([](Heard& h) { return h.samplingStopped = false; });
                return ORVEnableFPGASampling(true, 1, FpgaReport);
            },
            [] { return WaitUntil([] { return s_heard.Read([](Heard& h) { return h.reports; }) >= 2; }, kLong); },
            StopSampling));
        r.push_back(Blocking(
            "StandaloneStore", Profile::WithPpgYB2001,
            [](Sources&) {
                ECG_WAVEFORM e = Ecg();
                return ORVWriteECGModeToStandaloneMode(1, &e) == 0;
            },
            kRawUpload, 40));
        {
            Row b = Blocking(
                "FirmwareBurn", Profile::WithPpgYB2001,
                [](Sources&) {
                    static Bytes image = [] {
                        Bytes b(300);
                        for (size_t i = 0; i < b.size(); ++i) {
                            b[i] = static_cast<uint8_t>(i * 7 + 3);
                        }
                        return b;
                    }();
                    return ORVUpdateLoadBinFile(image.data(), static_cast<unsigned>(image.size())) == 300 &&
                           ORVUpdateBurnFlashBlock(FLASH_BLOCK_0, Progress) == 0;
                },
                kBurnWrite, 5);
            b.endsConnection = true;
            r.push_back(b);
        }
        {
            Row u = Blocking(
                "FpgaUpgrade", [] { return Profile::WithPpg2012Fpga(true); },
                [](Sources&) {
                    return ORVUpdateFPGALoadFile(&s_fpgaImage[0], nullptr, nullptr) == 0 &&
                           ORVUpdateFPGABurn(Progress) == 0;
                },
                kFpgaData, 5);
            u.endsConnection = true;
            u.reportsItsEnd = false;  // a failure among the data packets ends it without a result report
            r.push_back(u);
        }
        return r;
    }();
    return rows;
}

const Row& ActivityNamed(const std::string& name) {
    for (const Row& r : Activities()) {
        if (name == r.name) {
            return r;
        }
    }
    std::fprintf(stderr, "no activity %s\n", name.c_str());
    std::abort();
}

// ---- How the instrument goes --------------------------------------------------------------

enum class Pull {
    Unplug,  // the port hangs up and its node is removed
    HangUp,  // the port hangs up, its node stays (and leads nowhere until the return)
    Silent,  // the instrument stops answering and stays plugged
};

const char* PullName(Pull p) {
    switch (p) {
        case Pull::Unplug:
            return "Unplug";
        case Pull::HangUp:
            return "HangUp";
        case Pull::Silent:
            return "Silent";
    }
    return "?";
}

struct Case {
    const char* activity;
    Pull pull;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.activity << " " << PullName(c.pull); }

std::string CaseName(const ::testing::TestParamInfo<Case>& i) {
    return std::string(i.param.activity) + "_" + PullName(i.param.pull);
}

// The short set: NVS_UNPLUG_ROWS=short, or a cross build unless NVS_UNPLUG_ROWS=full.
bool ShortRows() {
    const char* rows = std::getenv("NVS_UNPLUG_ROWS");
    if (rows != nullptr) {
        return std::string(rows) == "short";
    }
    return NVS_UNPLUG_SHORT_ROWS != 0;
}

void ShortSleep(unsigned ms) { std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{ms} * 20)); }

class Unplugged : public ApiTest, public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        // The engines' entries, as the library installs them at load (the reset of the
        // fixture takes them away).
        ResetPlaybackState();
        InstallPlaybackEngineHooks();
        InstallSamplingEntries();
        s_heard.Clear();
        const Row& row = ActivityNamed(GetParam().activity);
        if (ShortRows() &&
            (!row.firstOfKind || (GetParam().pull != Pull::Unplug && std::string(row.name) != "Sampling"))) {
            GTEST_SKIP() << "the short set of rows (NVS_UNPLUG_ROWS)";
        }
        if (row.endsConnection) {
            SetSleepSeam(ShortSleep);  // the updates' fixed pauses, shortened
            FPGASetConfigForTest(&kSmallFpga);
            char name[] = "/tmp/nvs-unplug-XXXXXX";
            const int fd = mkstemp(name);
            ASSERT_GE(fd, 0);
            Bytes image(0x1E0);
            for (size_t i = 0; i < image.size(); ++i) {
                image[i] = static_cast<uint8_t>(i * 13 + 1);
            }
            ASSERT_EQ(write(fd, image.data(), image.size()), static_cast<ssize_t>(image.size()));
            close(fd);
            s_fpgaImage = name;
        }
    }
    void TearDown() override {
        emu_.SetRequestHook(nullptr);
        ORVStopOutputWaveform();
        ORVStopPlayRawData();
        ORVDisableSampling();
        ApiTest::TearDown();
        s_instrument.reset();
        ResetPlaybackState();
        SetSleepSeam(nullptr);
        FPGASetConfigForTest(nullptr);
        ORVUpdateLoadBinFile(nullptr, 0);
        if (!s_fpgaImage.empty()) {
            unlink(s_fpgaImage.c_str());
            s_fpgaImage.clear();
        }
    }

    void PlugRow(const Row& row) {
        port_ = 0;
        fw_ = std::make_shared<nvsemu::Firmware>(row.profile());
        gate_ = std::make_shared<Gate>(fw_);
        s_instrument = fw_;
        ASSERT_TRUE(emu_.Start());
        emu_.SetResponder(gate_);
        nvsemu::Emulator* emu = &emu_;
        fw_->SetRestartHandler([emu] { emu->Restart(); });
        fw_->SetFpgaGeometry({0x100, 0x80, 0x60});
        ASSERT_TRUE(emu_.LinkAs(sandbox_.NodePath(0)));
    }

    void PullNow() {
        switch (GetParam().pull) {
            case Pull::Unplug:
                emu_.Unplug();
                break;
            case Pull::HangUp:
                emu_.HangUp(600000);  // back only when the test plugs it in again
                break;
            case Pull::Silent:
                gate_->Mute(true);
                break;
        }
    }
    void PullAt(const Bytes& header, unsigned skip) {
        auto seen = std::make_shared<std::atomic<unsigned>>(0);
        emu_.SetRequestHook([this, header, skip, seen](const nvsemu::Request& r) {
            if (r.bytes.size() >= header.size() && std::equal(header.begin(), header.end(), r.bytes.begin()) &&
                seen->fetch_add(1) == skip) {
                PullNow();
            }
        });
    }
    void PlugBackIn() {
        emu_.SetRequestHook(nullptr);
        if (GetParam().pull == Pull::Silent) {
            gate_->Mute(false);
        } else {
            ASSERT_TRUE(emu_.Replug());
        }
    }

    // Calls a host makes while the instrument is gone: each returns within its bound.
    static void ExportedCallsReturnInTime() {
        RunWithWatchdog(
            [] {
                const struct {
                    const char* name;
                    std::function<void()> call;
                } calls[] = {
                    {"ORVGetUSBBusVoltage", [] { ORVGetUSBBusVoltage(); }},
                    {"ORVDeviceSetElectrode", [] { ORVDeviceSetElectrode(0); }},
                    {"ORVGetSerialNumber", [] { ORVGetSerialNumber(); }},
                    {"ORVGetDeviceInformation",
                     [] {
                         MODEL_INFORMATION info;
                         ORVGetDeviceInformation(&info);
                     }},
                    {"ORVReadStandaloneModeType", [] { ORVReadStandaloneModeType(1); }},
                    {"ORVGetVersion", [] { ORVGetVersion(); }},
                };
                for (const auto& c : calls) {
                    const auto began = Clock::now();
                    c.call();
                    EXPECT_LT(MsSince(began), kCallBoundMs) << c.name;
                }
            },
            120, "the exported calls while the instrument is gone");
    }

    // ORVInit, and the wait for its connection and loading.
    bool Init() {
        const unsigned loaded = ConnectionLoadCount();
        if (!ORVInit(ListenerLog::Listener)) {
            return false;
        }
        return WaitUntil([&] { return ConnectionLoadCount() != loaded; }, kLong * 2);
    }

    // Starts the row's activity and, once it is under way, pulls the plug (a blocking
    // activity meets its pull on the wire). True when the activity (or its start)
    // succeeded.
    bool RunActivity(const Row& row, Sources& sources, bool pull) {
        if (pull && !row.pullAt.empty()) {
            PullAt(row.pullAt, row.skip);
        }
        bool ok = false;
        RunWithWatchdog([&] { ok = row.start(sources); }, 120, row.name);
        if (row.underway) {
            EXPECT_TRUE(ok) << "start";
            EXPECT_TRUE(row.underway()) << "under way";
            if (pull) {
                PullNow();
            }
        }
        return ok;
    }

    // The host's stop, within its bound; then the markers, once per slot. `ranThrough`:
    // the activity was not cut short (an update then reports its result).
    void StopActivity(const Row& row, bool ranThrough = false) {
        if (row.stop) {
            const auto began = Clock::now();
            RunWithWatchdog(row.stop, 120, "the host's stop");
            EXPECT_LT(MsSince(began), kCallBoundMs) << "the host's stop";
        }
        for (int s = 0; s < 4; ++s) {
            if ((row.markerSlots >> s & 1u) != 0) {
                EXPECT_TRUE(WaitUntil([s] { return s_heard.Read([s](Heard& h) { return h.markers[s]; }) >= 1; }, kLong))
                    << "slot " << s;
                EXPECT_EQ(s_heard.Read([s](Heard& h) { return h.markers[s]; }), 1) << "slot " << s;
            }
        }
        if (row.endsConnection) {
            EXPECT_EQ(s_heard.Read([](Heard& h) { return h.progressEnds; }), ranThrough || row.reportsItsEnd ? 1 : 0);
        }
        EXPECT_EQ(s_heard.Read([](Heard& h) { return h.late; }), 0) << "callbacks after the end";
    }

    std::shared_ptr<Gate> gate_;
};

TEST_P(Unplugged, HostHearsItOnceEveryThreadEndsAndTheActivityRunsAgainWhenBack) {
    const Row& row = ActivityNamed(GetParam().activity);
    const bool silent = GetParam().pull == Pull::Silent;
    PlugRow(row);
    const int idleThreads = ThreadCount();
    ListenerLog& heard = ListenerLog::Instance();
    Sources sources;

    // ---- The activity, and the instrument gone in its middle.
    int connectedThreads = 0;
    if (row.isConnect) {
        const unsigned loads = ConnectionLoadCount();
        PullAt(row.pullAt, row.skip);
        ASSERT_TRUE(ORVInit(ListenerLog::Listener));
        ASSERT_TRUE(heard.WaitFor(1, kLong));
        // The loading gives up on what it cannot read and ends.
        EXPECT_TRUE(WaitUntil([&] { return ConnectionLoadCount() != loads; }, kLong * 2));
    } else {
        ASSERT_TRUE(Init());
        connectedThreads = ThreadCount();
        const bool ok = RunActivity(row, sources, true);
        if (!row.underway) {
            EXPECT_FALSE(ok) << "the blocking activity fails when the instrument goes";
        }
    }
    const std::vector<bool> gone =
        silent && !row.endsConnection ? std::vector<bool>{true} : std::vector<bool>{true, false};
    if (!silent || row.endsConnection) {
        ASSERT_TRUE(heard.WaitFor(2, kLong));
    }
    ExportedCallsReturnInTime();
    StopActivity(row);
    if (row.endsConnection) {
        connectedThreads = idleThreads;
    }
    // The activity's threads have ended; the connection thread (scanning, or waiting
    // while the silent instrument stays) and the monitor stay.
    if (row.isConnect) {
        connectedThreads = idleThreads + 1;  // the monitor's thread lives from load on
    }
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == connectedThreads; }, kLong))
        << ThreadCount() << " threads, " << connectedThreads << " expected";
    EXPECT_EQ(heard.Events(), gone);

    // ---- Back: connected again, and the same activity runs through.
    const unsigned loaded = ConnectionLoadCount();
    PlugBackIn();
    if (row.endsConnection) {
        ASSERT_TRUE(Init());
    } else if (!silent) {
        ASSERT_TRUE(heard.WaitFor(3, kLong * 2));
        ASSERT_TRUE(WaitUntil([&] { return ConnectionLoadCount() != loaded; }, kLong * 2));
    } else if (row.isConnect) {
        // The instrument never went: a connection of its own loads everything again.
        RunWithWatchdog([] { ORVFree(); }, 120, "ORVFree");
        ASSERT_TRUE(Init());
    }
    std::vector<bool> back = gone;
    if (silent && row.isConnect) {
        back = {true, false, true};
    } else if (!silent || row.endsConnection) {
        back.push_back(true);
    }
    EXPECT_EQ(heard.Events(), back);
    s_heard.Clear();
    if (row.isConnect) {
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == connectedThreads; }, kLong))
            << ThreadCount() << " threads connected, " << connectedThreads << " while gone";
        EXPECT_TRUE(ORVGetSerialNumber()[0] != '\0');
        EXPECT_EQ(ORVGetUSBBusVoltage(), 0xC8);
    } else {
        EXPECT_TRUE(RunActivity(row, sources, false));
        StopActivity(row, true);
        if (row.endsConnection) {
            EXPECT_EQ(s_heard.Read([](Heard& h) { return h.progressEnd; }), 0);
            back.push_back(false);
        }
    }
    if (!row.endsConnection) {
        back.push_back(false);  // the host's own ORVFree ends the connection
    }
    RunWithWatchdog([] { ORVFree(); }, 120, "ORVFree");
    DeviceClose();
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == idleThreads; }, kLong))
        << ThreadCount() << " threads, " << idleThreads << " expected";
    EXPECT_EQ(heard.Events(), back);
    EXPECT_EQ(s_heard.Read([](Heard& h) { return h.late; }), 0) << "callbacks after the end";
}

// Every activity with the cable pulled; the node that stays and the silent instrument
// with a few activities each.
std::vector<Case> Cases() {
    std::vector<Case> out;
    for (const Row& r : Activities()) {
        out.push_back(Case{r.name, Pull::Unplug});
    }
    for (const char* a : {"ConnectAndLoading", "PlaybackMode7", "Sampling", "FpgaUpgrade"}) {
        out.push_back(Case{a, Pull::HangUp});
    }
    for (const char* a : {"ConnectAndLoading", "SimulatedOutput", "PlaybackMode1", "Sampling", "StandaloneStore"}) {
        out.push_back(Case{a, Pull::Silent});
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Activities, Unplugged, ::testing::ValuesIn(Cases()), CaseName);

}  // namespace
