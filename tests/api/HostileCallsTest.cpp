// Hostile host calls through the built shared library: every exported function, loaded
// by dlsym as a host loads it, called with null pointers, zero, negative and huge
// lengths, channel, slot, module and port numbers out of range, NaN, infinities and
// huge doubles, INT_MIN and INT_MAX, and records of 0xFF bytes; before ORVInit, while the
// connection thread finds no instrument, after ORVFree, and with the firmware model
// connected on /dev/ttyACM131 (where the shipped library looks; needs root). A refused
// call returns its failure value, sends nothing and changes none of the library's
// records; any other call only has to return (and what it started is stopped). The
// sanitizer presets add: no memory error, no undefined behaviour, no race.
//
// Every export of exports.txt needs a row in kRows below (the table check names the
// missing one): ROW(name, checks), where checks are calls on `c`, the function typed as
// nvs300.h declares it:
//   c.Refuses(failure, args...)         always refused: failure value, nothing sent or changed
//   c.Ignores(args...)                  the same for a function without a result
//   c.RefusedOffline(failure, args...)  refused without an instrument; with one it may act
//   c.Tolerates(args...)                may act; it only has to return
//   c.OfflineOnly(failure, args...)     refused without an instrument; not called with one
//                                       (it would rewrite the instrument's identity or tables)
// LAST(...) rows end or change the connection: they run after all the others.
#include <algorithm>
#include <chrono>
#include <array>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <link.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "Emulator.h"
#include "Firmware.h"
#include "LinkSandbox.h"
#include "WaveformRecords.h"

namespace {

constexpr int kPort = 131;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string Node() { return "/dev/ttyACM" + std::to_string(kPort); }
std::string LockFile() { return "/var/lock/orvane.ACM" + std::to_string(kPort) + ".lock"; }

// The name before the parameter list: "ORVInitEx(int, void (*)(bool))" -> "ORVInitEx".
std::string BaseName(const std::string& name) { return name.substr(0, name.find('(')); }

// The functions exports.txt lists, by base name.
std::vector<std::string> ListedExports() {
    std::ifstream in(NVS_EXPORTS_TXT);
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#')
            continue;
        names.push_back(BaseName(line.substr(start)));
    }
    return names;
}

// The functions the deliverable's dynamic symbol table defines: base name -> the name to
// give dlsym (decorated names are demangled to find their base name).
std::map<std::string, std::string> ExportedSymbols(const char* path) {
    std::map<std::string, std::string> symbols;
    std::ifstream in(path, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (image.size() < sizeof(ElfW(Ehdr)))
        return symbols;
    const auto* base = reinterpret_cast<const unsigned char*>(image.data());
    ElfW(Ehdr) header;
    memcpy(&header, base, sizeof header);
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        ElfW(Shdr) section;
        memcpy(&section, base + header.e_shoff + i * header.e_shentsize, sizeof section);
        if (section.sh_type != SHT_DYNSYM || section.sh_entsize == 0)
            continue;
        ElfW(Shdr) strings;
        memcpy(&strings, base + header.e_shoff + section.sh_link * header.e_shentsize, sizeof strings);
        for (size_t at = 0; at + section.sh_entsize <= section.sh_size; at += section.sh_entsize) {
            ElfW(Sym) sym;
            memcpy(&sym, base + section.sh_offset + at, sizeof sym);
            if (sym.st_shndx == SHN_UNDEF || ELF32_ST_TYPE(sym.st_info) != STT_FUNC)
                continue;
            const std::string name = reinterpret_cast<const char*>(base + strings.sh_offset + sym.st_name);
            int status = 0;
            char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
            symbols[BaseName(status == 0 && demangled != nullptr ? demangled : name)] = name;
            free(demangled);
        }
    }
    return symbols;
}

// A record of T filled with 0xFF bytes, fresh for each call; passed as T* or by value.
template <class T>
struct FF {
    FF() { memset(&value, 0xFF, sizeof value); }
    operator T*() { return &value; }
    operator T() const { return value; }
    T value;
};
// An array of n elements, every byte 0xFF (n may exceed what a function takes).
template <class T, size_t N>
struct FFArray {
    FFArray() { memset(data.data(), 0xFF, sizeof data); }
    operator T*() { return data.data(); }
    operator const T*() const { return data.data(); }
    std::array<T, N> data;
};
// An array of n doubles, all `v`.
template <size_t N>
struct Doubles {
    explicit Doubles(double v) { data.fill(v); }
    operator double*() { return data.data(); }
    std::array<double, N> data;
};

PPGChannel Ch(int c) { return static_cast<PPGChannel>(c); }

void Sink(double, int, int) {}
void SamplingSink(int, int) {}
void ErrorSink(int) {}
void FpgaSink(void*) {}
void ProgressSink(int, int) {}

// A playback channel with a hostile field; the arrays hold `count` samples.
struct Raw {
    explicit Raw(int count = 100, double rate = 1000.0) : ac(100, 1.0), dc(100, 50.0) {
        raw.fSampleRate = rate;
        raw.nSampleCount = count;
        raw.nSyncPulse = 1;
        raw.pACData = ac.data();
        raw.pDCData = dc.data();
        raw.pCallback = Sink;
    }
    operator PLAY_RAW_DATA*() { return &raw; }
    std::vector<double> ac, dc;
    PLAY_RAW_DATA raw{};
};
std::vector<Raw> RefusedRaws() {
    std::vector<Raw> v;
    for (int count : {0, -1, INT_MIN})
        v.emplace_back(count);
    v.emplace_back();
    v.back().raw.pACData = nullptr;
    v.emplace_back();
    v.back().raw.pDCData = nullptr;
    return v;
}

// What the library shows of its records without an exchange: a refused call leaves it.
struct Fingerprint {
    MODEL_INFORMATION main{}, ppg{};
    HW_INFORMATION hw{}, ppgHw{};
    DEVICE_FEATURE feature{};
    std::string serial, ppgSerial;
    int dacLevel = 0;
    void* handle = nullptr;
    bool operator==(const Fingerprint& o) const {
        return memcmp(&main, &o.main, sizeof main) == 0 && memcmp(&ppg, &o.ppg, sizeof ppg) == 0 &&
               memcmp(&hw, &o.hw, sizeof hw) == 0 && memcmp(&ppgHw, &o.ppgHw, sizeof ppgHw) == 0 &&
               memcmp(&feature, &o.feature, sizeof feature) == 0 && serial == o.serial && ppgSerial == o.ppgSerial &&
               dacLevel == o.dacLevel && handle == o.handle;
    }
};

// One loaded library and the state of a pass.
class Harness {
public:
    Harness(void* lib, const std::map<std::string, std::string>& symbols, nvsemu::Emulator* emu, bool thorough)
        : lib_(lib), symbols_(symbols), emu_(emu), thorough_(thorough) {
        getters_ = {Get<bool(MODEL_INFORMATION*)>("ORVGetDeviceInformation"),
                    Get<bool(MODEL_INFORMATION*)>("ORVGetPPGDeviceInformation"),
                    Get<bool(HW_INFORMATION*)>("ORVGetHWInformation"),
                    Get<bool(HW_INFORMATION*)>("ORVGetPPGHWInformation"),
                    Get<void(DEVICE_FEATURE*)>("ORVGetDeviceFeature"),
                    Get<char*()>("ORVGetSerialNumber"),
                    Get<char*()>("ORVGetPPGSerialNumber"),
                    Get<int()>("ORVGetPPGDacLevel"),
                    Get<void*()>("ORVGetDeviceHandle")};
        stops_ = {Get<void()>("ORVStopOutputWaveform"), Get<void()>("ORVStopPlayRawData"),
                  Get<void()>("ORVDisableSampling")};
    }

    void* Symbol(const std::string& base) const {
        const auto it = symbols_.find(base);
        return it == symbols_.end() ? nullptr : dlsym(lib_, it->second.c_str());
    }
    template <class F>
    F* Get(const char* base) const {
        return reinterpret_cast<F*>(Symbol(base));
    }
    bool Connected() const { return emu_ != nullptr; }
    bool Thorough() const { return thorough_; }
    // The bytes on the wire so far. After a call that may have talked or streamed, the
    // port is first let go quiet: its last bytes may still be on their way.
    uint64_t WireBytes() const {
        if (emu_ == nullptr)
            return 0;
        if (talked_) {
            EXPECT_TRUE(emu_->WaitForQuiet(50, 10000)) << "the port never went quiet";
            talked_ = false;
        }
        return emu_->ByteCount();
    }
    void MayHaveTalked() const { talked_ = true; }
    // With an instrument: a pulse group that lights PPG channels 1, 2 and 3.
    void LightEveryPpgChannel() const {
        if (emu_ == nullptr)
            return;
        PPG_LED_PULSE_GROUP_SETTING group = {{2, 4, 1, 0, 0, 0, 0, 0}, 1234};
        EXPECT_TRUE(Get<bool(PPG_LED_PULSE_GROUP_SETTING*)>("ORVWriteLEDPulseGroupSetting")(&group));
        MayHaveTalked();
    }

    Fingerprint Take() const {
        Fingerprint f{};
        getters_.info(&f.main);
        getters_.ppgInfo(&f.ppg);
        getters_.hw(&f.hw);
        getters_.ppgHw(&f.ppgHw);
        getters_.feature(&f.feature);
        f.serial = getters_.serial();
        f.ppgSerial = getters_.ppgSerial();
        f.dacLevel = getters_.dacLevel();
        f.handle = getters_.handle();
        return f;
    }

    // Ends whatever a tolerated call started.
    void StopEverything() const {
        for (void (*stop)() : stops_)
            stop();
    }
    void MemFree(void* p) const { Get<void(void*)>("ORVMemFree")(p); }

private:
    void* lib_;
    const std::map<std::string, std::string>& symbols_;
    nvsemu::Emulator* emu_;
    bool thorough_;
    struct {
        bool (*info)(MODEL_INFORMATION*), (*ppgInfo)(MODEL_INFORMATION*);
        bool (*hw)(HW_INFORMATION*), (*ppgHw)(HW_INFORMATION*);
        void (*feature)(DEVICE_FEATURE*);
        char* (*serial)(), *(*ppgSerial)();
        int (*dacLevel)();
        void* (*handle)();
    } getters_{};
    std::array<void (*)(), 3> stops_{};
    mutable bool talked_ = true;
};

// ECG and PPG records with hostile fields, a sine otherwise. A thorough pass takes each
// hostile value in each field; the others only the record of all 0xFF bytes.
template <class F>
ECG_WAVEFORM EcgWith(F change) {
    ECG_WAVEFORM e = records::EcgSine(1.0, 1.0);
    change(e);
    return e;
}
template <class F>
PPG_WAVEFORM PpgWith(F change) {
    PPG_WAVEFORM p = records::PpgSine(1.0, 100.0, 50.0);
    change(p);
    return p;
}
std::vector<ECG_WAVEFORM> HostileEcgs(const Harness& h) {
    std::vector<ECG_WAVEFORM> v = {FF<ECG_WAVEFORM>().value};
    if (!h.Thorough())
        return v;
    v.push_back(EcgWith([](ECG_WAVEFORM& e) { e.fFrequency = kNaN; }));
    v.push_back(EcgWith([](ECG_WAVEFORM& e) { e.fFrequency = 1e-300; }));
    for (double d : {kInf, 0.0, -1.0, 1e300}) {
        v.push_back(EcgWith([d](ECG_WAVEFORM& e) { e.fFrequency = d; }));
        v.push_back(EcgWith([d](ECG_WAVEFORM& e) { e.fSampleRateKHz = d; }));
    }
    for (double d : {kNaN, -kInf, 1e300})
        v.push_back(EcgWith([d](ECG_WAVEFORM& e) { e.fAmplitude = d; }));
    for (int t : {-1, 3, 6, INT_MAX}) {
        v.push_back(EcgWith([t](ECG_WAVEFORM& e) {
            e.nWaveformType = t;
            e.nRRInterval = INT_MIN;
            e.nQRSWidth = INT_MAX;
            e.nPulseWidth = INT_MIN;
            e.nRespirationMode = 15;
            e.nRespirationRate = INT_MIN;
            e.fPacingWidth = 1e300;
        }));
    }
    return v;
}
std::vector<PPG_WAVEFORM> HostilePpgs(const Harness& h) {
    std::vector<PPG_WAVEFORM> v = {FF<PPG_WAVEFORM>().value};
    if (!h.Thorough())
        return v;
    v.push_back(PpgWith([](PPG_WAVEFORM& p) { p.fFrequency = kNaN; }));
    v.push_back(PpgWith([](PPG_WAVEFORM& p) { p.fFrequency = 1e-300; }));
    for (double d : {kInf, 0.0, -1.0, 1e300}) {
        v.push_back(PpgWith([d](PPG_WAVEFORM& p) { p.fFrequency = d; }));
        v.push_back(PpgWith([d](PPG_WAVEFORM& p) { p.fSampleRateKHz = d; }));
    }
    for (double d : {kNaN, -kInf, 1e300})
        v.push_back(PpgWith([d](PPG_WAVEFORM& p) { p.fAmplitude1 = d; }));
    for (int t : {-1, 3, 16, 255}) {
        v.push_back(PpgWith([t](PPG_WAVEFORM& p) {
            p.nWaveformType = t;
            p.nTime1 = INT_MIN;
            p.nTime2 = INT_MAX;
            p.nTime3 = -1;
            p.nRespirationMode = 7;
            p.nRespirationRate = INT_MIN;
            p.nRespirationRatio = 0;
            p.nNoiseType = INT_MAX;
        }));
    }
    return v;
}

template <class T>
struct Same {
    using type = T;
};
template <class T>
using NoDeduce = typename Same<T>::type;

template <class F>
class Calls;

template <class R, class... A>
class Calls<R(A...)> {
public:
    Calls(const Harness& h, void* symbol) : h_(h), fn_(reinterpret_cast<R (*)(A...)>(symbol)) {}

    template <class Q = R, class = std::enable_if_t<!std::is_void_v<Q>>>
    void Refuses(NoDeduce<Q> failure, A... a) {
        Refused(true, [&] { Expect<Q>(fn_(a...), failure, ::testing::PrintToString(std::make_tuple(a...))); });
    }
    // Refused after reading what decides it (the pulse group): with an instrument the
    // read goes out, nothing else does. The instrument's group first lights every
    // channel (a row before may have changed it): a record on an unlit channel is left
    // out, not refused.
    template <class Q = R, class = std::enable_if_t<!std::is_void_v<Q>>>
    void RefusesAfterAsking(NoDeduce<Q> failure, A... a) {
        h_.LightEveryPpgChannel();
        Refused(false, [&] { Expect<Q>(fn_(a...), failure, ::testing::PrintToString(std::make_tuple(a...))); });
    }
    template <class Q = R, class = std::enable_if_t<std::is_void_v<Q>>>
    void Ignores(A... a) {
        Refused(true, [&] { fn_(a...); });
    }
    template <class Q = R, class = std::enable_if_t<!std::is_void_v<Q>>>
    void RefusedOffline(NoDeduce<Q> failure, A... a) {
        if (h_.Connected())
            Tolerates(a...);
        else
            Refuses(failure, a...);
    }
    template <class Q = R, class = std::enable_if_t<!std::is_void_v<Q>>>
    void OfflineOnly(NoDeduce<Q> failure, A... a) {
        if (!h_.Connected())
            Refuses(failure, a...);
    }
    void Tolerates(A... a) {
        h_.MayHaveTalked();
        if constexpr (std::is_void_v<R>) {
            fn_(a...);
        } else {
            R r = fn_(a...);
            if constexpr (std::is_same_v<R, int*>)
                h_.MemFree(r);
        }
        h_.StopEverything();
    }

private:
    template <class Call>
    void Refused(bool silent, Call call) {
        const Fingerprint before = h_.Take();
        const uint64_t wire = h_.WireBytes();
        call();
        if (silent)
            EXPECT_EQ(h_.WireBytes(), wire) << "a refused call sent bytes";
        else
            h_.MayHaveTalked();
        EXPECT_TRUE(h_.Take() == before) << "a refused call changed the library's records";
    }
    template <class Q>
    static void Expect(Q got, Q failure, const std::string& args) {
        if constexpr (std::is_floating_point_v<Q>)
            EXPECT_TRUE(got == failure || (std::isnan(got) && std::isnan(failure)))
                << "got " << got << ", failure value " << failure << ", arguments " << args;
        else
            EXPECT_EQ(got, failure) << "arguments " << args;
    }

    const Harness& h_;
    R (*fn_)(A...);
};

struct Row {
    const char* name;
    bool last;  // ends or changes the connection
    void (*probe)(const Harness&, void*);
};

#define NVS_ROW(last, fn, ...)                            \
    Row {                                                 \
#fn, last, [](const Harness& h, void* symbol) {         \
            Calls<decltype(fn)> c(h, symbol);                   \
            (void)c;                                            \
            __VA_ARGS__;                                        \
        } \
    }
#define ROW(fn, ...) NVS_ROW(false, fn, __VA_ARGS__)
#define LAST(fn, ...) NVS_ROW(true, fn, __VA_ARGS__)

// Slots out of range; the result for a refused slot call: 1 without an instrument, else 3.
#define SLOTS(call)                              \
    for (int s : {0, 4, -1, INT_MIN, INT_MAX}) { \
        call;                                    \
    }
int Bad(const Harness& h, int) { return h.Connected() ? 3 : 1; }
struct E {
    E() : e(records::EcgSine(1.0, 1.0)) {}
    operator ECG_WAVEFORM*() { return &e; }
    ECG_WAVEFORM e;
};
struct P {
    P() : p(records::PpgSine(1.0, 100.0, 50.0)) {}
    operator PPG_WAVEFORM*() { return &p; }
    PPG_WAVEFORM p;
};
std::vector<double> HostileRates() { return {kNaN, kInf, -kInf, 0.0, -1.0, 1e-300, 1e300}; }
// Sweeps the sweep functions refuse.
std::vector<FREQUENCY_SCAN> RefusedScans() {
    return {{kNaN, 1, 2, 1},  {1, kInf, 2, 1},    {1, 1, -kInf, 1},   {1, 1, 2, 0}, {1, 1, 2, -1},
            {1, 1, 2, 53688}, {1, 1, 2, INT_MIN}, {1, 1, 2, INT_MAX}, {1, 0, 0, 1}};
}
// Starts the auto test with what the list holds, then stops it.
void StartAutoTest(const Harness& h) {
    h.Get<decltype(ORVAutoTestStartOutput)>("ORVAutoTestStartOutput")(Sink, Sink, Sink, Sink);
    h.StopEverything();
}

// clang-format off
const Row kRows[] = {
    // Waveform model services
    ROW(ORVConvertAutoDCToFixedDC,
        for (int ch : {0, 4, -1, INT_MIN, INT_MAX}) c.Refuses(0.0, Ch(ch), INT_MAX, INT_MIN);
        c.Tolerates(Ch(1), INT_MIN, 0); c.Tolerates(Ch(2), INT_MAX, INT_MIN); c.Tolerates(Ch(3), 0, -1)),
    ROW(ORVCalcPPGStartPoint,
        c.Refuses(0, nullptr, FF<PPG_WAVEFORM>(), 0); c.Refuses(0, FF<ECG_WAVEFORM>(), nullptr, 0);
        c.Refuses(0, nullptr, nullptr, INT_MIN); c.Refuses(0, FF<ECG_WAVEFORM>(), FF<PPG_WAVEFORM>(), INT_MAX);
        for (ECG_WAVEFORM e : HostileEcgs(h)) for (int d : {INT_MIN, INT_MAX}) {
            PPG_WAVEFORM p = records::PpgSine(1.0, 100.0, 50.0); c.Tolerates(&e, &p, d); }),

    // Device information and control settings
    ROW(ORVGetDeviceInformation, c.Refuses(false, nullptr)),
    ROW(ORVGetSerialNumber, c.Tolerates()),
    ROW(ORVGetPPGDeviceInformation, c.Refuses(false, nullptr)),
    ROW(ORVGetPPGSerialNumber, c.Tolerates()),
    ROW(ORVGetHWInformation, c.Refuses(false, nullptr)),
    ROW(ORVGetPPGHWInformation, c.Refuses(false, nullptr)),
    ROW(ORVGetVersion, c.Tolerates()),
    ROW(ORVEnableRLD, c.RefusedOffline(false, false)),
    ROW(ORVReadRLD, double a = 0, b = 0; c.Refuses(false, nullptr, nullptr); c.RefusedOffline(false, &a, &b)),
    ROW(ORVEnableACAboveDC, c.Tolerates(false)),
    ROW(ORVDeviceEnableImpedance, for (int v : {INT_MIN, -1, INT_MAX}) c.RefusedOffline(false, v)),
    ROW(ORVDeviceSetElectrode, for (int v : {INT_MIN, -1, INT_MAX}) c.RefusedOffline(false, v)),
    ROW(ORVDeviceSetDCOffset, for (int v : {INT_MIN, -301, -1, 1, 299, 301, INT_MAX}) c.Refuses(false, v)),
    ROW(ORVDeviceEnablePacing, for (int v : {INT_MIN, -1, INT_MAX}) c.RefusedOffline(false, v)),
    ROW(ORVDeviceEnableRespiration, for (int v : {INT_MIN, -1, 127, 129, INT_MAX}) c.RefusedOffline(false, v)),
    ROW(ORVGetDeviceFeature, c.Ignores(nullptr)),
    ROW(ORVGetDeviceHandle, c.Tolerates()),
    LAST(ORVSetDeviceHandle,
         if (!h.Connected()) { c.Ignores(reinterpret_cast<void*>(intptr_t{-1}));
                               c.Ignores(reinterpret_cast<void*>(intptr_t{INT_MAX})); }
         c.Tolerates(reinterpret_cast<void*>(intptr_t{INT_MAX})); c.Tolerates(nullptr)),
    ROW(ORVSendCommand,
        FFArray<unsigned char, 64> cmd; FFArray<unsigned char, 64> reply;
        for (int len : {0, -1, INT_MIN}) c.Refuses(-1, cmd, len, reply, 64);
        c.Refuses(-1, nullptr, 4, reply, 64); c.Refuses(-1, nullptr, 0, nullptr, 0);
        for (int len : {-1, INT_MIN}) c.Refuses(-1, cmd, 4, reply, len);
        c.RefusedOffline(-1, cmd, 4, nullptr, 0); c.RefusedOffline(-1, cmd, 64, reply, 64)),
    ROW(ORVLog, FFArray<char, 64> text; text.data.back() = 0; c.Ignores(nullptr); c.Ignores(text)),
    ROW(ORVMemFree,
        int local = 0; c.Ignores(nullptr); c.Ignores(&local);
        void* heap = malloc(16); c.Ignores(heap); free(heap)),
    ROW(ORVGetLEDOutputFeedbackVoltageADCData, c.RefusedOffline(0)),
    ROW(ORVGetUSBBusVoltage, c.RefusedOffline(0)),

    // LEDs, ambient light and PPG module
    ROW(ORVReadLEDPulseGroupSetting, c.Refuses(false, nullptr)),
    ROW(ORVWriteLEDPulseGroupSetting, c.Refuses(false, nullptr); c.RefusedOffline(false, FF<PPG_LED_PULSE_GROUP_SETTING>())),
    ROW(ORVGetLEDAmbientLightMode, c.RefusedOffline(0)),
    ROW(ORVSetLEDAmbientLightMode,
        for (int m : {-1, 15, INT_MIN, INT_MAX}) c.RefusedOffline(false, static_cast<PPGAmbientLightMode>(m))),  // clamped
    // True where the instrument has no such setting, also without an instrument.
    ROW(ORVConfigureTransmissionRate, for (int m : {INT_MIN, -1, 6, INT_MAX}) c.Tolerates(m)),
    ROW(ORVEnableDynamicLEDStrength, c.Tolerates(false)),
    ROW(ORVGetPPGModuleNumber, c.Tolerates()),
    ROW(ORVGetSelectedPPGModule, c.RefusedOffline(0)),
    ROW(ORVSelectPPGModule, for (int m : {INT_MIN, -1, 7, INT_MAX}) c.RefusedOffline(false, m); c.Tolerates(0)),
    ROW(ORVReadLEDMatrixEnableStatus, c.Refuses(false, nullptr)),
    ROW(ORVWriteLEDMatrixEnableStatus, c.Tolerates(0xFF)),  // true where there is no matrix switch
    ROW(ORVReadAmbientLightDC, c.RefusedOffline(0)),
    ROW(ORVWriteAmbientLightDC, for (int v : {INT_MIN, -1, INT_MAX}) c.RefusedOffline(false, v)),
    ROW(ORVWritePPGSyncPulse,
        for (int ch : {0, 4, INT_MIN, INT_MAX}) for (int s : {0, 3})
            c.RefusedOffline(false, Ch(ch), static_cast<SyncPulse>(s))),
    ROW(ORVReadPPGLEDSetting,
        FF<PPG_LED_SETTING> s;
        for (auto gi : {std::pair{9, 0}, {-1, 0}, {0, 32}, {0, -1}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}})
            c.Refuses(false, gi.first, gi.second, s);
        c.Refuses(false, 0, 0, nullptr)),
    ROW(ORVWritePPGLEDSetting,
        FF<PPG_LED_SETTING> s;
        for (auto gi : {std::pair{9, 0}, {-1, 0}, {0, 32}, {0, -1}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}})
            c.Refuses(false, gi.first, gi.second, s);
        c.Refuses(false, 0, 0, nullptr)),
    ROW(ORVClearPPGLEDSetting,
        for (auto gi : {std::pair{9, 0}, {-1, 0}, {0, 32}, {0, -1}, {INT_MIN, INT_MIN}, {INT_MAX, INT_MAX}})
            c.Refuses(false, gi.first, gi.second)),
    ROW(ORVSaveDefaultPulseSettings, c.Tolerates()),
    ROW(ORVSetTransmissionRate, for (int v : {INT_MIN, -1, INT_MAX}) c.RefusedOffline(false, v)),
    ROW(ORVReadPPGVRef,
        unsigned v = 0; c.Refuses(false, Ch(1), nullptr);
        for (int ch : {0, 3, INT_MIN, INT_MAX}) c.RefusedOffline(false, Ch(ch), &v)),
    ROW(ORVWritePPGVRef, for (int ch : {0, 3, INT_MIN, INT_MAX}) c.RefusedOffline(false, Ch(ch), UINT_MAX)),
    ROW(ORVEnableAutoTriggerLevel, c.RefusedOffline(false, false)),
    ROW(ORVGetAutoTriggerLevelStatus, c.Refuses(false, nullptr)),
    ROW(ORVEnablePPGAmplitudeConversion, c.Tolerates(true)),
    ROW(ORVGetLoadedPPGRange,
        double lo = 0, hi = 0;
        for (int ch : {0, 4, INT_MIN, INT_MAX}) c.Refuses(false, ch, &lo, &hi);
        c.Refuses(false, 1, nullptr, nullptr)),
    ROW(ORVGetPPGDacLevel, c.Tolerates()),
    ROW(ORVSetPPGDacLevel,
        const int kept = h.Get<int()>("ORVGetPPGDacLevel")();
        auto* output = h.Get<decltype(ORVOutputPPG)>("ORVOutputPPG");
        for (int level : {0, -1, INT_MIN, INT_MAX}) {
            c.Tolerates(level); PPG_WAVEFORM p = records::PpgSine(1.0, 100.0, 50.0);
            output(1, &p, Sink); h.StopEverything(); }
        c.Tolerates(kept)),
    ROW(ORVEnableHotPlugDetection, c.Tolerates(true)),

    // External respiration
    ROW(ORVExternalRespiratorySetBaseline,
        for (auto bs : {std::pair{12, 0}, {-1, 0}, {INT_MIN, INT_MAX}, {INT_MAX, INT_MIN}})
            c.RefusedOffline(false, bs.first, bs.second)),  // the table index is clamped
    ROW(ORVWriteRespirationRWA,
        c.Refuses(false, nullptr);
        for (double d : {kNaN, kInf, -kInf, 1e308}) c.OfflineOnly(false, Doubles<4>(d))),
    ROW(ORVExternalRespiratoryWriteRDAC3,
        c.Refuses(false, nullptr);
        for (double d : {kNaN, kInf, -kInf, 1e308, -1e308, 0.0}) c.OfflineOnly(false, Doubles<96>(d))),
    ROW(ORVWriteRespirationBaselineDACTable,
        c.Refuses(false, nullptr); c.OfflineOnly(false, FFArray<unsigned short, 12>())),
    ROW(ORVExternalRespiratorySetDAC, c.RefusedOffline(false, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF)),
    ROW(ORVExternalRespiratoryGetAmplitudeDACByResistance,
        for (double d : {kNaN, kInf, -kInf, 1e308, -1e308, 0.0, -1.0}) {
            c.Ignores(d, nullptr);
            FFArray<unsigned short, 3> words; c.Ignores(d, words);
            EXPECT_EQ(words.data, (std::array<unsigned short, 3>{})) << d; }),
    ROW(ORVExternalRespiratorySetBaselineDAC, c.RefusedOffline(false, 0xFFFF)),
    ROW(ORVExternalRespiratorySetAmplitudeByResistance,
        for (double d : {kNaN, kInf, -kInf, 1e308, -1e308}) c.Refuses(false, d)),

    // Simulated output
    ROW(ORVOutputECG,
        c.Refuses(false, nullptr, Sink);
        // A period no rate fits into the instrument's buffer is not uploaded.
        ECG_WAVEFORM slow = EcgWith([](ECG_WAVEFORM& e) { e.fFrequency = 0.001; });
        if (h.Connected()) { EXPECT_FALSE(h.Get<decltype(ORVOutputECG)>("ORVOutputECG")(&slow, Sink)); }
        for (ECG_WAVEFORM e : HostileEcgs(h)) c.Tolerates(&e, Sink)),
    ROW(ORVOutputECGAndPPG,
        c.Refuses(false, 0, nullptr, nullptr, Sink, Sink);
        for (ECG_WAVEFORM e : HostileEcgs(h)) { PPG_WAVEFORM p = records::PpgSine(1.0, 100.0, 50.0);
                                               c.Tolerates(INT_MIN, &e, &p, Sink, Sink); }
        for (PPG_WAVEFORM p : HostilePpgs(h)) { ECG_WAVEFORM e = records::EcgSine(1.0, 1.0);
                                               c.Tolerates(INT_MAX, &e, &p, Sink, Sink); }),
    ROW(ORVOutputECGAndPPGEx,
        c.Refuses(false, 0, nullptr, nullptr, nullptr, Sink, Sink, Sink);
        for (PPG_WAVEFORM p : HostilePpgs(h)) { ECG_WAVEFORM e = records::EcgSine(1.0, 1.0); PPG_WAVEFORM q = p;
                                               c.Tolerates(INT_MIN, &e, &p, &q, Sink, Sink, Sink); }),
    ROW(ORVOutputECGAndPPG3,
        c.Refuses(false, 0, nullptr, nullptr, nullptr, nullptr, Sink, Sink, Sink, Sink);
        for (PPG_WAVEFORM p : HostilePpgs(h)) { ECG_WAVEFORM e = records::EcgSine(1.0, 1.0);
                                               PPG_WAVEFORM q = p, r = p;
                                               c.Tolerates(INT_MAX, &e, &p, &q, &r, Sink, Sink, Sink, Sink); }),
    ROW(ORVOutputPPG,
        for (int ch : {0, 4, INT_MIN, INT_MAX}) c.Refuses(false, ch, nullptr, Sink);
        PPG_WAVEFORM slow = PpgWith([](PPG_WAVEFORM& p) { p.fFrequency = 0.001; });
        if (h.Connected()) { EXPECT_FALSE(h.Get<decltype(ORVOutputPPG)>("ORVOutputPPG")(1, &slow, Sink)); }
        for (PPG_WAVEFORM p : HostilePpgs(h)) c.Tolerates(INT_MIN, &p, Sink)),
    ROW(ORVOutputPPGEx,
        c.Tolerates(nullptr, nullptr, Sink, Sink);  // no channel: an output of nothing
        for (PPG_WAVEFORM p : HostilePpgs(h)) { PPG_WAVEFORM q = p; c.Tolerates(&p, &q, Sink, Sink); }),
    ROW(ORVOutputPPG3,
        c.Tolerates(nullptr, nullptr, nullptr, Sink, Sink, Sink);
        for (PPG_WAVEFORM p : HostilePpgs(h)) { PPG_WAVEFORM q = p, r = p; c.Tolerates(&p, &q, &r, Sink, Sink, Sink); }),
    ROW(ORVStopOutputWaveform, c.Tolerates()),

    // Standalone mode: 3 refused (1 without an instrument), 10 for the type read
    ROW(ORVReadStandaloneModeType, for (int s : {0, 4, -1, INT_MIN, INT_MAX}) c.Refuses(10, s)),
    ROW(ORVReadECGModeFromStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, E())); c.Refuses(Bad(h, 1), 1, nullptr)),
    ROW(ORVWriteECGModeToStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, E())); c.Refuses(Bad(h, 1), 1, nullptr)),
    ROW(ORVReadPWVModeFromStandaloneMode, int t = 0; SLOTS(c.Refuses(Bad(h, s), s, &t, E(), P()));
        c.Refuses(Bad(h, 1), 1, &t, nullptr, P()); c.Refuses(Bad(h, 1), 1, &t, E(), nullptr)),
    ROW(ORVWritePWVModeToStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, INT_MIN, E(), P()));
        c.Refuses(Bad(h, 1), 1, 0, nullptr, P()); c.Refuses(Bad(h, 1), 1, 0, E(), nullptr);
        c.Refuses(Bad(h, 1), 1, INT_MAX, FF<ECG_WAVEFORM>(), P())),
    ROW(ORVReadPWVModeExFromStandaloneMode, int t = 0; SLOTS(c.Refuses(Bad(h, s), s, &t, E(), P(), P()));
        c.Refuses(Bad(h, 1), 1, &t, E(), P(), nullptr)),
    ROW(ORVWritePWVModeExToStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, INT_MIN, E(), P(), P()));
        c.Refuses(Bad(h, 1), 1, 0, E(), nullptr, P()); c.Refuses(Bad(h, 1), 1, INT_MIN, FF<ECG_WAVEFORM>(), P(), P())),
    ROW(ORVReadPWVModePPG3FromStandaloneMode, int t = 0; SLOTS(c.Refuses(Bad(h, s), s, &t, E(), P(), P(), P()));
        c.Refuses(Bad(h, 1), 1, &t, E(), P(), P(), nullptr)),
    ROW(ORVWritePWVModePPG3ToStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, 0, E(), P(), P(), P()));
        c.Refuses(Bad(h, 1), 1, 0, nullptr, P(), P(), P()); c.Refuses(Bad(h, 1), 1, 0, FF<ECG_WAVEFORM>(), P(), P(), P())),
    ROW(ORVReadSPO2ModeFromStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P(), P())); c.Refuses(Bad(h, 1), 1, nullptr, P())),
    ROW(ORVWriteSPO2ModeToStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P(), P())); c.Refuses(Bad(h, 1), 1, P(), nullptr)),
    ROW(ORVReadSPO2ModePPG3FromStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P(), P(), P()));
        c.Refuses(Bad(h, 1), 1, P(), nullptr, P())),
    ROW(ORVWriteSPO2ModePPG3ToStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P(), P(), P()));
        c.Refuses(Bad(h, 1), 1, P(), P(), nullptr)),
    ROW(ORVReadPPGModeFromStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P())); c.Refuses(Bad(h, 1), 1, nullptr)),
    ROW(ORVWritePPGModeToStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P())); c.Refuses(Bad(h, 1), 1, nullptr)),
    ROW(ORVReadPPGModeExFromStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P(), P())); c.Refuses(Bad(h, 1), 1, nullptr, P())),
    ROW(ORVWritePPGModeExToStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P(), P())); c.Refuses(Bad(h, 1), 1, P(), nullptr)),
    ROW(ORVReadPPGModePPG3FromStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P(), P(), P()));
        c.Refuses(Bad(h, 1), 1, nullptr, P(), P())),
    ROW(ORVWritePPGModePPG3ToStandaloneMode, SLOTS(c.Refuses(Bad(h, s), s, P(), P(), P()));
        c.Refuses(Bad(h, 1), 1, P(), P(), nullptr)),

    // Firmware burn and FPGA upgrade: nothing is kept, so nothing may start
    ROW(ORVUpdateLoadBinFile,
        FFArray<unsigned char, 16> image;
        for (unsigned size : {1u, 0x1E000u, UINT_MAX}) c.Refuses(-2, nullptr, size);
        for (unsigned size : {0x1E001u, UINT_MAX}) c.Refuses(-2, image, size);
        c.Refuses(0, nullptr, 0)),
    ROW(ORVUpdateBurnFlashBlock,
        for (int b : {-1, 2, INT_MIN, INT_MAX, 0, 1}) c.Refuses(-2, static_cast<FlashBlock>(b), ProgressSink);
        c.Refuses(-2, FLASH_BLOCK_0, nullptr)),
    ROW(ORVUpdateFwBurnBinFile, c.Refuses(-2, nullptr); c.Refuses(-2, ProgressSink)),
    ROW(ORVUpdateFwLoadBinFile, int a = 0; c.Refuses(0, nullptr, nullptr, nullptr, nullptr);
        c.Refuses(0, const_cast<char*>("/nonexistent"), &a, &a, &a)),
    ROW(ORVUpdateMCULoadBinFile, c.Refuses(-1, nullptr, nullptr, nullptr)),
    ROW(ORVUpdateMCUBurnBinFile, c.Refuses(-1, nullptr)),
    ROW(ORVUpdateFPGABurn, c.Refuses(-2, nullptr); c.Refuses(-2, ProgressSink)),
    ROW(ORVUpdateFPGALoadFile,
        int length = 0, crc = 0; c.Refuses(-2, nullptr, &length, &crc);
        for (const char* path : {"/nonexistent/fpga.bin", "/dev/null", "/"})
            c.Refuses(-17, const_cast<char*>(path), &length, &crc);
        c.Refuses(-17, const_cast<char*>("/dev/null"), nullptr, nullptr)),

    // Photodiode sampling
    ROW(ORVEnableSampling,
        for (int k : {-1, 4, INT_MIN, INT_MAX}) c.Refuses(false, static_cast<PPGSampling>(k), SamplingSink)),
    ROW(ORVStartSampling, c.RefusedOffline(false, nullptr); c.RefusedOffline(false, ErrorSink)),
    ROW(ORVDisableSampling, c.Tolerates()),
    ROW(ORVEnableDUTSignalDetection,
        c.Refuses(false, false, [](int) {}); c.Refuses(false, true, nullptr); c.Refuses(false, false, nullptr)),
    ROW(ORVStartSamplingEx, for (int skip : {INT_MIN, -1, INT_MAX}) c.RefusedOffline(false, skip, ErrorSink)),
    ROW(ORVEnableFPGASampling,
        for (int m : {INT_MIN, -1, INT_MAX}) { c.Refuses(false, false, m, FpgaSink); c.Refuses(false, true, m, nullptr);
                                               c.RefusedOffline(false, true, m, FpgaSink); }),

    // Playback: refused records return false with nothing stopped or sent
    ROW(ORVWaveformPlayerOutputECG,
        c.Refuses(false, nullptr); for (Raw& r : RefusedRaws()) c.Refuses(false, r);
        for (double rate : HostileRates()) c.Tolerates(Raw(100, rate))),
    ROW(ORVWaveformPlayerOutputECGAndPPG,
        for (int ch : {0, 4, INT_MIN, INT_MAX}) { c.Refuses(false, nullptr, ch, nullptr);
            for (Raw& r : RefusedRaws()) { c.Refuses(false, r, ch, Raw()); c.Refuses(false, Raw(), ch, r); } }
        for (double rate : HostileRates()) c.Tolerates(Raw(100, rate), INT_MIN, Raw(100, rate))),
    ROW(ORVWaveformPlayerOutputECGAndPPGEx,
        c.Refuses(false, nullptr, nullptr, nullptr);
        for (Raw& r : RefusedRaws()) { c.Refuses(false, r, Raw(), Raw()); c.Refuses(false, Raw(), Raw(), r); }
        for (double rate : HostileRates()) c.Tolerates(Raw(), Raw(100, rate), Raw(100, rate))),
    ROW(ORVWaveformPlayerOutputECGAndPPG3,
        for (Raw& r : RefusedRaws()) { c.RefusesAfterAsking(false, r, Raw(), Raw(), Raw());
                                       c.RefusesAfterAsking(false, Raw(), Raw(), Raw(), r); }
        for (double rate : HostileRates()) c.Tolerates(Raw(100, rate), Raw(), Raw(), Raw(100, rate))),
    ROW(ORVWaveformPlayerOutputPPG,
        for (int ch : {0, 4, INT_MIN, INT_MAX}) { c.Refuses(false, ch, nullptr);
                                                  for (Raw& r : RefusedRaws()) c.Refuses(false, ch, r); }
        for (double rate : HostileRates()) c.Tolerates(INT_MAX, Raw(100, rate))),
    ROW(ORVWaveformPlayerOutputPPGEx,
        c.Refuses(false, nullptr, nullptr);
        for (Raw& r : RefusedRaws()) { c.Refuses(false, r, Raw()); c.Refuses(false, Raw(), r); }
        for (double rate : HostileRates()) c.Tolerates(Raw(100, rate), Raw())),
    ROW(ORVWaveformPlayerOutputPPG3,
        for (Raw& r : RefusedRaws()) { c.RefusesAfterAsking(false, r, Raw(), Raw());
                                       c.RefusesAfterAsking(false, Raw(), nullptr, r); }
        for (double rate : HostileRates()) c.Tolerates(Raw(100, rate), Raw(100, rate), Raw(100, rate))),
    ROW(ORVWaveformPlayerLoop, c.Tolerates(true)),
    ROW(ORVPlayECG, c.Refuses(false, nullptr, Sink); for (ECG_WAVEFORM e : HostileEcgs(h)) c.Tolerates(&e, Sink)),
    ROW(ORVPlayECGAndPPG,
        c.Refuses(false, 0, nullptr, P(), Sink, Sink); c.Refuses(false, 0, E(), nullptr, Sink, Sink);
        for (ECG_WAVEFORM e : HostileEcgs(h)) c.Tolerates(INT_MIN, &e, P(), Sink, Sink);
        for (PPG_WAVEFORM p : HostilePpgs(h)) c.Tolerates(INT_MAX, E(), &p, Sink, Sink)),
    ROW(ORVPlayECGAndPPGEx,
        c.Refuses(false, 0, nullptr, P(), P(), Sink, Sink, Sink);
        for (PPG_WAVEFORM p : HostilePpgs(h)) { PPG_WAVEFORM q = p; c.Tolerates(INT_MIN, E(), &p, &q, Sink, Sink, Sink); }),
    ROW(ORVPlayECGAndPPG3,
        c.Refuses(false, 0, nullptr, P(), P(), P(), Sink, Sink, Sink, Sink);
        for (PPG_WAVEFORM p : HostilePpgs(h)) { PPG_WAVEFORM q = p, r = p;
                                               c.Tolerates(INT_MAX, E(), &p, &q, &r, Sink, Sink, Sink, Sink); }),
    ROW(ORVPlayPPG,
        for (int ch : {0, 4, INT_MIN, INT_MAX}) c.Refuses(false, ch, nullptr, Sink);
        for (PPG_WAVEFORM p : HostilePpgs(h)) c.Tolerates(INT_MIN, &p, Sink)),
    ROW(ORVPlayPPGEx,
        c.Refuses(false, nullptr, nullptr, Sink, Sink);
        for (PPG_WAVEFORM p : HostilePpgs(h)) { PPG_WAVEFORM q = p; c.Tolerates(&p, &q, Sink, Sink); }),
    ROW(ORVPlayPPG3,
        c.RefusesAfterAsking(false, nullptr, nullptr, nullptr, Sink, Sink, Sink);
        for (PPG_WAVEFORM p : HostilePpgs(h)) { PPG_WAVEFORM q = p, r = p; c.Tolerates(&p, &q, &r, Sink, Sink, Sink); }),
    ROW(ORVOutputFrequencyScan,
        c.Refuses(false, nullptr, Sink); c.Refuses(false, FF<FREQUENCY_SCAN>(), Sink);
        for (FREQUENCY_SCAN s : RefusedScans()) c.Refuses(false, &s, Sink);
        FREQUENCY_SCAN fast{1.0, 1e308, 1e308, 1}; c.Tolerates(&fast, Sink)),
    ROW(ORVOutputFrequencyScanPPG,
        c.Refuses(false, 1, nullptr, Sink); c.Refuses(false, 1, FF<FREQUENCY_SCAN2>(), Sink);
        for (FREQUENCY_SCAN s : RefusedScans()) for (int ch : {1, 0, INT_MIN, INT_MAX}) {
            FREQUENCY_SCAN2 s2{s.fAmplitude, 10.0, 1, s.fStartFrequency, s.fEndFrequency, s.nDuration};
            c.Refuses(false, ch, &s2, Sink); }
        FREQUENCY_SCAN2 fast{1.0, 1e308, 0, 1e308, 1e308, 1}; c.Tolerates(INT_MIN, &fast, Sink)),
    ROW(ORVStopPlayRawData, c.Tolerates()),
    // Not called: a start signal is the host's and no call frees one, so through a library
    // that is unloaded afterwards each would be a leak.
    ROW(ORVCreateSynchronizationSignal, (void)h),
    ROW(ORVSetSynchronizationSignal,
        int local = 0; c.Ignores(&local); c.Ignores(reinterpret_cast<void*>(intptr_t{-1})); c.Ignores(nullptr)),
    ROW(ORVSynchronizationSignalSetEvent,
        int local = 0; c.Ignores(&local); c.Ignores(reinterpret_cast<void*>(intptr_t{-1})); c.Ignores(nullptr)),
    ROW(ORVSynchronizationSignalResetEvent,
        int local = 0; c.Ignores(&local); c.Ignores(reinterpret_cast<void*>(intptr_t{-1})); c.Ignores(nullptr)),
    ROW(ORVAutoTestSetSetting, c.Ignores(nullptr); c.Tolerates(FF<AUTO_TEST_SETTING>())),
    ROW(ORVAutoTestClear, c.Tolerates()),
    ROW(ORVAutoTestAddItem,
        h.Get<void()>("ORVAutoTestClear")();
        for (int d : {-1, INT_MIN}) c.Refuses(0, d, E(), P(), P(), P());
        for (ECG_WAVEFORM e : HostileEcgs(h)) c.Tolerates(INT_MAX, &e, FF<PPG_WAVEFORM>(), nullptr, P());
        StartAutoTest(h); h.Get<void()>("ORVAutoTestClear")()),
    ROW(ORVAutoTestAddItemECGAndPPGEx,
        h.Get<void()>("ORVAutoTestClear")();
        for (int d : {-1, INT_MIN}) c.Refuses(0, d, 0, E(), P(), P(), P());
        for (PPG_WAVEFORM p : HostilePpgs(h)) c.Tolerates(1, INT_MIN, FF<ECG_WAVEFORM>(), &p, &p, &p);
        c.Tolerates(0, INT_MAX, nullptr, nullptr, nullptr, nullptr);
        StartAutoTest(h); h.Get<void()>("ORVAutoTestClear")()),
    ROW(ORVAutoTestStartOutput,
        h.Get<void()>("ORVAutoTestClear")();
        c.Refuses(false, Sink, Sink, Sink, Sink); c.Refuses(false, nullptr, nullptr, nullptr, nullptr);
        h.Get<decltype(ORVAutoTestAddItemPlayRaw)>("ORVAutoTestAddItemPlayRaw")(1, "/nonexistent/wave.txt");
        c.Refuses(false, Sink, Sink, Sink, Sink); h.Get<void()>("ORVAutoTestClear")()),

    // Factory: PPG calibration settings
    ROW(ORVReadPPGLedCalibrationSetting,
        unsigned short v = 0; c.Refuses(false, Ch(1), nullptr);
        for (int ch : {0, 4, INT_MIN, INT_MAX}) c.RefusedOffline(false, Ch(ch), &v)),
    ROW(ORVWritePPGLedCalibrationSetting, for (int ch : {0, 4, INT_MIN, INT_MAX}) c.RefusedOffline(false, Ch(ch), 0xFFFF)),
    ROW(ORVReadPPGTriggerLevelCalibrationSetting,
        unsigned short v = 0; c.Refuses(false, Ch(1), nullptr);
        for (int ch : {0, 4, INT_MIN, INT_MAX}) c.RefusedOffline(false, Ch(ch), &v)),
    ROW(ORVWritePPGTriggerLevelCalibrationSetting,
        for (int ch : {0, 4, INT_MIN, INT_MAX}) c.RefusedOffline(false, Ch(ch), 0xFFFF)),
    ROW(ORVAutoTestAddItemPlayRaw,
        h.Get<void()>("ORVAutoTestClear")();
        const std::string longPath(300, 'x');
        c.Refuses(0, 1, nullptr); c.Refuses(0, 1, longPath.c_str()); c.Refuses(0, -1, "/tmp/x"); c.Refuses(0, INT_MIN, "");
        c.Tolerates(INT_MAX, ""); StartAutoTest(h); h.Get<void()>("ORVAutoTestClear")()),
    ROW(ORVGenECGWaveform,
        int n = 0; double rate = 0; c.Refuses(nullptr, nullptr, &n, &rate);
        for (ECG_WAVEFORM e : HostileEcgs(h)) { c.Tolerates(&e, &n, &rate); c.Tolerates(&e, nullptr, nullptr); }),
    ROW(ORVGenECGWaveformEx,
        int n = 0; c.Refuses(nullptr, nullptr, &n, 1.0);
        for (double r : {kNaN, kInf, -kInf, 1e308, -1e308, 3e9}) c.Refuses(nullptr, E(), &n, r);
        for (ECG_WAVEFORM e : HostileEcgs(h)) for (double r : {1.0, 0.0, -1.0, 1e-300, 40.0}) c.Tolerates(&e, &n, r)),
    ROW(ORVGenPPGWaveform,
        int n = 0; c.Refuses(nullptr, nullptr, &n);
        for (PPG_WAVEFORM p : HostilePpgs(h)) { c.Tolerates(&p, &n); c.Tolerates(&p, nullptr); }),
    ROW(ORVGenPPGWaveformEx,
        int n = 0; c.Refuses(nullptr, nullptr, &n, 1.0);
        for (double r : {kNaN, kInf, -kInf, 1e308, -1e308, 3e9}) c.Refuses(nullptr, P(), &n, r);
        for (PPG_WAVEFORM p : HostilePpgs(h)) for (double r : {1.0, 0.0, -1.0, 1e-300, 40.0}) c.Tolerates(&p, &n, r)),
    ROW(ORVCalculateACByRMS, for (PPG_WAVEFORM p : HostilePpgs(h)) c.Tolerates(p)),

    // Factory identity: with an instrument only refused calls (the others would rewrite it)
    ROW(ORVSetDeviceInformation, c.Refuses(false, nullptr); c.OfflineOnly(false, FF<MODEL_INFORMATION>())),
    ROW(ORVSetPPGDeviceInformation, c.Refuses(false, nullptr); c.OfflineOnly(false, FF<MODEL_INFORMATION>())),
    ROW(ORVSetProductName, c.OfflineOnly(false, '\xff', '\0')),
    ROW(ORVSetHWInformation, c.OfflineOnly(false, INT_MIN, INT_MAX)),
    ROW(ORVSetPPGModuleHWInformation, c.OfflineOnly(false, INT_MAX, INT_MIN)),
    ROW(ORVSetSerialNumber, c.OfflineOnly(false, INT_MIN, INT_MAX)),
    ROW(ORVSetPPGModuleSerialNumber, c.OfflineOnly(false, INT_MAX, INT_MIN)),
    ROW(ORVSetPPGModuleType, c.OfflineOnly(false, 0xFFFF)),

    // Factory settings, module commands and manufacturing information
    ROW(ORVReadPPGCalibrationSetting,
        unsigned short v = 0; for (int s : {1, INT_MIN, INT_MAX}) c.Refuses(false, s, nullptr);
        for (int s : {INT_MIN, -1, INT_MAX}) c.RefusedOffline(false, s, &v)),
    ROW(ORVWritePPGCalibrationSetting, c.OfflineOnly(false, INT_MIN, 0xFFFF)),
    ROW(ORVRead0xCCCommand, unsigned char v = 0; c.Refuses(false, 0xFF, nullptr); c.RefusedOffline(false, 0xFF, &v)),
    ROW(ORVWrite0xCCCommand,
        FFArray<unsigned char, 64> data;
        for (int len : {0, -1, 61, INT_MIN, INT_MAX}) c.Refuses(false, 1, data, len);
        c.Refuses(false, 1, nullptr, 4); c.Refuses(false, 1, nullptr, 0)),
    ROW(ORVSwitchPDSamplingFullRange, c.RefusedOffline(false, true)),
    ROW(ORVSwitchDeviceWorkingMode, c.RefusedOffline(false, 0xFF)),
    ROW(ORVSwitchToGPIOMode, c.RefusedOffline(false, false)),
    ROW(ORVIsLEDTriggered, for (int ch : {0, 3, INT_MIN, INT_MAX}) c.RefusedOffline(false, Ch(ch))),
    ROW(ORVFingerEnableDebugMode, c.RefusedOffline(false, false)),
    ROW(ORVReadMfgInfo,
        FFArray<unsigned char, 64> b; for (unsigned long n : {0ul, 64ul, ULONG_MAX}) c.Refuses(false, nullptr, n);
        c.Tolerates(b, 0); for (unsigned long n : {65ul, ULONG_MAX}) c.RefusedOffline(false, b, n)),
    ROW(ORVReadPPGMfgInfo,
        FFArray<unsigned char, 64> b; for (unsigned long n : {0ul, 64ul, ULONG_MAX}) c.Refuses(false, nullptr, n);
        c.Tolerates(b, 0); for (unsigned long n : {65ul, ULONG_MAX}) c.RefusedOffline(false, b, n)),
    ROW(ORVWriteMfgInfo,
        const FFArray<unsigned char, 64> b; for (unsigned long n : {0ul, 64ul, ULONG_MAX}) c.Refuses(false, nullptr, n);
        for (unsigned long n : {65ul, ULONG_MAX}) c.OfflineOnly(false, b, n)),
    ROW(ORVWritePPGMfgInfo,
        const FFArray<unsigned char, 64> b; for (unsigned long n : {0ul, 64ul, ULONG_MAX}) c.Refuses(false, nullptr, n);
        for (unsigned long n : {65ul, ULONG_MAX}) c.OfflineOnly(false, b, n)),

    // Factory calibration data
    ROW(ORVWriteECGDCVariableCalibrationData,
        FFArray<int, 2001> v; c.Refuses(false, nullptr, 2001);
        for (unsigned long n : {0ul, 2000ul, 2002ul, ULONG_MAX}) c.Refuses(false, v, n);
        c.OfflineOnly(false, v, 2001)),
    ROW(ORVClearECGDCVariableCalibrationData, c.OfflineOnly(false)),
    ROW(ORVReadPPGCalibrationDataPDSampling,
        FFArray<int, 1024> v; for (int ch : {1, 0, INT_MIN}) c.Refuses(false, Ch(ch), nullptr, 1024);
        for (int n : {0, -1, 1023, 1025, INT_MIN, INT_MAX}) c.Refuses(false, Ch(1), v, n);
        for (int ch : {0, 3, INT_MIN, INT_MAX}) c.Tolerates(Ch(ch), v, 1024)),  // channel 1's table
    ROW(ORVWritePPGCalibrationDataPDSampling,
        FFArray<int, 1024> v; c.Refuses(false, Ch(1), nullptr, 1024);
        for (unsigned long n : {0ul, 1023ul, 1025ul, ULONG_MAX}) c.Refuses(false, Ch(1), v, n);
        for (int ch : {0, 3, INT_MIN, INT_MAX}) c.OfflineOnly(false, Ch(ch), v, 1024)),
    ROW(ORVClearPPGCalibrationDataPDSampling, c.OfflineOnly(false)),
    ROW(ORVClearPPGCalibrationDataPDSamplingEx, for (int ch : {0, 3, -1, INT_MIN, INT_MAX}) c.Refuses(false, Ch(ch))),
    ROW(ORVWritePPGCalibrationDataDC,
        FFArray<int, 3002> v;
        for (int ch : {0, 4, INT_MIN, INT_MAX}) c.Refuses(false, Ch(ch), v, 1);
        c.Refuses(false, Ch(1), nullptr, 1); c.Refuses(false, Ch(1), nullptr, 0);
        for (unsigned long n : {3002ul, ULONG_MAX}) c.Refuses(false, Ch(1), v, n);
        c.OfflineOnly(false, Ch(3), v, 3001)),
    ROW(ORVClearPPGCalibrationDataDC, for (int ch : {0, 4, -1, INT_MIN, INT_MAX}) c.Refuses(false, Ch(ch))),
    ROW(ORVWritePPGCalibrationDataACFullDAC,
        FFArray<int, 4> v;
        for (int ch : {0, 4, INT_MIN, INT_MAX}) c.Refuses(false, Ch(ch), v, 3);
        c.Refuses(false, Ch(1), nullptr, 3);
        for (unsigned long n : {0ul, 2ul, 4ul, ULONG_MAX}) c.Refuses(false, Ch(1), v, n)),
    ROW(ORVRestoreLEDLevelFactorySetting, c.RefusedOffline(false)),
    ROW(ORVRestoreFactorySetting, c.RefusedOffline(false)),
    ROW(ORVBackupFactorySetting, c.RefusedOffline(false)),
    ROW(ORVWriteFPGACalibrationData,
        c.Refuses(false, Ch(1), nullptr, 8); c.Refuses(false, Ch(2), nullptr, ULONG_MAX)),
    ROW(ORVClearFPGACalibrationData, c.RefusedOffline(false, Ch(1))),
    ROW(ORVCalibrationSetTransmissionRate,
        for (int ch : {0, 4, -1, INT_MIN, INT_MAX}) c.Ignores(Ch(ch), 0, 0xFFFF, 0xFFFF);
        for (int mode : {-1, 6, INT_MIN, INT_MAX}) c.Ignores(Ch(1), mode, 0xFFFF, 0xFFFF)),

    // Calibration output methods: a missing record, a record of 0xFF bytes (periods of
    // -1 points, NaN lengths), channel 3 where no table row exists
    ROW(ORVECGCalibrateMethod1, c.Refuses(false, nullptr); c.Refuses(false, FF<ECG_WAVEFORM>())),
    ROW(ORVCalibrateMethod1,
        for (int ch : {1, 2, 3, 0, INT_MIN}) { c.Refuses(false, Ch(ch), nullptr); c.Refuses(false, Ch(ch), FF<PPG_WAVEFORM>()); }),
    ROW(ORVCalibrateMethod1Ex,
        c.Refuses(false, nullptr, nullptr); c.Refuses(false, FF<PPG_WAVEFORM>(), nullptr);
        c.Refuses(false, FF<PPG_WAVEFORM>(), FF<PPG_WAVEFORM>())),
    ROW(ORVCalibrateMethod2,
        for (int ch : {1, 2, 0, INT_MAX}) c.Refuses(false, Ch(ch), nullptr);
        c.Refuses(false, Ch(3), FF<PPG_WAVEFORM>())),
    ROW(ORVCalibrateMethod2Ex, c.Refuses(false, nullptr, nullptr); c.Refuses(false, FF<PPG_WAVEFORM>(), nullptr)),
    ROW(ORVCalibrateMethod3,
        for (int ch : {1, 2, 0, INT_MIN}) c.Refuses(false, Ch(ch), nullptr);
        c.Refuses(false, Ch(3), FF<PPG_WAVEFORM>())),
    ROW(ORVCalibrateMethod3Ex,
        for (bool e : {true, false}) c.Refuses(false, e, nullptr, !e, nullptr);
        c.Refuses(false, true, FF<PPG_WAVEFORM>(), true, FF<PPG_WAVEFORM>())),
    ROW(ORVCalibrateMethod4, for (bool e : {true, false}) c.Refuses(false, e, nullptr, !e, nullptr)),
    ROW(ORVCalibrateMethod5,
        for (bool e : {true, false}) c.Refuses(false, e, nullptr, !e, nullptr);
        c.Refuses(false, true, FF<PPG_WAVEFORM>(), true, FF<PPG_WAVEFORM>())),

    // Connection: last, they end the connection
    LAST(ORVConnect,
         for (unsigned port : {0x7FFFFFFFu, 0xFFFFFFFEu, 1000000u, 0x80000000u}) c.RefusedOffline(false, port, 0u)),
    LAST(ORVInit, c.Tolerates(nullptr)),
    LAST(ORVInitEx, c.Tolerates(INT_MIN, nullptr); c.Tolerates(INT_MAX, nullptr); c.Tolerates(-1, nullptr)),
    LAST(ORVFree, c.Tolerates(); c.Ignores()),
};
// clang-format on

TEST(HostileCallsTable, EveryExportHasARowAndEveryRowAnExport) {
    const std::map<std::string, std::string> exported = ExportedSymbols(NVS_SHARED_LIBRARY);
    const std::vector<std::string> listed = ListedExports();
    ASSERT_FALSE(listed.empty()) << "cannot read " << NVS_EXPORTS_TXT;
    std::set<std::string> rows;
    for (const Row& row : kRows) {
        EXPECT_TRUE(rows.insert(row.name).second) << "two rows for " << row.name;
        EXPECT_NE(std::find(listed.begin(), listed.end(), row.name), listed.end())
            << "a row for " << row.name << ", which exports.txt does not list";
    }
    for (const std::string& name : listed) {
        EXPECT_TRUE(rows.count(name)) << "no hostile-call row for the export " << name << ": add ROW(" << name
                                      << ", ...) to kRows in HostileCallsTest.cpp";
        EXPECT_TRUE(exported.count(name)) << name << " is listed but the deliverable does not export it";
    }
}

// One fresh load of the deliverable per pass; the instrument, when there is one, on
// /dev/ttyACM131 with the lock of the shipped paths held for the whole test.
class HostileCalls : public ::testing::Test {
protected:
    ShippedPathsLock shippedPaths_;  // first: held for the whole test

    void SetUp() override {
        NVS_SKIP_UNLESS_LINUX("the shipped Linux paths /dev/ttyACM<N> and /var/lock");
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for /dev/ttyACM<N> and /var/lock";
        symbols_ = ExportedSymbols(NVS_SHARED_LIBRARY);
        lib_ = dlopen(NVS_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << dlerror();
    }

    void TearDown() override {
        if (lib_ != nullptr) {
            reinterpret_cast<void (*)()>(dlsym(lib_, "ORVFree"))();
            dlclose(lib_);
        }
        emu_.Stop();
        unlink(Node().c_str());
        unlink(LockFile().c_str());
    }

    // Every row of the part (every part-th row of the table, from row `part`), the
    // connection's own rows last.
    void RunRows(nvsemu::Emulator* emu, bool thorough, int part = 0, int parts = 1) {
        Harness h(lib_, symbols_, emu, thorough);
        for (bool last : {false, true}) {
            for (size_t i = static_cast<size_t>(part); i < std::size(kRows); i += static_cast<size_t>(parts)) {
                const Row& row = kRows[i];
                if (row.last != last)
                    continue;
                SCOPED_TRACE(row.name);
                void* symbol = h.Symbol(row.name);
                if (symbol == nullptr) {
                    ADD_FAILURE() << row.name << " cannot be found in the deliverable";
                    continue;
                }
                if (emu != nullptr)
                    emu->ClearRequests();  // the records only: the byte count goes on
                row.probe(h, symbol);
                h.MayHaveTalked();
                h.StopEverything();  // also anything a refused call should not have started
            }
        }
    }

    template <class F>
    F* Get(const char* name) {
        return reinterpret_cast<F*>(dlsym(lib_, name));
    }

    void* lib_ = nullptr;
    std::map<std::string, std::string> symbols_;
    nvsemu::Emulator emu_;
};

TEST_F(HostileCalls, WhileTheConnectionFindsNoInstrument) {
    // A serial number no instrument here carries.
    ASSERT_TRUE(Get<bool(int, PFN_CONNECT_LISTENER)>("_Z9ORVInitExiPFvbE")(7777, nullptr));
    RunRows(nullptr, false);
}

TEST_F(HostileCalls, AfterFree) {
    ASSERT_TRUE(Get<bool(PFN_CONNECT_LISTENER)>("ORVInit")(nullptr));
    Get<void()>("ORVFree")();
    RunRows(nullptr, false);
}

// The two long passes (the thorough one without an instrument: every hostile field of
// every record starts and stops an output; the one with an instrument: the reply waits
// and pauses the instrument's commands take) run in parts, each a test of its own with
// a fresh load, so that none comes near its time-out under a sanitizer or emulation.
constexpr int kParts = 8;
class HostileCallsInParts : public HostileCalls, public ::testing::WithParamInterface<int> {};

TEST_P(HostileCallsInParts, BeforeInit) { RunRows(nullptr, true, GetParam(), kParts); }

TEST_P(HostileCallsInParts, WithAnInstrument) {
    auto fw = std::make_shared<nvsemu::Firmware>(nvsemu::Profile::WithPpg2006());
    ASSERT_TRUE(emu_.Start());
    emu_.SetResponder(fw);
    ASSERT_TRUE(emu_.LinkAs(Node()));
    ASSERT_TRUE(Get<bool(unsigned, unsigned)>("ORVConnect")(kPort, 20000));
    // The stored tables are loaded after the connection is reported: wait until no
    // request came for a second, so that only the calls' own bytes are counted.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (emu_.WaitForRequests(emu_.Requests().size() + 1, 1000))
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the port never went quiet";
    RunRows(&emu_, false, GetParam(), kParts);
}

INSTANTIATE_TEST_SUITE_P(Rows, HostileCallsInParts, ::testing::Range(0, kParts),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "part" + std::to_string(info.param + 1) + "of" + std::to_string(kParts);
                         });

}  // namespace
