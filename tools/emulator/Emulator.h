// nvsemu::Emulator: the instrument's firmware as seen from its USB serial port, behind
// a pseudo-terminal, for tests and the nvs-emulator program. It shares no code with
// the library it serves: requests are framed from the wire layouts alone.
//
// What it does
//   Start() opens a pty (slave raw, one slave descriptor kept open, never read) and
//   starts one I/O thread that owns the master: it reads the host's bytes as they
//   come, cuts them into requests by the request-length table (Framing.h), drops the
//   lone 0x38 bytes of the host's empty reads between requests, records everything,
//   asks the responder for replies and writes each reply in one write() of its exact
//   length, at its due time.
//
// Replies, in this order of precedence for each request
//   1. SetSilent(true): nothing (canned replies stay queued).
//   2. Enqueue(reply): the oldest canned reply answers the next request.
//   3. The responder (SetResponder): a Responder object or a function; the default
//      answers nothing. The firmware model plugs in here; FamilyResponder dispatches
//      on the family byte so the model can be added family by family.
//   The fault plan (FaultOnRequest, FaultOnHeader) then changes what was chosen: drop,
//   truncate, delay (a late reply reaches whoever reads next), hold until the next
//   request, alter bytes, replace, refuse (byte 3 not 0xFF), send twice, send too long,
//   add an unsolicited packet, or unplug or hang up at that request (Faults.h).
//   SetRequestHook sees every request before the replies are chosen.
//   A responder may take a request as stream data (TakeData): it is not recorded and
//   not answered. It may also write on its own time (NextDueUs, Due): the I/O thread
//   wakes for it on the monotonic clock, between requests, without waiting for one.
//   Inject(bytes) writes an unsolicited packet (a 0xAD sampling packet, a 01 55 data
//   request) at once.
//   The responder's own packets (Responder::Unsolicited, the firmware's sampling
//   stream) go out when due, each in one write; one that does not fit the port is
//   dropped (counted in StreamDrops()).
//
// Plugging
//   LinkAs(path) makes path a symlink to the slave (the library opens /dev/ttyACM<n>);
//   Unlink() removes it: the instrument vanishes from the device listing but the port
//   still works. Unplug() removes the link and closes the master: the host's slave
//   descriptor then reads 0 and writes fail with EIO. Replug() opens a new pty and
//   links it at the last LinkAs path again. Pending replies die with the old port.
//   HangUp(ms) closes the master but leaves the link in place (dangling), and ms later
//   opens a new pty and points the link at it: a port that drops and re-enumerates
//   under the same name. Meanwhile the old pty's number stays taken (its slave is held
//   open, hung up), so the link never leads to a pty of another process. The
//   responder and everything recorded are kept throughout.
//
// Descriptors
//   Every descriptor the emulator opens is close-on-exec from the call that creates
//   it, and its waits use poll, so it works in a process holding thousands of them.
//
// Threads
//   Every call is safe from any thread while the I/O thread runs. The responder, the
//   hook and the fault plan run on the I/O thread, without the emulator's lock held:
//   they may call any method (Unplug, Inject and the like then act at once).
//   Calls that change the port (LinkAs, Unlink, Unplug, Replug, Inject) are carried
//   out by the I/O thread and wait for it at most 2 s; they return false when it did
//   not answer. A responder must not block: the I/O thread serves nothing meanwhile,
//   and Stop() waits for it. Stop() called from the I/O thread only asks the thread to
//   end; the next Stop() (or the destructor) from another thread finishes the job.
//
// Times are steady-clock (monotonic) microseconds, comparable with
// std::chrono::steady_clock::now().time_since_epoch().
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Faults.h"
#include "Framing.h"
#include "Pty.h"
#include "Records.h"

namespace nvsemu {

// What a responder writes on its own, when it falls due (the instrument's data
// requests while it plays a stream).
struct TimedOutput {
    std::vector<std::vector<uint8_t>> packets;  // written now, each in one write, in order
    bool unplug = false;                        // then the instrument vanishes (as Unplug())
};

// Chooses the replies to one request. Every method is called on the emulator's I/O
// thread and must not block.
class Responder {
public:
    static constexpr uint64_t kNever = ~uint64_t{0};

    virtual ~Responder() = default;
    virtual std::vector<Reply> Answer(const Request& request) = 0;
    // Takes a request as stream data rather than as a command: when true, it stays out
    // of Requests(), the request hook and the fault plan, and gets no reply.
    virtual bool TakeData(const Request&) { return false; }
    // When the responder next has something to write (steady µs; kNever: nothing). The
    // I/O thread asks before each wait and calls Due once that time has come.
    virtual uint64_t NextDueUs() { return kNever; }
    virtual TimedOutput Due(uint64_t /*nowUs*/) { return {}; }
    // The port closed (unplug, hang-up, Stop): what was under way on it ends. Called
    // on the I/O thread, or for Stop on the thread that stopped the emulator.
    virtual void PortClosed() {}
    // Packets the instrument sends by itself (a measurement stream) that are due by
    // nowUs; *nextUs: when the next may be due (0: nothing pending). The I/O thread asks
    // on each turn and writes each packet whole, at once; one that does not fit the
    // port's buffer is dropped. The default sends nothing.
    virtual std::vector<std::vector<uint8_t>> Unsolicited(uint64_t nowUs, uint64_t* nextUs) {
        (void)nowUs;
        *nextUs = 0;
        return {};
    }
};

using ResponderFn = std::function<std::vector<Reply>(const Request&)>;
using RequestHook = std::function<void(const Request&)>;

// A responder made of one handler per family byte (request byte 0); requests of a
// family without a handler, and empty requests, get no reply.
class FamilyResponder : public Responder {
public:
    void On(uint8_t family, ResponderFn handler);
    std::vector<Reply> Answer(const Request& request) override;

private:
    std::map<uint8_t, ResponderFn> handlers_;
};

// Current steady-clock time in µs.
uint64_t NowUs();

class Emulator {
public:
    Emulator();
    ~Emulator();  // Stop()
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    // Opens the pty and starts the I/O thread; clears the records. False (errno set)
    // when no pty could be opened. True at once when already running.
    bool Start();
    // Stops and joins the I/O thread, removes the link, closes the pty.
    void Stop();
    bool Running() const;

    // Slave path (/dev/pts/N); empty while unplugged or stopped.
    std::string SlavePath() const;
    // Master descriptor; -1 while unplugged or stopped. Owned by the emulator.
    int MasterFd() const;

    // Links `path` to the slave (replacing a stale symlink there); remembered for Replug.
    bool LinkAs(const std::string& path);
    // Removes the link; the port stays open.
    void Unlink();
    // Removes the link and closes the master (and the kept slave descriptor).
    void Unplug();
    // Opens a new pty (unplugging the old one first) and links it at the last LinkAs path.
    bool Replug();
    // Closes the master (and the kept slave descriptor) but keeps the link; after
    // backAfterMs (0: at once, on the I/O thread's next turn) a new pty is opened and
    // the link, when there was one, points at it. False when no port was open. An
    // Unplug before the port is back cancels the return; Replug brings it back at once.
    bool HangUp(unsigned backAfterMs);
    // The instrument's restart (after the restart byte 0xDD, or on leaving FPGA upgrade
    // mode): vanishAfterMs after Restart() it is unplugged (link removed, master closed,
    // pending replies gone), and backAfterMs after that a new port is linked at backAt
    // (empty: the last LinkAs path), or it never comes back (backAfterMs < 0).
    struct RestartPlan {
        unsigned vanishAfterMs = 5;
        int backAfterMs = 100;
        std::string backAt;
    };
    void SetRestartPlan(RestartPlan plan);
    // Schedules the restart by the plan on the I/O thread; never blocks (the responder
    // calls it). A restart already scheduled is replaced.
    void Restart();
    // Restarts scheduled so far.
    unsigned Restarts() const;
    // A port is open (false while unplugged, hung up or stopped).
    bool Plugged() const;
    // Waits (condition variable) until Plugged() == plugged.
    bool WaitForPlugged(bool plugged, unsigned timeoutMs) const;

    void SetResponder(std::shared_ptr<Responder> responder);
    void SetResponder(ResponderFn responder);
    void SetRequestHook(RequestHook hook);
    // Answers the next request (after any queued earlier) with this reply.
    void Enqueue(Reply reply);
    // Writes bytes to the host now, in one write. From another thread: true once written.
    bool Inject(std::vector<uint8_t> bytes);

    // The minimal-echo mode (EchoMode.h): the responder's replies repeat only the request
    // bytes the instrument promises to repeat. Off by default, or on from the start when
    // the environment has NVS_EMULATOR_ECHO=minimal. Canned replies (Enqueue) and fault
    // replies are written as given.
    void SetMinimalEcho(bool minimal);
    bool MinimalEcho() const;

    // Faults (Faults.h). Indexes count requests in Requests(), from 0.
    void SetSilent(bool silent);
    void FaultOnRequest(size_t index, Fault fault);
    void FaultOnHeader(std::vector<uint8_t> prefix, Fault fault, unsigned times = 1, unsigned skip = 0);
    void ClearFaults();

    // Framing timings. burstGapMs: quiet time that ends a burst (default 3 ms), which
    // decides the shared headers and ends unknown bytes. staleMs: quiet time after
    // which a request still short of its length is recorded as Incomplete (default
    // 200 ms, never below the burst gap).
    void SetBurstGap(unsigned burstGapMs);
    void SetStaleAfter(unsigned staleMs);

    // Records. ClearRequests forgets requests, raw bytes, written replies and the
    // filler count, and restarts the request index at 0. Requests the responder took
    // as data are not among Requests(); their bytes are in RawBytes().
    std::vector<Request> Requests() const;
    void ClearRequests();
    // Waits (condition variable) until at least n requests are recorded.
    bool WaitForRequests(size_t n, unsigned timeoutMs) const;
    // 0x38 filler bytes dropped between requests.
    size_t FillerBytes() const;
    bool WaitForFillerBytes(size_t n, unsigned timeoutMs) const;
    // Every byte the host wrote, filler included, in order.
    std::vector<uint8_t> RawBytes() const;
    // How many bytes the host has written in all (ClearRequests does not reset it),
    // and a wait until none has come for quietMs (false when bytes still come at timeoutMs).
    uint64_t ByteCount() const;
    bool WaitForQuiet(unsigned quietMs, unsigned timeoutMs) const;
    // Every write() the emulator made to the master, one entry per call.
    std::vector<std::vector<uint8_t>> Written() const;
    // Unsolicited packets dropped because the port had no room for them.
    size_t StreamDrops() const;

private:
    void Run();
    // Runs fn on the I/O thread (directly when called from it, or when not running).
    bool OnIoThread(std::function<bool()> fn);
    void Wake();
    void ReadMaster();
    void Cut(bool burstEnded, bool stale);
    void Handle(Frame frame);
    // Writes what the responder has due by now.
    void RunDue();
    std::shared_ptr<Responder> CurrentResponder() const;
    // Queues a reply; returns its key in schedule_.
    std::pair<uint64_t, uint64_t> Schedule(std::vector<uint8_t> bytes, uint64_t dueUs);
    void WriteDue();
    // Asks the responder for its unsolicited packets and writes them; returns when it
    // next has one due (0: none).
    uint64_t WriteUnsolicited();
    bool DoLink(const std::string& path);
    void DoUnplug();
    bool DoReplug(bool relink);
    void DoHangUp(unsigned backAfterMs);
    // Closes the port; holdSlave keeps its slave descriptor open in heldSlave_.
    void ClosePort(bool holdSlave);
    void ReleaseHeldSlave();
    uint64_t ArrivalUs(uint64_t offset);

    // Owned by the I/O thread, which holds ioMu_ while it works on them; callers that
    // find the thread stopped take ioMu_ and work on them directly.
    std::recursive_mutex ioMu_;
    PtyPair pty_;
    RequestFramer framer_;
    std::deque<std::pair<uint64_t, uint64_t>> arrivals_;  // (end offset of a read, its time)
    uint64_t fed_ = 0;                                    // bytes fed to the framer
    uint64_t lastByteUs_ = 0;
    bool burstCut_ = true;  // the quiet gap after the last bytes was handled
    std::map<std::pair<uint64_t, uint64_t>, std::vector<uint8_t>> schedule_;  // (due µs, seq) -> reply
    bool writeBlocked_ = false;
    // Replies of a DelayUntilNext request: (bytes, µs after the next request).
    std::vector<std::pair<std::vector<uint8_t>, uint64_t>> held_;
    uint64_t backAtUs_ = 0;        // a hung-up port comes back then (0: not hung up)
    uint64_t restartAtUs_ = 0;     // a restart unplugs the port then (0: none scheduled)
    bool relinkOnReturn_ = false;  // the port coming back is linked (after a restart)
    RestartPlan restartPlan_;      // guarded by mu_
    unsigned restarts_ = 0;        // guarded by mu_
    int heldSlave_ = -1;           // slave of the hung-up port, until it is back or unplugged
    int wakeFd_ = -1;
    std::thread thread_;
    std::thread::id ioThreadId_;

    // Guarded by mu_.
    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    bool running_ = false;
    bool stop_ = false;
    bool plugged_ = false;
    int masterFd_ = -1;
    std::string slavePath_;
    std::string linkPath_;    // last LinkAs path
    std::string linkTarget_;  // the slave path the link at linkPath_ points at
    bool linked_ = false;
    std::deque<std::function<void()>> tasks_;
    std::vector<Request> requests_;
    std::vector<uint8_t> raw_;
    uint64_t byteCount_ = 0;  // every byte read from the host, never reset
    std::vector<std::vector<uint8_t>> written_;
    size_t filler_ = 0;
    size_t streamDrops_ = 0;
    uint64_t nextSeq_ = 1;
    bool silent_ = false;
    bool minimalEcho_ = false;
    std::deque<Reply> canned_;
    FaultPlan faults_;
    std::shared_ptr<Responder> responder_;
    RequestHook hook_;
    unsigned burstGapMs_ = 3;
    unsigned staleMs_ = 200;
};

}  // namespace nvsemu
