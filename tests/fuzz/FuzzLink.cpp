#include "FuzzLink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Emulator.h"
#include "Firmware.h"
#include "FuzzReplay.h"
#include "LinkSandbox.h"
#include "Profile.h"
#include "ProtocolState.h"
#include "api/PostConnection.h"
#include "platform/Device.h"
#include "platform/SleepSeam.h"
#include "platform/Transport.h"
#include "protocol/Identity.h"
#include NVS_DEVICE_SEAM_HEADER

namespace {

constexpr size_t kHeader = 10;
constexpr unsigned kReadTimeoutMs = 3;
constexpr unsigned kWriteTimeoutMs = 50;

using Bytes = std::vector<uint8_t>;

// Answers each request with the next scripted replies.
class ScriptResponder : public nvsemu::Responder {
public:
    explicit ScriptResponder(Bytes script) : script_(std::move(script)) {}

    std::vector<nvsemu::Reply> Answer(const nvsemu::Request& request) override {
        std::vector<nvsemu::Reply> out;
        while (pos_ + 2 <= script_.size()) {
            const uint8_t control = script_[pos_];
            const size_t length = script_[pos_ + 1];
            pos_ += 2;
            const size_t take = std::min(length, script_.size() - pos_);
            Bytes reply(script_.begin() + static_cast<std::ptrdiff_t>(pos_),
                        script_.begin() + static_cast<std::ptrdiff_t>(pos_ + take));
            pos_ += take;
            const size_t echo = std::min({static_cast<size_t>(control & 0x3F), reply.size(), request.bytes.size()});
            std::copy(request.bytes.begin(), request.bytes.begin() + static_cast<std::ptrdiff_t>(echo), reply.begin());
            if ((control & 0x40) && reply.size() > 3)
                reply[3] = 0xFF;
            if (!reply.empty())
                out.push_back(nvsemu::Reply{std::move(reply), 0});
            if (!(control & 0x80))
                break;
        }
        return out;
    }

private:
    Bytes script_;
    size_t pos_ = 0;
};

// The firmware model, writing down what it answers as a script.
class RecordingResponder : public nvsemu::Responder {
public:
    explicit RecordingResponder(const nvsemu::Profile& profile) : fw_(profile) {}

    std::vector<nvsemu::Reply> Answer(const nvsemu::Request& request) override {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<nvsemu::Reply> replies = fw_.Answer(request);
        if (replies.empty()) {
            script_.push_back(0);
            script_.push_back(0);
        }
        for (size_t i = 0; i < replies.size(); ++i) {
            Bytes bytes = replies[i].bytes;
            bytes.resize(std::min<size_t>(bytes.size(), 255));
            script_.push_back(i + 1 < replies.size() ? 0x80 : 0x00);
            script_.push_back(static_cast<uint8_t>(bytes.size()));
            script_.insert(script_.end(), bytes.begin(), bytes.end());
        }
        return replies;
    }
    bool TakeData(const nvsemu::Request& request) override {
        std::lock_guard<std::mutex> lock(mu_);
        return fw_.TakeData(request);
    }
    Bytes Script() const {
        std::lock_guard<std::mutex> lock(mu_);
        return script_;
    }

private:
    mutable std::mutex mu_;
    nvsemu::Firmware fw_;
    Bytes script_;
};

class SilentResponder : public nvsemu::Responder {
public:
    std::vector<nvsemu::Reply> Answer(const nvsemu::Request&) override { return {}; }
};

struct Link {
    LinkSandbox sandbox;
    nvsemu::Emulator emu;
    int slave = -1;  // for emptying the port between inputs

    Link() {
        SetPauseCeilingUs(50);
        emu.SetBurstGap(1);
        emu.SetStaleAfter(5);
        if (!emu.Start() || !emu.LinkAs(sandbox.NodePath(0))) {
            fprintf(stderr, "fuzz link: no emulator\n");
            abort();
        }
        slave = open(emu.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    }
    ~Link() {
        DeviceClose();
        if (slave >= 0)
            close(slave);
    }
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    void Connect() {
        if (DeviceIsConnected())
            return;
        emu.SetResponder(std::make_shared<SilentResponder>());
        SetTargetCheckResult(true);
        DeviceSeamSetTargetCheck(StubTargetCheck);
        const int found = DoFindDevice(0);
        DeviceSeamSetTargetCheck(nullptr);
        if (found != 1) {
            fprintf(stderr, "fuzz link: the port did not open\n");
            abort();
        }
    }

    // Empties the port, the reply queue and the stream registrations, silences the
    // instrument and forgets what it recorded.
    void Settle() {
        emu.SetResponder(std::make_shared<SilentResponder>());
        if (slave >= 0)
            tcflush(slave, TCIOFLUSH);
        ClearReplyQueue();
        TransportSetStreamReader(NVS_KIND_SAMPLING, false);
        TransportSetStreamReader(NVS_KIND_NOTIFY, false);
        emu.ClearRequests();
    }
};

// Made at the first input, after the library's own static objects, so it is gone before
// them at the exit (the sandbox folder removed).
Link& TheLink() {
    static Link link;
    return link;
}

// The port open, empty (a late reply of the input before has gone too) and the library's
// state as at load.
void Prepare(Link& link) {
    link.Connect();
    link.Settle();
    ResetProtocolState();
    ResetPostConnectionState();
    SetDeviceTimeoutSetting(kReadTimeoutMs, kWriteTimeoutMs);
}

void RunOne(Link& link, const FuzzOp& op, const uint8_t* header) {
    if (header[1] & 1)
        UpdateDeviceInformation();
    SetDeviceTimeoutSetting(kReadTimeoutMs, kWriteTimeoutMs);
    op.run(header + 2);
    link.Settle();
}

}  // namespace

int RunScripted(const uint8_t* data, size_t size, const FuzzOp* ops, size_t count) {
    uint8_t header[kHeader] = {};
    memcpy(header, data, std::min(size, kHeader));
    const FuzzOp& op = ops[header[0] % count];
    Link& link = TheLink();
    Prepare(link);
    const Bytes script(data + std::min(size, kHeader), data + size);
    link.emu.SetResponder(std::make_shared<ScriptResponder>(script));
    RunOne(link, op, header);
    return 0;
}

int WriteScriptedSeeds(const char* dir, const FuzzOp* ops, size_t count) {
    struct Named {
        const char* name;
        nvsemu::Profile profile;
    };
    const Named profiles[] = {
        {"4031", nvsemu::Profile::MainUnit4031()},    {"2112", nvsemu::Profile::WithPpg2112()},
        {"yb2001", nvsemu::Profile::WithPpgYB2001()}, {"2012fpga", nvsemu::Profile::WithPpg2012Fpga()},
        {"2006", nvsemu::Profile::WithPpg2006()},     {"xj", nvsemu::Profile::WithExtRespXJ()},
    };
    mkdir(dir, 0755);
    Link& link = TheLink();
    int written = 0;
    for (size_t i = 0; i < count; ++i) {
        for (const Named& named : profiles) {
            uint8_t header[kHeader] = {static_cast<uint8_t>(i), 1};
            memcpy(header + 2, ops[i].seed, 8);
            Prepare(link);
            auto recorder = std::make_shared<RecordingResponder>(named.profile);
            link.emu.SetResponder(recorder);
            RunOne(link, ops[i], header);
            const std::string path = std::string(dir) + "/" + ops[i].name + "-" + named.name;
            FILE* file = fopen(path.c_str(), "wb");
            if (file == nullptr)
                return -1;
            fwrite(header, 1, kHeader, file);
            const Bytes script = recorder->Script();
            fwrite(script.data(), 1, script.size(), file);
            fclose(file);
            ++written;
        }
    }
    return written;
}

nvsemu::Emulator& FuzzLinkEmulator() {
    Link& link = TheLink();
    Prepare(link);
    return link.emu;
}

void FuzzLinkSettle() { TheLink().Settle(); }
