#include "Emulator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <future>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "EchoMode.h"

namespace nvsemu {
namespace {

constexpr unsigned kCallWaitMs = 2000;   // how long a caller waits for the I/O thread
constexpr uint64_t kMaxPollUs = 100000;  // the I/O thread looks at its flags this often

}  // namespace

uint64_t NowUs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

void FamilyResponder::On(uint8_t family, ResponderFn handler) { handlers_[family] = std::move(handler); }

std::vector<Reply> FamilyResponder::Answer(const Request& request) {
    if (request.bytes.empty())
        return {};
    const auto it = handlers_.find(request.bytes[0]);
    if (it == handlers_.end() || !it->second)
        return {};
    return it->second(request);
}

Emulator::Emulator() {
    const char* echo = getenv("NVS_EMULATOR_ECHO");
    minimalEcho_ = echo != nullptr && strcmp(echo, "minimal") == 0;
}

void Emulator::SetMinimalEcho(bool minimal) {
    std::lock_guard<std::mutex> lock(mu_);
    minimalEcho_ = minimal;
}

bool Emulator::MinimalEcho() const {
    std::lock_guard<std::mutex> lock(mu_);
    return minimalEcho_;
}

Emulator::~Emulator() { Stop(); }

bool Emulator::Start() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (running_)
            return true;
    }
    // Stopped from its own thread earlier: reap it before taking the I/O lock, which
    // it may still need on its way out.
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::recursive_mutex> io(ioMu_);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0)
        return false;
    if (!OpenRawPty(pty_)) {
        const int saved = errno;
        close(wakeFd_);
        wakeFd_ = -1;
        errno = saved;
        return false;
    }
    framer_.Reset();
    arrivals_.clear();
    schedule_.clear();
    held_.clear();
    backAtUs_ = 0;
    restartAtUs_ = 0;
    relinkOnReturn_ = false;
    burstCut_ = true;
    writeBlocked_ = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.clear();
        raw_.clear();
        written_.clear();
        filler_ = 0;
        stop_ = false;
        running_ = true;
        plugged_ = true;
        masterFd_ = pty_.master;
        slavePath_ = pty_.slavePath;
        linked_ = false;
        linkTarget_.clear();
    }
    cv_.notify_all();
    thread_ = std::thread(&Emulator::Run, this);
    return true;
}

void Emulator::Stop() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (!running_ && !thread_.joinable())
            return;
        stop_ = true;
    }
    if (std::this_thread::get_id() == thread_.get_id())
        return;  // finished by a later Stop
    Wake();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard<std::recursive_mutex> io(ioMu_);
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (linked_)
            RemoveLink(linkPath_, linkTarget_);  // also a link left by a hang-up
        linked_ = false;
        linkTarget_.clear();
    }
    ClosePty(pty_);
    if (const std::shared_ptr<Responder> responder = CurrentResponder())
        responder->PortClosed();
    ReleaseHeldSlave();
    if (wakeFd_ >= 0)
        close(wakeFd_);
    wakeFd_ = -1;
    schedule_.clear();
    held_.clear();
    backAtUs_ = 0;
    restartAtUs_ = 0;
    relinkOnReturn_ = false;
    framer_.Reset();
    {
        std::lock_guard<std::mutex> lock(mu_);
        plugged_ = false;
        masterFd_ = -1;
        slavePath_.clear();
        running_ = false;
        stop_ = false;
    }
    cv_.notify_all();
}

bool Emulator::Running() const {
    std::lock_guard<std::mutex> lock(mu_);
    return running_;
}

std::string Emulator::SlavePath() const {
    std::lock_guard<std::mutex> lock(mu_);
    return slavePath_;
}

int Emulator::MasterFd() const {
    std::lock_guard<std::mutex> lock(mu_);
    return masterFd_;
}

bool Emulator::Plugged() const {
    std::lock_guard<std::mutex> lock(mu_);
    return plugged_;
}

bool Emulator::WaitForPlugged(bool plugged, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return plugged_ == plugged; });
}

bool Emulator::OnIoThread(std::function<bool()> fn) {
    if (std::this_thread::get_id() == thread_.get_id())
        return fn();
    auto done = std::make_shared<std::promise<bool>>();
    std::future<bool> result = done->get_future();
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (!running_) {
            lock.unlock();
            std::lock_guard<std::recursive_mutex> io(ioMu_);
            return fn();
        }
        tasks_.push_back([fn = std::move(fn), done] { done->set_value(fn()); });
    }
    Wake();
    if (result.wait_for(std::chrono::milliseconds(kCallWaitMs)) != std::future_status::ready)
        return false;
    return result.get();
}

void Emulator::Wake() {
    const uint64_t one = 1;
    if (wakeFd_ >= 0)
        (void)!write(wakeFd_, &one, sizeof one);
}

bool Emulator::LinkAs(const std::string& path) {
    return OnIoThread([this, path] { return DoLink(path); });
}

void Emulator::Unlink() {
    OnIoThread([this] {
        std::lock_guard<std::mutex> lock(mu_);
        if (linked_)
            RemoveLink(linkPath_, linkTarget_);
        linked_ = false;
        linkTarget_.clear();
        return true;
    });
}

void Emulator::Unplug() {
    OnIoThread([this] {
        DoUnplug();
        return true;
    });
}

bool Emulator::Replug() {
    return OnIoThread([this] { return DoReplug(true); });
}

bool Emulator::HangUp(unsigned backAfterMs) {
    return OnIoThread([this, backAfterMs] {
        if (pty_.master < 0)
            return false;
        DoHangUp(backAfterMs);
        return true;
    });
}

bool Emulator::DoLink(const std::string& path) {
    std::lock_guard<std::mutex> lock(mu_);
    const std::string previous = linked_ ? linkPath_ : std::string();
    const std::string previousTarget = linkTarget_;
    linkPath_ = path;  // remembered for Replug even while unplugged
    if (pty_.master < 0) {
        // Hung up: the old link is not carried over to a new name.
        if (!previous.empty() && previous != path) {
            RemoveLink(previous, previousTarget);
            linked_ = false;
            linkTarget_.clear();
        }
        return false;
    }
    if (!MakeLink(path, pty_.slavePath))
        return false;
    if (!previous.empty() && previous != path)
        RemoveLink(previous, previousTarget);
    linked_ = true;
    linkTarget_ = pty_.slavePath;
    return true;
}

void Emulator::DoUnplug() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (linked_)
            RemoveLink(linkPath_, linkTarget_);
        linked_ = false;
        linkTarget_.clear();
    }
    ClosePort(false);
    ReleaseHeldSlave();
    backAtUs_ = 0;  // an unplug during a hang-up: the port stays away
    relinkOnReturn_ = false;
}

void Emulator::DoHangUp(unsigned backAfterMs) {
    ClosePort(true);  // the link stays, pointing at the slave that has just gone
    backAtUs_ = NowUs() + uint64_t{backAfterMs} * 1000;
}

void Emulator::ReleaseHeldSlave() {
    if (heldSlave_ >= 0)
        close(heldSlave_);
    heldSlave_ = -1;
}

void Emulator::ClosePort(bool holdSlave) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        plugged_ = false;
        masterFd_ = -1;
        slavePath_.clear();
    }
    // Closing the master (with the kept slave) is what the host's descriptor sees:
    // reads of 0 and EIO on writes from now on.
    if (holdSlave) {
        // The pty's number stays taken while a descriptor of its slave is open, so the
        // link left in place never leads to a pty that another process opens meanwhile.
        ReleaseHeldSlave();
        heldSlave_ = pty_.slave;
        pty_.slave = -1;
    }
    ClosePty(pty_);
    if (const std::shared_ptr<Responder> responder = CurrentResponder())
        responder->PortClosed();
    framer_.Reset();
    arrivals_.clear();
    schedule_.clear();  // replies still due die with the port
    held_.clear();
    writeBlocked_ = false;
    burstCut_ = true;
    cv_.notify_all();
}

bool Emulator::DoReplug(bool relink) {
    backAtUs_ = 0;
    if (pty_.master >= 0)
        DoUnplug();
    const bool opened = OpenRawPty(pty_);
    ReleaseHeldSlave();  // after the open: the new pty never takes the old one's number
    if (!opened)
        return false;
    bool ok = true;
    {
        std::lock_guard<std::mutex> lock(mu_);
        plugged_ = true;
        masterFd_ = pty_.master;
        slavePath_ = pty_.slavePath;
        if (relink && !linkPath_.empty()) {
            // Replaces the link a hang-up left dangling.
            linked_ = MakeLink(linkPath_, pty_.slavePath);
            linkTarget_ = linked_ ? pty_.slavePath : std::string();
            ok = linked_;
        }
    }
    cv_.notify_all();
    return ok;
}

void Emulator::SetRestartPlan(RestartPlan plan) {
    std::lock_guard<std::mutex> lock(mu_);
    restartPlan_ = std::move(plan);
}

void Emulator::Restart() {
    unsigned vanishMs;
    {
        std::lock_guard<std::mutex> lock(mu_);
        vanishMs = restartPlan_.vanishAfterMs;
        ++restarts_;
    }
    const uint64_t at = NowUs() + uint64_t{vanishMs} * 1000;
    if (std::this_thread::get_id() == thread_.get_id()) {
        restartAtUs_ = at;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mu_);
        tasks_.push_back([this, at] { restartAtUs_ = at; });
    }
    Wake();
}

unsigned Emulator::Restarts() const {
    std::lock_guard<std::mutex> lock(mu_);
    return restarts_;
}

void Emulator::SetResponder(std::shared_ptr<Responder> responder) {
    std::lock_guard<std::mutex> lock(mu_);
    responder_ = std::move(responder);
}

void Emulator::SetResponder(ResponderFn responder) {
    struct FnResponder : Responder {
        explicit FnResponder(ResponderFn f) : fn(std::move(f)) {}
        std::vector<Reply> Answer(const Request& r) override { return fn ? fn(r) : std::vector<Reply>{}; }
        ResponderFn fn;
    };
    SetResponder(std::make_shared<FnResponder>(std::move(responder)));
}

void Emulator::SetRequestHook(RequestHook hook) {
    std::lock_guard<std::mutex> lock(mu_);
    hook_ = std::move(hook);
}

void Emulator::Enqueue(Reply reply) {
    std::lock_guard<std::mutex> lock(mu_);
    canned_.push_back(std::move(reply));
}

bool Emulator::Inject(std::vector<uint8_t> bytes) {
    return OnIoThread([this, bytes = std::move(bytes)]() mutable {
        if (pty_.master < 0 || bytes.empty())
            return false;
        const auto key = Schedule(std::move(bytes), NowUs());
        WriteDue();
        return schedule_.count(key) == 0;
    });
}

void Emulator::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mu_);
    silent_ = silent;
}

void Emulator::FaultOnRequest(size_t index, Fault fault) {
    std::lock_guard<std::mutex> lock(mu_);
    faults_.OnRequest(index, std::move(fault));
}

void Emulator::FaultOnHeader(std::vector<uint8_t> prefix, Fault fault, unsigned times, unsigned skip) {
    std::lock_guard<std::mutex> lock(mu_);
    faults_.OnHeader(std::move(prefix), std::move(fault), times, skip);
}

void Emulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(mu_);
    faults_.Clear();
}

void Emulator::SetBurstGap(unsigned burstGapMs) {
    std::lock_guard<std::mutex> lock(mu_);
    burstGapMs_ = std::max(1u, burstGapMs);
}

void Emulator::SetStaleAfter(unsigned staleMs) {
    std::lock_guard<std::mutex> lock(mu_);
    staleMs_ = staleMs;
}

std::vector<Request> Emulator::Requests() const {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
}

void Emulator::ClearRequests() {
    std::lock_guard<std::mutex> lock(mu_);
    requests_.clear();
    raw_.clear();
    written_.clear();
    filler_ = 0;
}

bool Emulator::WaitForRequests(size_t n, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return requests_.size() >= n; });
}

size_t Emulator::FillerBytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return filler_;
}

bool Emulator::WaitForFillerBytes(size_t n, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return filler_ >= n; });
}

std::vector<uint8_t> Emulator::RawBytes() const {
    std::lock_guard<std::mutex> lock(mu_);
    return raw_;
}

uint64_t Emulator::ByteCount() const {
    std::lock_guard<std::mutex> lock(mu_);
    return byteCount_;
}

bool Emulator::WaitForQuiet(unsigned quietMs, unsigned timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        const uint64_t seen = byteCount_;
        if (!cv_.wait_for(lock, std::chrono::milliseconds(quietMs), [&] { return byteCount_ != seen; }))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

std::vector<std::vector<uint8_t>> Emulator::Written() const {
    std::lock_guard<std::mutex> lock(mu_);
    return written_;
}

// ---- I/O thread -------------------------------------------------------------------

void Emulator::Run() {
    // The instrument's data requests are due to the microsecond; the default 50 µs of
    // timer slack on each wait would be most of the lateness.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    uint64_t unsolicitedAtUs = 0;  // the responder's next unsolicited packet (0: none)
    for (;;) {
        std::deque<std::function<void()>> tasks;
        bool stop = false;
        uint64_t gapUs = 0;
        uint64_t staleUs = 0;
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop = stop_;
            tasks.swap(tasks_);
            // Callers that come after this run their work themselves (OnIoThread).
            if (stop)
                running_ = false;
            gapUs = uint64_t{burstGapMs_} * 1000;
            staleUs = uint64_t{std::max(staleMs_, burstGapMs_)} * 1000;
        }
        {
            std::lock_guard<std::recursive_mutex> io(ioMu_);
            for (auto& task : tasks)
                task();
        }
        if (stop)
            return;

        // Sleep until the next thing to do: a burst's quiet gap, a stale request, a
        // reply's due time, or at the latest kMaxPollUs.
        uint64_t now = NowUs();
        uint64_t wakeAt = now + kMaxPollUs;
        if (framer_.Pending() > 0) {
            if (!burstCut_)
                wakeAt = std::min(wakeAt, lastByteUs_ + gapUs);
            wakeAt = std::min(wakeAt, lastByteUs_ + staleUs);
        }
        if (!schedule_.empty() && !writeBlocked_)
            wakeAt = std::min(wakeAt, schedule_.begin()->first.first);
        if (backAtUs_ != 0)
            wakeAt = std::min(wakeAt, backAtUs_);
        if (const std::shared_ptr<Responder> responder = CurrentResponder())
            wakeAt = std::min(wakeAt, responder->NextDueUs());
        if (restartAtUs_ != 0)
            wakeAt = std::min(wakeAt, restartAtUs_);
        if (unsolicitedAtUs != 0)
            wakeAt = std::min(wakeAt, unsolicitedAtUs);
        const uint64_t waitUs = wakeAt > now ? wakeAt - now : 0;

        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {pty_.master, 0, 0}};
        nfds_t count = 1;
        if (pty_.master >= 0) {
            fds[1].events = static_cast<short>(POLLIN | (writeBlocked_ ? POLLOUT : 0));
            count = 2;
        }
        const timespec timeout{static_cast<time_t>(waitUs / 1000000), static_cast<long>((waitUs % 1000000) * 1000)};
        const int ready = ppoll(fds, count, &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            // Nothing sensible to wait on; do not spin.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }

        std::lock_guard<std::recursive_mutex> io(ioMu_);
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            uint64_t drained;
            (void)!read(wakeFd_, &drained, sizeof drained);
        }
        if (ready > 0 && count == 2 && pty_.master == fds[1].fd && (fds[1].revents & POLLIN))
            ReadMaster();
        if (ready > 0 && count == 2 && (fds[1].revents & POLLOUT))
            writeBlocked_ = false;

        now = NowUs();
        if (restartAtUs_ != 0 && now >= restartAtUs_) {
            restartAtUs_ = 0;
            RestartPlan plan;
            {
                std::lock_guard<std::mutex> lock(mu_);
                plan = restartPlan_;
            }
            DoUnplug();
            if (plan.backAfterMs >= 0) {
                if (!plan.backAt.empty()) {
                    std::lock_guard<std::mutex> lock(mu_);
                    linkPath_ = plan.backAt;
                }
                relinkOnReturn_ = true;
                backAtUs_ = now + uint64_t(plan.backAfterMs) * 1000 + 1;
            }
        }
        if (backAtUs_ != 0 && now >= backAtUs_) {
            bool relink = relinkOnReturn_;
            relinkOnReturn_ = false;
            {
                std::lock_guard<std::mutex> lock(mu_);
                relink = relink || linked_;
            }
            DoReplug(relink);
        }
        if (framer_.Pending() > 0) {
            const bool stale = now >= lastByteUs_ + staleUs;
            if (stale || (!burstCut_ && now >= lastByteUs_ + gapUs)) {
                burstCut_ = true;
                Cut(true, stale);
            }
        }
        RunDue();
        WriteDue();
        unsolicitedAtUs = WriteUnsolicited();
    }
}

std::shared_ptr<Responder> Emulator::CurrentResponder() const {
    std::lock_guard<std::mutex> lock(mu_);
    return responder_;
}

void Emulator::RunDue() {
    const std::shared_ptr<Responder> responder = CurrentResponder();
    if (!responder)
        return;
    const uint64_t now = NowUs();
    if (responder->NextDueUs() > now)
        return;
    TimedOutput out = responder->Due(now);
    if (pty_.master >= 0)
        for (std::vector<uint8_t>& packet : out.packets)
            if (!packet.empty())
                Schedule(std::move(packet), now);
    WriteDue();
    if (out.unplug)
        DoUnplug();
}

void Emulator::ReadMaster() {
    uint8_t buf[4096];
    for (;;) {
        if (pty_.master < 0)
            return;
        const ssize_t n = read(pty_.master, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;  // EAGAIN: all read; EIO cannot happen while the kept slave is open
        const uint64_t now = NowUs();
        {
            std::lock_guard<std::mutex> lock(mu_);
            raw_.insert(raw_.end(), buf, buf + n);
            byteCount_ += static_cast<uint64_t>(n);
        }
        cv_.notify_all();
        framer_.Feed(buf, static_cast<size_t>(n));
        fed_ += static_cast<uint64_t>(n);
        arrivals_.emplace_back(fed_, now);
        lastByteUs_ = now;
        burstCut_ = false;
        Cut(false, false);
    }
}

void Emulator::Cut(bool burstEnded, bool stale) {
    const size_t fillerBefore = framer_.FillerBytes();
    std::vector<Frame> frames = framer_.Take(burstEnded, stale);
    const size_t filler = framer_.FillerBytes() - fillerBefore;
    if (filler > 0) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            filler_ += filler;
        }
        cv_.notify_all();
    }
    for (Frame& frame : frames)
        Handle(std::move(frame));
}

uint64_t Emulator::ArrivalUs(uint64_t offset) {
    // arrivals_ holds (end offset, time) of each read; drop reads that ended before
    // this byte. Reset() skips offsets, so a stale entry may be left at most briefly.
    while (!arrivals_.empty() && arrivals_.front().first <= offset)
        arrivals_.pop_front();
    return arrivals_.empty() ? NowUs() : arrivals_.front().second;
}

void Emulator::Handle(Frame frame) {
    Request request;
    request.atUs = ArrivalUs(frame.offset);
    request.bytes = std::move(frame.bytes);
    request.kind = frame.kind;
    request.name = std::move(frame.name);

    if (const std::shared_ptr<Responder> taker = CurrentResponder()) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            request.index = requests_.size();
        }
        if (taker->TakeData(request))
            return;  // stream data: what it makes due goes out in RunDue
    }

    RequestHook hook;
    {
        std::lock_guard<std::mutex> lock(mu_);
        request.index = requests_.size();
        requests_.push_back(request);
        hook = hook_;
    }
    if (hook)
        hook(request);

    std::vector<Reply> replies;
    std::shared_ptr<Responder> responder;
    bool silent = false;
    bool minimalEcho = false;
    {
        std::lock_guard<std::mutex> lock(mu_);
        silent = silent_;
        minimalEcho = minimalEcho_;
        if (!silent && !canned_.empty()) {
            replies.push_back(std::move(canned_.front()));
            canned_.pop_front();
        } else if (!silent) {
            responder = responder_;
        }
    }
    if (responder) {
        replies = responder->Answer(request);
        if (minimalEcho)
            for (Reply& r : replies)
                RepeatOnlyWhatIsPromised(request.bytes, r.bytes);
    }

    FaultEffect effect;
    {
        std::lock_guard<std::mutex> lock(mu_);
        effect = faults_.Apply(request.index, request.bytes, replies);
    }
    const uint64_t now = NowUs();
    if (effect.port == FaultEffect::Port::Keep && pty_.master >= 0) {
        const auto send = [&](std::vector<Reply>& packets) {
            for (Reply& r : packets)
                if (!r.bytes.empty())
                    Schedule(std::move(r.bytes), now + uint64_t{r.delayMs} * 1000);
        };
        // Replies held by an earlier request go first: at equal due times the order
        // of scheduling is the order of writing.
        for (auto& [bytes, afterUs] : held_)
            Schedule(std::move(bytes), now + afterUs);
        held_.clear();
        send(effect.before);
        if (effect.hold) {
            for (Reply& r : replies)
                if (!r.bytes.empty())
                    held_.emplace_back(std::move(r.bytes), uint64_t{effect.heldMs + r.delayMs} * 1000);
        } else {
            send(replies);
        }
        send(effect.after);
    }
    cv_.notify_all();
    if (effect.port == FaultEffect::Port::Unplug)
        DoUnplug();
    else if (effect.port == FaultEffect::Port::HangUp)
        DoHangUp(effect.backAfterMs);
    WriteDue();
}

std::pair<uint64_t, uint64_t> Emulator::Schedule(std::vector<uint8_t> bytes, uint64_t dueUs) {
    const std::pair<uint64_t, uint64_t> key{dueUs, nextSeq_++};
    schedule_.emplace(key, std::move(bytes));
    return key;
}

void Emulator::WriteDue() {
    if (pty_.master < 0) {
        schedule_.clear();
        return;
    }
    const uint64_t now = NowUs();
    while (!schedule_.empty() && schedule_.begin()->first.first <= now) {
        std::vector<uint8_t>& bytes = schedule_.begin()->second;
        ssize_t n;
        int err = 0;
        {
            // Recorded under the same lock, so a host that has read the reply finds
            // it in Written(). The write does not block (the master is non-blocking).
            std::lock_guard<std::mutex> lock(mu_);
            // One write of the whole reply: the host reads a packet by its length, and
            // a reply split across reads would be taken for two.
            n = write(pty_.master, bytes.data(), bytes.size());
            err = errno;
            if (n > 0)
                written_.emplace_back(bytes.begin(), bytes.begin() + n);
        }
        if (n < 0) {
            if (err == EAGAIN || err == EINTR) {
                writeBlocked_ = true;  // the host is not reading; wait for room
                return;
            }
            schedule_.erase(schedule_.begin());
            continue;
        }
        if (static_cast<size_t>(n) < bytes.size()) {
            // Only when the host's input queue is full: the rest follows once it drains.
            bytes.erase(bytes.begin(), bytes.begin() + n);
            writeBlocked_ = true;
            return;
        }
        schedule_.erase(schedule_.begin());
    }
    writeBlocked_ = false;
}

uint64_t Emulator::WriteUnsolicited() {
    std::shared_ptr<Responder> responder;
    {
        std::lock_guard<std::mutex> lock(mu_);
        responder = responder_;
    }
    if (!responder)
        return 0;
    uint64_t nextUs = 0;
    std::vector<std::vector<uint8_t>> packets = responder->Unsolicited(NowUs(), &nextUs);
    for (std::vector<uint8_t>& bytes : packets) {
        if (pty_.master < 0 || writeBlocked_ || (!schedule_.empty() && schedule_.begin()->first.first <= NowUs())) {
            // Replies wait for room, or go first: the packet is lost, as on a full link.
            std::lock_guard<std::mutex> lock(mu_);
            ++streamDrops_;
            continue;
        }
        std::lock_guard<std::mutex> lock(mu_);
        const ssize_t n = write(pty_.master, bytes.data(), bytes.size());
        if (n <= 0) {
            ++streamDrops_;
            continue;
        }
        written_.emplace_back(bytes.begin(), bytes.begin() + n);
        if (static_cast<size_t>(n) < bytes.size()) {
            // The rest follows as a reply would, so the host never reads half a packet
            // followed by another packet's start.
            bytes.erase(bytes.begin(), bytes.begin() + n);
            schedule_.emplace(std::make_pair(NowUs(), nextSeq_++), std::move(bytes));
            writeBlocked_ = true;
        }
    }
    return nextUs;
}

size_t Emulator::StreamDrops() const {
    std::lock_guard<std::mutex> lock(mu_);
    return streamDrops_;
}

}  // namespace nvsemu
