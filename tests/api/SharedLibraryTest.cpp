// End to end through the built shared library, loaded as a host loads it (dlopen, plain
// names), with the firmware model on /dev/ttyACM<N> where the shipped library looks.
// The library has its own copy of every global; the emulator runs in this process.
// Needs root for /dev and /var/lock; ports 123 to 125 belong to these tests.
#include <chrono>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ApiFixture.h"
#include "Emulator.h"
#include "Firmware.h"
#include "LinkSandbox.h"

namespace {

using Clock = std::chrono::steady_clock;
using nvsemu::Profile;

struct Library {
    void* handle = nullptr;

    template <class F>
    F Get(const char* name) const {
        return reinterpret_cast<F>(dlsym(handle, name));
    }
};

class SharedLibrary : public ::testing::Test {
protected:
    ShippedPathsLock shippedPaths_;  // first: held for the whole test
    void SetUp() override {
        NVS_SKIP_UNLESS_LINUX("the shipped Linux paths /dev/ttyACM<N> and /var/lock");
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for /dev/ttyACM<N> and /var/lock";
        lib_.handle = dlopen(NVS_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_.handle, nullptr) << dlerror();
        Init = lib_.Get<bool (*)(PFN_CONNECT_LISTENER)>("ORVInit");
        Connect = lib_.Get<bool (*)(unsigned, unsigned)>("ORVConnect");
        Free = lib_.Get<void (*)()>("ORVFree");
        SerialNumber = lib_.Get<char* (*)()>("ORVGetSerialNumber");
        DeviceInformation = lib_.Get<bool (*)(MODEL_INFORMATION*)>("ORVGetDeviceInformation");
        HWInformation = lib_.Get<bool (*)(HW_INFORMATION*)>("ORVGetHWInformation");
        SetElectrode = lib_.Get<bool (*)(int)>("ORVDeviceSetElectrode");
        SetAmbient = lib_.Get<bool (*)(PPGAmbientLightMode)>("ORVSetLEDAmbientLightMode");
        GetAmbient = lib_.Get<int (*)()>("ORVGetLEDAmbientLightMode");
        ReadPulse = lib_.Get<bool (*)(PPG_LED_PULSE_GROUP_SETTING*)>("ORVReadLEDPulseGroupSetting");
        WritePulse = lib_.Get<bool (*)(PPG_LED_PULSE_GROUP_SETTING*)>("ORVWriteLEDPulseGroupSetting");
        Version = lib_.Get<int (*)()>("ORVGetVersion");
        // A decorated function, by its mangled name.
        InitEx = lib_.Get<bool (*)(int, PFN_CONNECT_LISTENER)>("_Z9ORVInitExiPFvbE");
        for (void* f : {reinterpret_cast<void*>(Init), reinterpret_cast<void*>(Connect), reinterpret_cast<void*>(Free),
                        reinterpret_cast<void*>(SerialNumber), reinterpret_cast<void*>(DeviceInformation),
                        reinterpret_cast<void*>(HWInformation), reinterpret_cast<void*>(SetElectrode),
                        reinterpret_cast<void*>(SetAmbient), reinterpret_cast<void*>(GetAmbient),
                        reinterpret_cast<void*>(ReadPulse), reinterpret_cast<void*>(WritePulse),
                        reinterpret_cast<void*>(Version), reinterpret_cast<void*>(InitEx)})
            ASSERT_NE(f, nullptr);
        // Internals are not reachable.
        EXPECT_EQ(dlsym(lib_.handle, "DoInit"), nullptr);
        EXPECT_EQ(dlsym(lib_.handle, "g_CriticalSection"), nullptr);
        ListenerLog::Instance().Clear();
    }

    void TearDown() override {
        if (lib_.handle != nullptr) {
            Free();
            dlclose(lib_.handle);  // unloading stops the library's presence monitor
        }
        emu_.Stop();
        for (int port : {123, 124, 125}) {
            unlink(Node(port).c_str());
            unlink(("/var/lock/orvane.ACM" + std::to_string(port) + ".lock").c_str());
        }
    }

    static std::string Node(int port) { return "/dev/ttyACM" + std::to_string(port); }

    void Plug(const Profile& profile, int port) {
        fw_ = std::make_shared<nvsemu::Firmware>(profile);
        ASSERT_TRUE(emu_.Start());
        emu_.SetResponder(fw_);
        ASSERT_TRUE(emu_.LinkAs(Node(port)));
    }

    bool ReadsOfPhotodiodeTable() const {
        for (const nvsemu::Request& r : emu_.Requests()) {
            const Bytes& b = r.bytes;
            if (b.size() >= 12 && b[0] == 0x12 && b[3] == 0x00 && b[5] == 0x13 && b[10] == 0x04 && b[11] == 0x00)
                return true;
        }
        return false;
    }

    Library lib_;
    std::shared_ptr<nvsemu::Firmware> fw_;
    nvsemu::Emulator emu_;
    bool (*Init)(PFN_CONNECT_LISTENER) = nullptr;
    bool (*InitEx)(int, PFN_CONNECT_LISTENER) = nullptr;
    bool (*Connect)(unsigned, unsigned) = nullptr;
    void (*Free)() = nullptr;
    char* (*SerialNumber)() = nullptr;
    bool (*DeviceInformation)(MODEL_INFORMATION*) = nullptr;
    bool (*HWInformation)(HW_INFORMATION*) = nullptr;
    bool (*SetElectrode)(int) = nullptr;
    bool (*SetAmbient)(PPGAmbientLightMode) = nullptr;
    int (*GetAmbient)() = nullptr;
    bool (*ReadPulse)(PPG_LED_PULSE_GROUP_SETTING*) = nullptr;
    bool (*WritePulse)(PPG_LED_PULSE_GROUP_SETTING*) = nullptr;
    int (*Version)() = nullptr;
};

// One test, in this order: a scan of every /dev/ttyACM<N> would meet the instrument of
// a port test that ran beside it.
TEST_F(SharedLibrary, ScanListenerUnplugReplugThenConnectByPortSettingsAndFree) {
    {
        SCOPED_TRACE("scan");
        Plug(WithMainIdentity(Profile::WithPpgYB2001(), 0x2001, 0, 4242, 2, 1), 124);
        // The serial-number filter keeps the scan off other instruments that may be plugged.
        ASSERT_TRUE(InitEx(4242, ListenerLog::Listener));
        ASSERT_TRUE(ListenerLog::Instance().WaitFor(1, 30000));
        EXPECT_STREQ(SerialNumber(), "ONV2001-004242");
        ASSERT_TRUE(WaitUntil([&] { return ReadsOfPhotodiodeTable(); }, 20000));

        emu_.Unlink();  // the node vanishes from /dev
        const auto unplugged = Clock::now();
        ASSERT_TRUE(ListenerLog::Instance().WaitFor(2, 15000));
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - unplugged).count(), 8000);
        EXPECT_STREQ(SerialNumber(), "");
        MODEL_INFORMATION cleared = {};
        DeviceInformation(&cleared);
        EXPECT_EQ(cleared.cProductName[0], 0);

        emu_.ClearRequests();
        ASSERT_TRUE(emu_.LinkAs(Node(124)));
        ASSERT_TRUE(ListenerLog::Instance().WaitFor(3, 30000));
        EXPECT_STREQ(SerialNumber(), "ONV2001-004242");
        EXPECT_TRUE(WaitUntil([&] { return ReadsOfPhotodiodeTable(); }, 20000));  // loaded again
        Free();
        EXPECT_EQ(ListenerLog::Instance().Events(), (std::vector<bool>{true, false, true, false}));
    }
    emu_.Stop();
    unlink(Node(124).c_str());
    ListenerLog::Instance().Clear();
    {
        SCOPED_TRACE("port");
        Plug(WithMainIdentity(Profile::WithPpgYB2001(), 0x1001, 3, 42, 2, 1), 123);
        EXPECT_EQ(Version(), 16778500);
        ASSERT_TRUE(Connect(123, 20000));
        EXPECT_STREQ(SerialNumber(), "ONV1001-030042");
        MODEL_INFORMATION main = {};
        ASSERT_TRUE(DeviceInformation(&main));
        EXPECT_EQ(main.iSerialNumber, 42);
        HW_INFORMATION hw = {};
        ASSERT_TRUE(HWInformation(&hw));
        EXPECT_EQ(hw.nHWMajor, 2);
        EXPECT_EQ(hw.nFWMinor, 16);

        ASSERT_TRUE(SetAmbient(static_cast<PPGAmbientLightMode>(6)));
        EXPECT_EQ(GetAmbient(), 6);
        PPG_LED_PULSE_GROUP_SETTING group = {{4, 2, 0, 0, 0, 0, 0, 0}, 2500}, back = {};
        ASSERT_TRUE(WritePulse(&group));
        ASSERT_TRUE(ReadPulse(&back));
        EXPECT_EQ(0, memcmp(&group, &back, sizeof group));
        ASSERT_TRUE(SetElectrode(1));
        EXPECT_EQ(fw_->ControlBlock()[3], 0xFF);
        EXPECT_EQ(0, access("/var/lock/orvane.ACM123.lock", F_OK));

        Free();
        EXPECT_EQ(fw_->OperatorBlock()[2], 0);  // operator mode 0 at the teardown
        EXPECT_NE(0, access("/var/lock/orvane.ACM123.lock", F_OK));
        EXPECT_STREQ(SerialNumber(), "");
        EXPECT_FALSE(SetElectrode(0));
    }
}

TEST_F(SharedLibrary, ConnectWithoutInstrumentIsFalseAfterItsTimeOut) {
    const auto start = Clock::now();
    EXPECT_FALSE(Connect(125, 1000));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 6000);
    Free();
    Free();
}

}  // namespace
