// A station's worker (see worker.h).
#include "station/worker.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "record/utc_time.h"
#include "record/uuid7.h"
#include "session/modes.h"
#include "session/results.h"
#include "session/session.h"
#include "station/heard_line.h"
#include "station/presence.h"
#include "station/unit_capture.h"
#include "station/station_platform.h"
#include "station/unit_facts.h"
#include "station/worker_link.h"
#include "transport/port_discovery.h"
#include "transport/port_open.h"
#include "transport/port_selector.h"
#include "transport/port_watch.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr milliseconds kTickPeriod(500);
constexpr milliseconds kProgressPeriod(250);
constexpr milliseconds kLookAgain(250);
constexpr milliseconds kStall(1000);  // longer between two looks: the worker was not running

// The session's outputs only wake the loop: it asks the session for the rest.
void wakeOnPhase(void* link, int32_t) { static_cast<WorkerLink*>(link)->poke(); }
void wakeOnResult(void* link, int32_t) { static_cast<WorkerLink*>(link)->poke(); }

int64_t msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<milliseconds>(to - from).count();
}

// Reported: a unit ended and its handset is still there; Silenced: it ended because its
// handset fell silent, which is gone then (and a handset answering now is the next one).
enum class UnitEnd { Reported, Silenced, NoUnit, PortLost, Stopped, Fatal };

int64_t retriesOf(const DownloadFacts& facts)
{
    int64_t sum = 0;
    for (int32_t r : facts.retries)
        sum += r;
    return sum;
}

// Whether the handset has fallen silent for good: nothing heard for the limit, and the engine
// has meanwhile waited out one of its own time-outs (so a handset that is busy erasing, and
// answers only when done, is given the engine's full erase time).
class SilenceJudge {
public:
    SilenceJudge(const DownloadSession& session, const HeardLine& line, milliseconds limit)
        : session_(session), line_(line), limit_(limit)
    {
    }
    // The unit began now: the silence counts from here at the earliest.
    void begin(Clock::time_point now)
    {
        heardSeen_ = std::max(line_.lastHeard(), now);
        lastLook_ = now;
        retriesWhenHeard_ = retriesOf(session_.facts());
    }
    bool silent(Clock::time_point now)
    {
        Clock::time_point heard = line_.lastHeard();
        if (now - lastLook_ > kStall)
            heard = now;  // the worker was not listening (stopped, or starved): no silence heard
        lastLook_ = now;
        if (heard > heardSeen_) {
            heardSeen_ = heard;
            retriesWhenHeard_ = retriesOf(session_.facts());
        }
        return now - heardSeen_ >= limit_ && retriesOf(session_.facts()) > retriesWhenHeard_;
    }

private:
    const DownloadSession& session_;
    const HeardLine& line_;
    milliseconds limit_;
    Clock::time_point heardSeen_;
    Clock::time_point lastLook_;
    int64_t retriesWhenHeard_ = 0;
};

class Worker {
public:
    Worker(const WorkerOptions& options, const PortSelector& selector, WorkerLink& link)
        : options_(options), selector_(selector), link_(link),
          frontEnd_{&link_, nullptr, nullptr, nullptr, nullptr, wakeOnResult, wakeOnPhase}
    {
    }

    int run();

private:
    bool awaitPort();
    bool awaitArm();
    bool awaitLabel();
    bool awaitRemoval();
    void refreshAdapterFacts();
    UnitEnd runUnit();
    UnitEnd driveSession(DownloadSession& session, const HeardLine& line, UnitCapture& capture,
                         UnitRecord& unit);
    int unitEnding(DownloadSession& session, bool handsetSilent);
    void reportUnit(DownloadSession& session, UnitCapture& capture, UnitRecord& unit, int code,
                    Clock::time_point started);
    void emitProgress(const DownloadSession& session, Phase phase, Clock::time_point started);
    void emitUnsent(const DownloadSession& session);

    const WorkerOptions& options_;
    PortSelector selector_;
    WorkerLink& link_;
    FrontEnd frontEnd_;
    PortInfo port_;
};

// Waits until the selector names exactly one port that is there; false when told to stop.
bool Worker::awaitPort()
{
    const bool byName = selector_.kind == PortSelector::Kind::Device;
    bool told = false;
    PortWatch watch(byName ? selector_.text : "");
    for (;;) {
        const std::vector<PortInfo> found = selectPorts(selector_, portsToMatch(selector_));
        if (found.size() == 1 && (!byName || portPresent(found[0].device))) {
            // Said once, and again only when the port comes back or is another.
            if (told || found[0].device != port_.device)
                link_.emit(PresenceEvent{PortPresence::Present, found[0].device, portSummary(found[0]), {}});
            port_ = found[0];
            return true;
        }
        if (!told) {
            const std::string why = found.size() > 1 ? "several ports match" : "absent";
            link_.emit(PresenceEvent{PortPresence::Waiting, {}, {}, why});
            told = true;
        }
        if (link_.stopAsked())
            return false;
        watch.wait(static_cast<int>(kLookAgain.count()));
        link_.beat();
    }
}

// Tells the station the port is ready and waits for its "arm". False when told to stop or
// when the port went away meanwhile.
bool Worker::awaitArm()
{
    link_.emit(ReadyEvent{});
    while (!link_.takeArm()) {
        if (link_.stopAsked() || !portPresent(port_.device))
            return false;
        link_.wait(kLookAgain);
    }
    return true;
}

// Scanning labels: the handset is found before it is flashed, and waits for its label; one
// taken off meanwhile is said to be gone, and the next that answers waits in its place. False
// when told to stop or when the port went away meanwhile.
bool Worker::awaitLabel()
{
    for (;;) {
        if (waitForAnswer(port_.device, link_) != Presence::Answered)
            return false;
        link_.takeGo();  // a "go" meant for a handset already gone
        link_.emit(HandsetEvent{true});
        const Presence presence =
            waitWhileAnswering(port_.device, options_.rearmSilenceMs, link_, [this] { return link_.takeGo(); });
        if (presence == Presence::Released)
            return true;
        if (presence != Presence::Removed)
            return false;
        link_.emit(HandsetEvent{false});
    }
}

// The adapter's latency timer while the port is open: opening it asked the driver for low
// latency, which may have lowered the timer the port was found with.
void Worker::refreshAdapterFacts()
{
    for (const PortInfo& found : listPorts()) {
        if (found.device == port_.device)
            port_.latencyTimerMs = found.latencyTimerMs;
    }
}

void Worker::emitProgress(const DownloadSession& session, Phase phase, Clock::time_point started)
{
    const DownloadProgress p = session.progress();
    link_.emit(ProgressEvent{phaseName(phase), p.blockNumber, p.totalBlocks, p.bytesOnLine,
                             msBetween(started, Clock::now())});
}

// Once the handset's block size is known and before the image goes: the end of the image
// that no whole block carries.
void Worker::emitUnsent(const DownloadSession& session)
{
    const int64_t unsent = session.facts().unsentBytes;
    if (unsent > 0)
        link_.emit(UnsentEvent{unsent, session.progress().blockSize});
}

void Worker::reportUnit(DownloadSession& session, UnitCapture& capture, UnitRecord& unit, int code,
                        Clock::time_point started)
{
    unit.endedUtc = nowUtc();
    unit.durationMs = msBetween(started, Clock::now());
    describeDownload(session.facts(), &unit);
    describeResult(code, &unit);
    // Made here, not by the record, so that every view of the unit names it the same.
    unit.attemptUuid = uuid7ForRow(unit.startedUtc);
    const std::string notKept = capture.keep(&unit);
    if (!notKept.empty())
        std::fprintf(stderr, "tarvolo worker: the unit's capture was not kept: %s\n", notKept.c_str());
    link_.emit(UnitEndEvent{unit});
}

// Why the unit ends now, as its exit code, or -1 while it goes on.
int Worker::unitEnding(DownloadSession& session, bool handsetSilent)
{
    if (session.hasResult())
        return session.result();
    if (link_.stopAsked())
        return kExitInterrupted;
    if (session.portLost() || !portPresent(port_.device))
        return kExitPortLost;
    return handsetSilent ? kExitHandsetSilent : -1;
}

// Ticks the session until its unit has ended one way or another.
UnitEnd Worker::driveSession(DownloadSession& session, const HeardLine& line, UnitCapture& capture,
                             UnitRecord& unit)
{
    SilenceJudge silence(session, line, milliseconds(options_.handsetSilenceMs));
    bool started = false;
    Clock::time_point startedAt;
    Phase shown = Phase::Waiting;
    bool unsentTold = false;
    auto nextTick = Clock::now() + kTickPeriod;
    auto nextProgress = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        const Phase phase = session.phase();
        // A handset has answered once the phase left Waiting; a result also says so, even
        // when the download ended between two looks (a record refused at once).
        if (!started && ((phase != Phase::Waiting && phase != Phase::Ended) || session.hasResult())) {
            started = true;
            startedAt = now;
            unit.startedUtc = nowUtc();
            silence.begin(now);
            link_.emit(UnitStartEvent{unit.startedUtc});
        }
        const int code = unitEnding(session, started && silence.silent(now));
        if (code >= 0) {
            session.abort();
            session.end();
            if (!started)
                return code == kExitPortLost ? UnitEnd::PortLost : UnitEnd::Stopped;
            reportUnit(session, capture, unit, code, startedAt);
            if (code == kExitInterrupted)
                return UnitEnd::Stopped;
            if (code == kExitHandsetSilent)
                return UnitEnd::Silenced;
            return code == kExitPortLost ? UnitEnd::PortLost : UnitEnd::Reported;
        }
        if (started && (phase != shown || now >= nextProgress)) {
            if (!unsentTold && (phase == Phase::Erasing || phase == Phase::Writing ||
                                phase == Phase::Checksumming)) {
                unsentTold = true;
                emitUnsent(session);
            }
            shown = phase;
            emitProgress(session, phase, startedAt);
            nextProgress = now + kProgressPeriod;
        }
        if (now >= nextTick) {
            session.tick();
            nextTick += kTickPeriod;
        }
        const auto until = started ? std::min(nextTick, nextProgress) : nextTick;
        link_.wait(std::max(milliseconds(1), std::chrono::duration_cast<milliseconds>(until - Clock::now())));
    }
}

UnitEnd Worker::runUnit()
{
    DownloadSession session(&frontEnd_);
    if (!session.openRelease(options_.releasePath)) {
        link_.emit(ErrorEvent{"cannot read the release file " + options_.releasePath, WorkerFault::Release});
        return UnitEnd::Fatal;
    }
    std::string error;
    SerialPort* port = openSerialPort(port_.device.c_str(), &error);
    if (!port) {
        link_.emit(PresenceEvent{PortPresence::Unusable, {}, {}, error});
        link_.wait(milliseconds(1000));
        return portPresent(port_.device) ? UnitEnd::NoUnit : UnitEnd::PortLost;
    }
    refreshAdapterFacts();
    UnitRecord unit = options_.unitRow;
    describePort(port_, &unit);
    unit.mode = modeWord(options_.mode);
    unit.speed = options_.speed;
    HeardLine line(platformPortOps(), port);
    UnitCapture capture(options_.capture, line.line());
    link_.emit(ArmedEvent{});
    session.start(capture.line(), {options_.speed, options_.mode, false});
    return driveSession(session, line, capture, unit);
}

// A worker that replaces one that died may find the dead one's handset still on the cable,
// flashed in part or in full: that handset is not flashed again (it is already recorded as
// failed), the operator takes it off first. A port that went away takes its handset with it.
bool Worker::awaitRemoval()
{
    link_.emit(RemoveEvent{});
    const Presence presence = waitForRemoval(port_.device, options_.rearmSilenceMs, link_);
    return presence != Presence::Stopped;
}

int Worker::run()
{
    link_.emit(HelloEvent{selector_.text});
    bool removalFirst = options_.awaitRemovalFirst;
    while (awaitPort()) {
        if (removalFirst) {
            if (!awaitRemoval())
                break;
            removalFirst = false;
            continue;  // the port may have gone meanwhile: look for it again
        }
        if (!awaitArm() || (options_.holdForLabel && !awaitLabel())) {
            if (link_.stopAsked())
                break;
            continue;  // the port went away before a handset came
        }
        const UnitEnd end = runUnit();
        if (end == UnitEnd::Fatal)
            return 1;
        if (end == UnitEnd::Stopped)
            break;
        if (end != UnitEnd::Reported)
            continue;  // no handset to wait for: none came, it went with the port, or it fell silent
        if (!awaitRemoval())
            break;
    }
    link_.emit(ByeEvent{});
    return 0;
}

}  // namespace

int runWorker(const WorkerOptions& options)
{
    // Ctrl-C, SIGTERM and a hang-up are the station's to handle: it tells its workers to stop.
    leaveStopSignalsToTheStation();
    const std::shared_ptr<WorkerLink> link = WorkerLink::open();
    PortSelector selector;
    std::string error;
    if (!parsePortSelector(options.selector, &selector, &error) ||
        selector.kind == PortSelector::Kind::AllUsb || selector.kind == PortSelector::Kind::Auto) {
        link->emit(ErrorEvent{"not a port of its own: " + options.selector + " " + error,
                              WorkerFault::Selector});
        return 64;
    }
    Worker worker(options, selector, *link);
    return worker.run();
}
