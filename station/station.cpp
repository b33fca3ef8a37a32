// A production station (see station.h).
#include "station/station.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>

#include "output/shown_text.h"
#include "record/production_record.h"
#include "record/record_json.h"
#include "record/tool_identity.h"
#include "record/utc_time.h"
#include "session/modes.h"
#include "session/results.h"
#include "station/release_copy.h"
#include "station/station_ports.h"
#include "station/station_view.h"
#include "station/unit_facts.h"
#include "station/worker_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr milliseconds kLoopPeriod(100);
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr auto kFirstRestartPause = std::chrono::seconds(1);
constexpr auto kLongestRestartPause = std::chrono::seconds(30);

int fail(int code, const std::string& text)
{
    std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(text, true).c_str());
    return code;
}

std::string tail(const std::string& path, size_t lines)
{
    std::ifstream in(path);
    std::vector<std::string> kept;
    for (std::string line; std::getline(in, line);) {
        kept.push_back(line);
        if (kept.size() > lines)
            kept.erase(kept.begin());
    }
    std::string text;
    for (const std::string& line : kept)
        text += (text.empty() ? "" : " | ") + line;
    return text;
}

struct Port {
    PortView view;
    std::unique_ptr<WorkerProcess> worker;
    std::string errorFile;
    std::string device;            // what the worker opens, once it has said
    bool armed = false;            // an "arm" was sent and not yet used
    bool ready = false;            // the worker waits for an "arm"
    UnitRecord unit;               // the unit on the port (sequence 0: none)
    Clock::time_point unitStarted;
    Clock::time_point restartAt;
    std::chrono::seconds restartPause = kFirstRestartPause;
    int restarts = 0;
};

class Station {
public:
    explicit Station(const StationOptions& options)
        : options_(options), view_(options.view, options.terminalColumns)
    {
    }
    int run();

private:
    int prepare();
    bool startWorker(size_t index);
    void handle(const WorkerMessage& message);
    void handleEvent(Port& port, const nlohmann::json& event);
    void unitStarted(Port& port, const nlohmann::json& event);
    void unitEnded(Port& port, const nlohmann::json& event);
    void concludeUnit(Port& port, UnitRecord& unit);
    void workerEnded(Port& port);
    bool recordUnit(Port& port, UnitRecord& unit);
    void armWhereAllowed();
    bool quotaLeft() const;
    void beginStopping(const std::string& why);
    void restartDueWorkers();
    bool allWorkersEnded() const;
    int finish();
    StationTotals totals() const;
    std::vector<PortView> views() const;

    const StationOptions& options_;
    StationView view_;
    ReleaseCopy release_;
    std::unique_ptr<ProductionRecord> record_;
    StationRun run_;
    ToolIdentity tool_;
    std::vector<std::string> selectors_;
    std::vector<Port> ports_;
    WorkerMessages messages_;
    Clock::time_point started_ = Clock::now();
    int64_t nextSequence_ = 0;
    int64_t done_ = 0;
    int64_t failed_ = 0;
    bool stopping_ = false;
    bool interrupted_ = false;
    bool recordFailed_ = false;
    Clock::time_point stopDeadline_;
};

// Everything that must hold before any port is touched: the ports named properly, the release
// file usable, one port that opens, the record writable.
int Station::prepare()
{
    std::string error;
    if (int code = expandStationPorts(options_.ports, &selectors_, &error))
        return fail(code, error);
    if (!prepareReleaseCopy(options_.releasePath, &release_, &error))
        return fail(kResultFileNotOpened, error);
    std::string why;
    if (!somePortOpens(selectors_, &why))
        return fail(kExitPortNotOpened, "no port can be opened:\n" + why);
    record_ = openProductionRecord(options_.recordPath, RecordAccess::Write, &error);
    if (!record_)
        return fail(kStationRecordFailed, error);
    if (!identifyTool(&tool_, &error))
        return fail(kStationRecordFailed, error);
    run_.stationId = options_.stationId;
    run_.operatorName = options_.operatorName;
    run_.lot = options_.lot;
    run_.startedUtc = formatUtc(std::chrono::system_clock::now());
    run_.releaseFile = release_.name;
    run_.releaseSha256 = release_.sha256;
    run_.fileProductId = release_.productId;
    run_.mode = modeWord(options_.mode);
    run_.speed = options_.speed;
    run_.portSelectors = selectors_;
    run_.toolVersion = tool_.version;
    run_.toolSha256 = tool_.sha256;
    if (!record_->beginRun(run_, &error))
        return fail(kStationRecordFailed, error);
    return 0;
}

bool Station::startWorker(size_t index)
{
    Port& port = ports_[index];
    port.worker = std::make_unique<WorkerProcess>(index, messages_);
    port.armed = port.ready = false;
    const std::vector<std::string> argv = {
        options_.workerProgram, "worker", "--port", port.view.selector, "--release",
        release_.copyPath, "--speed", std::to_string(options_.speed), "--mode",
        std::string(modeWord(options_.mode)), "--rearm-silence-ms",
        std::to_string(options_.rearmSilenceMs)};
    std::string error;
    if (port.worker->start(argv, port.errorFile, &error)) {
        port.view.state = "starting";
        return true;
    }
    port.worker.reset();
    port.view.state = "worker not started";
    port.restartAt = Clock::now() + port.restartPause;
    port.restartPause = std::min(port.restartPause * 2, kLongestRestartPause);
    view_.event(&port.view, {{"event", "worker_failed"}, {"reason", error}}, error);
    return false;
}

bool Station::quotaLeft() const
{
    if (options_.units == 0)
        return true;
    int64_t committed = done_;
    for (const Port& p : ports_)
        committed += (p.armed || p.unit.sequence > 0) ? 1 : 0;
    return committed < options_.units;
}

// Hands an "arm" to each ready port while the units asked for allow it.
void Station::armWhereAllowed()
{
    for (Port& port : ports_) {
        if (stopping_ || !port.worker || !port.ready || port.armed || !quotaLeft())
            continue;
        if (port.worker->send("arm")) {
            port.armed = true;
            port.ready = false;
        }
    }
}

bool Station::recordUnit(Port& port, UnitRecord& unit)
{
    unit.runId = run_.runId;
    unit.stationId = options_.stationId;
    unit.operatorName = options_.operatorName;
    unit.lot = options_.lot;
    unit.portSelector = port.view.selector;
    unit.releaseFile = release_.name;
    unit.releaseSha256 = release_.sha256;
    unit.fileProductId = release_.productId;
    unit.toolVersion = tool_.version;
    unit.toolSha256 = tool_.sha256;
    std::string error;
    if (record_->recordUnit(unit, &error))
        return true;
    // A unit that cannot be recorded must not be flashed again unnoticed: stop everything.
    recordFailed_ = true;
    view_.event(&port.view, {{"event", "record_failed"}, {"reason", error}},
                "cannot write the production record: " + error);
    beginStopping("the production record cannot be written");
    return false;
}

void Station::unitStarted(Port& port, const nlohmann::json& event)
{
    port.armed = false;
    port.unit = UnitRecord{};
    port.unit.sequence = ++nextSequence_;
    port.unit.startedUtc = event.value("started_utc", "");
    port.unit.device = port.device;  // what a unit its worker never reports is known by
    port.unitStarted = Clock::now();
    port.view.unit = port.unit.sequence;
    port.view.phase = "exchanging";
    port.view.block = port.view.total = 0;
    port.view.bytesPerSecond = 0;
    view_.event(&port.view, {{"event", "unit_start"}, {"unit", port.view.unit}},
                "unit " + std::to_string(port.view.unit) + " started");
}

void Station::unitEnded(Port& port, const nlohmann::json& event)
{
    FieldMap fields;
    std::string error;
    UnitRecord unit;
    if (!fieldsFromJson(event.at("unit"), &fields, &error) || !unitFromFields(fields, &unit, &error)) {
        view_.event(&port.view, {{"event", "bad_worker_line"}, {"reason", error}}, error);
        return;
    }
    unit.sequence = port.unit.sequence > 0 ? port.unit.sequence : ++nextSequence_;
    concludeUnit(port, unit);
}

// Records the unit, then shows it: a unit whose result was shown is in the record.
void Station::concludeUnit(Port& port, UnitRecord& unit)
{
    port.unit = UnitRecord{};
    port.view.unit = 0;
    if (!recordUnit(port, unit))
        return;
    ++done_;
    if (unit.outcome != UnitOutcome::Completed)
        ++failed_;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", unit.durationMs / 1000.0);
    port.view.lastResult = "#" + std::to_string(unit.sequence) + " " + outcomeWord(unit.outcome) +
                           " " + seconds;
    std::string text = "unit " + std::to_string(unit.sequence) + " " + outcomeWord(unit.outcome) +
                       " in " + seconds + ": " + unit.resultMeaning;
    if (unit.reportedChecksum) {
        char checksum[32];
        std::snprintf(checksum, sizeof checksum, " (checksum %04X)",
                      static_cast<unsigned>(*unit.reportedChecksum));
        text += checksum;
    }
    nlohmann::json ended = {{"event", "unit_end"}, {"unit", unit.sequence}, {"outcome", outcomeWord(unit.outcome)},
                            {"result", unit.resultCode}, {"meaning", unit.resultMeaning},
                            {"duration_ms", unit.durationMs}};
    if (unit.abortReason) {
        // Result 4 alone says only that the handset gave up.
        ended["abort_reason"] = *unit.abortReason;
        text += " (abort started on " + std::to_string(*unit.abortReason) + " " +
                resultMeaning(static_cast<int>(*unit.abortReason)) + ")";
    }
    view_.event(&port.view, ended, text);
    if (options_.units > 0 && done_ >= options_.units)
        beginStopping("all units done");
}

void Station::handleEvent(Port& port, const nlohmann::json& event)
{
    const std::string kind = event.value("event", "");
    if (kind == "port") {
        const std::string state = event.value("state", "");
        if (state == "present") {
            port.device = event.value("device", "");
            port.view.identity = event.value("summary", port.device);
        }
        port.view.state = state == "present" ? "port present"
                          : state == "waiting" ? "waiting for its adapter"
                                               : "port unusable";
        port.ready = port.armed = false;
        view_.event(&port.view, event, port.view.state +
                    (state == "present" ? ": " + port.view.identity : " " + event.value("reason", "")));
    } else if (kind == "ready") {
        port.restartPause = kFirstRestartPause;  // this worker is sound: back to the short pause
        port.ready = true;
        port.armed = false;
        port.view.state = "ready";
    } else if (kind == "armed") {
        port.view.state = "waiting for a handset";
        view_.event(&port.view, event, "waiting for a handset");
    } else if (kind == "unsent") {
        view_.event(&port.view, event,
                    unsentWarning(event.value("unsent_bytes", int64_t{0}), event.value("block_size", int64_t{0})));
    } else if (kind == "unit_start") {
        unitStarted(port, event);
    } else if (kind == "progress") {
        port.view.phase = event.value("phase", "");
        port.view.block = event.value("block", 0);
        port.view.total = event.value("total", 0);
        const double seconds = event.value("elapsed_ms", 0) / 1000.0;
        port.view.bytesPerSecond = seconds > 0 ? event.value("bytes", 0.0) / seconds : 0;
        if (options_.view == StationViewMode::Json)
            view_.event(&port.view, event, {});
    } else if (kind == "unit_end") {
        unitEnded(port, event);
    } else if (kind == "remove") {
        port.view.state = "remove the handset";
        port.view.phase.clear();
        view_.event(&port.view, event, "remove the handset");
    } else if (kind == "error") {
        view_.event(&port.view, event, event.value("text", ""));
    }
}

// The worker is gone. A unit it had in progress is recorded as failed; unless the station is
// stopping, a fresh worker takes the port's next unit.
void Station::workerEnded(Port& port)
{
    const int code = port.worker->finish();
    port.worker.reset();
    port.armed = port.ready = false;
    if (port.unit.sequence > 0) {
        UnitRecord unit = port.unit;
        unit.endedUtc = formatUtc(std::chrono::system_clock::now());
        unit.durationMs = std::chrono::duration_cast<milliseconds>(Clock::now() - port.unitStarted).count();
        unit.mode = modeWord(options_.mode);
        unit.speed = options_.speed;
        describeResult(interrupted_ ? kExitInterrupted : kExitWorkerLost, &unit);
        concludeUnit(port, unit);
    }
    port.view.unit = 0;
    if (stopping_) {
        port.view.state = "stopped";
        return;
    }
    port.view.state = "worker restarting";
    view_.event(&port.view, {{"event", "worker_ended"}, {"code", code}},
                "its worker ended (exit " + std::to_string(code) + "): starting a fresh one. " +
                    tail(port.errorFile, 3));
    port.restartAt = Clock::now() + port.restartPause;
    port.restartPause = std::min(port.restartPause * 2, kLongestRestartPause);
}

void Station::handle(const WorkerMessage& message)
{
    Port& port = ports_[message.port];
    if (message.ended) {
        workerEnded(port);
        return;
    }
    nlohmann::json event = nlohmann::json::parse(message.line, nullptr, false);
    if (event.is_discarded() || !event.is_object())
        return;  // a worker only writes objects; anything else is not ours to act on
    handleEvent(port, event);
}

void Station::beginStopping(const std::string& why)
{
    if (stopping_)
        return;
    stopping_ = true;
    stopDeadline_ = Clock::now() + kStopGrace;
    view_.event(nullptr, {{"event", "stopping"}, {"reason", why}}, "stopping: " + why);
    for (Port& port : ports_)
        if (port.worker)
            port.worker->send("stop");
}

void Station::restartDueWorkers()
{
    for (size_t i = 0; i < ports_.size(); ++i) {
        Port& port = ports_[i];
        if (!stopping_ && !port.worker && port.restartAt != Clock::time_point{} &&
            Clock::now() >= port.restartAt) {
            port.restartAt = {};
            ++port.restarts;
            startWorker(i);
        }
    }
}

bool Station::allWorkersEnded() const
{
    return std::none_of(ports_.begin(), ports_.end(), [](const Port& p) { return p.worker != nullptr; });
}

StationTotals Station::totals() const
{
    return {done_, failed_,
            std::chrono::duration<double>(Clock::now() - started_).count()};
}

std::vector<PortView> Station::views() const
{
    std::vector<PortView> rows;
    for (const Port& p : ports_)
        rows.push_back(p.view);
    return rows;
}

int Station::finish()
{
    int code = 0;
    run_.ending = "completed";
    if (recordFailed_) {
        code = kStationRecordFailed;
        run_.ending = "record-failed";
    } else if (interrupted_) {
        code = kExitInterrupted;
        run_.ending = "interrupted";
    } else if (failed_ > 0) {
        code = kStationUnitsFailed;
        run_.ending = "units-failed";
    }
    run_.endedUtc = formatUtc(std::chrono::system_clock::now());
    run_.unitsDone = done_;
    run_.unitsFailed = failed_;
    run_.exitCode = code;
    std::string error;
    if (!record_->endRun(run_, &error)) {
        std::fprintf(stderr, "tarvolo station: cannot write the end of the run: %s\n", error.c_str());
        code = kStationRecordFailed;
    }
    view_.draw(views(), totals(), true);
    view_.event(nullptr, {{"event", "station_end"}, {"code", code}, {"units", done_}, {"failed", failed_}},
                "station stopped: " + std::to_string(done_) + " units, " + std::to_string(failed_) +
                    " failed (exit " + std::to_string(code) + ")");
    return code;
}

int Station::run()
{
    if (int code = prepare()) {
        removeReleaseCopy(release_);
        return code;
    }
    ports_.resize(selectors_.size());
    for (size_t i = 0; i < ports_.size(); ++i) {
        ports_[i].view.selector = selectors_[i];
        ports_[i].errorFile = release_.folder + "/worker-" + std::to_string(i + 1) + ".log";
        startWorker(i);
    }
    view_.event(nullptr, {{"event", "station_start"}, {"run", run_.runId}, {"release", release_.name},
                          {"sha256", release_.sha256}, {"ports", selectors_}},
                "station run " + std::to_string(run_.runId) + ": " + release_.name + " (sha256 " +
                    release_.sha256.substr(0, 16) + "...) on " + std::to_string(selectors_.size()) +
                    " ports");
    while (!(stopping_ && allWorkersEnded())) {
        for (const WorkerMessage& message : messages_.take(kLoopPeriod))
            handle(message);
        if (!stopping_ && options_.interrupted && options_.interrupted()) {
            interrupted_ = true;
            beginStopping("interrupted");
        }
        if (stopping_ && Clock::now() >= stopDeadline_)
            for (Port& port : ports_)
                if (port.worker)
                    port.worker->kill();
        restartDueWorkers();
        armWhereAllowed();
        view_.draw(views(), totals());
    }
    const int code = finish();
    removeReleaseCopy(release_);
    return code;
}

}  // namespace

int runStation(const StationOptions& options)
{
    Station station(options);
    return station.run();
}
