// A station's worker (see worker.h).
#include "station/worker.h"

#include <chrono>
#include <vector>

#include <nlohmann/json.hpp>

#include "record/record_fields.h"
#include "record/record_json.h"
#include "record/utc_time.h"
#include "session/modes.h"
#include "session/results.h"
#include "session/session.h"
#include "station/presence.h"
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

// The session's outputs only wake the loop: it asks the session for the rest.
void wakeOnPhase(void* link, int32_t) { static_cast<WorkerLink*>(link)->poke(); }
void wakeOnResult(void* link, int32_t) { static_cast<WorkerLink*>(link)->poke(); }

int64_t msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration_cast<milliseconds>(to - from).count();
}

enum class UnitEnd { Reported, NoUnit, PortLost, Stopped, Fatal };

class Worker {
public:
    Worker(const WorkerOptions& options, const PortSelector& selector)
        : options_(options), selector_(selector), link_(WorkerLink::get()),
          frontEnd_{&link_, nullptr, nullptr, nullptr, nullptr, wakeOnResult, wakeOnPhase}
    {
    }

    int run();

private:
    bool awaitPort();
    bool awaitArm();
    UnitEnd runUnit();
    UnitEnd driveSession(DownloadSession& session, UnitRecord& unit);
    void reportUnit(DownloadSession& session, UnitRecord& unit, int code,
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
                link_.emit({{"event", "port"}, {"state", "present"}, {"device", found[0].device},
                            {"summary", portSummary(found[0])}});
            port_ = found[0];
            return true;
        }
        if (!told) {
            const std::string why = found.size() > 1 ? "several ports match" : "absent";
            link_.emit({{"event", "port"}, {"state", "waiting"}, {"reason", why}});
            told = true;
        }
        if (link_.stopAsked())
            return false;
        watch.wait(static_cast<int>(kLookAgain.count()));
    }
}

// Tells the station the port is ready and waits for its "arm". False when told to stop or
// when the port went away meanwhile.
bool Worker::awaitArm()
{
    link_.emit({{"event", "ready"}});
    while (!link_.takeArm()) {
        if (link_.stopAsked() || !portPresent(port_.device))
            return false;
        link_.wait(kLookAgain);
    }
    return true;
}

void Worker::emitProgress(const DownloadSession& session, Phase phase, Clock::time_point started)
{
    const DownloadProgress p = session.progress();
    link_.emit({{"event", "progress"}, {"phase", phaseName(phase)}, {"block", p.blockNumber},
                {"total", p.totalBlocks}, {"bytes", p.bytesOnLine},
                {"elapsed_ms", msBetween(started, Clock::now())}});
}

// Once the handset's block size is known and before the image goes: the end of the image
// that no whole block carries.
void Worker::emitUnsent(const DownloadSession& session)
{
    const int64_t unsent = session.facts().unsentBytes;
    if (unsent > 0)
        link_.emit({{"event", "unsent"}, {"unsent_bytes", unsent},
                    {"block_size", session.progress().blockSize}});
}

void Worker::reportUnit(DownloadSession& session, UnitRecord& unit, int code,
                        Clock::time_point started)
{
    unit.endedUtc = formatUtc(std::chrono::system_clock::now());
    unit.durationMs = msBetween(started, Clock::now());
    describeDownload(session.facts(), &unit);
    describeResult(code, &unit);
    link_.emit({{"event", "unit_end"}, {"unit", fieldsToJson(unitFields(unit))}});
}

// Ticks the session until its unit has ended one way or another.
UnitEnd Worker::driveSession(DownloadSession& session, UnitRecord& unit)
{
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
            unit.startedUtc = formatUtc(std::chrono::system_clock::now());
            link_.emit({{"event", "unit_start"}, {"started_utc", unit.startedUtc}});
        }
        int code = -1;
        if (session.hasResult())
            code = session.result();
        else if (link_.stopAsked())
            code = kExitInterrupted;
        else if (session.portLost() || !portPresent(port_.device))
            code = kExitPortLost;
        if (code >= 0) {
            session.abort();
            session.end();
            if (!started)
                return code == kExitPortLost ? UnitEnd::PortLost : UnitEnd::Stopped;
            reportUnit(session, unit, code, startedAt);
            if (code == kExitInterrupted)
                return UnitEnd::Stopped;
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
        link_.emit({{"event", "error"}, {"text", "cannot read the release file " + options_.releasePath}});
        return UnitEnd::Fatal;
    }
    std::string error;
    SerialPort* port = openSerialPort(port_.device.c_str(), &error);
    if (!port) {
        link_.emit({{"event", "port"}, {"state", "unusable"}, {"reason", error}});
        link_.wait(milliseconds(1000));
        return portPresent(port_.device) ? UnitEnd::NoUnit : UnitEnd::PortLost;
    }
    UnitRecord unit;
    describePort(port_, &unit);
    unit.mode = modeWord(options_.mode);
    unit.speed = options_.speed;
    link_.emit({{"event", "armed"}});
    session.start({platformPortOps(), port}, {options_.speed, options_.mode, false});
    return driveSession(session, unit);
}

int Worker::run()
{
    link_.emit({{"event", "hello"}, {"selector", selector_.text}});
    while (awaitPort()) {
        if (!awaitArm()) {
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
            continue;
        link_.emit({{"event", "remove"}});
        if (waitForRemoval(port_.device, options_.rearmSilenceMs, link_) == Presence::Stopped)
            break;
    }
    link_.emit({{"event", "bye"}});
    return 0;
}

}  // namespace

int runWorker(const WorkerOptions& options)
{
    // Ctrl-C is the station's to handle: it tells its workers to stop.
    ignoreInterruptsAndBrokenPipes();
    PortSelector selector;
    std::string error;
    if (!parsePortSelector(options.selector, &selector, &error) ||
        selector.kind == PortSelector::Kind::AllUsb || selector.kind == PortSelector::Kind::Auto) {
        WorkerLink::get().emit({{"event", "error"}, {"text", "not a port of its own: " + options.selector + " " + error}});
        return 64;
    }
    Worker worker(options, selector);
    return worker.run();
}
