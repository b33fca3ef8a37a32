// A production station (see station.h).
#include "station/station.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>

#include "output/shown_text.h"
#include "record/production_record.h"
#include "record/tool_identity.h"
#include "record/utc_time.h"
#include "session/modes.h"
#include "session/results.h"
#include "station/label_input.h"
#include "station/label_queue.h"
#include "station/central_watch.h"
#include "station/port_state.h"
#include "station/record_writer.h"
#include "station/release_copy.h"
#include "station/station_listener.h"
#include "station/station_ports.h"
#include "station/station_view.h"
#include "station/unit_facts.h"
#include "station/worker_messages.h"
#include "station/worker_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr milliseconds kLoopPeriod(100);
constexpr auto kStopGrace = std::chrono::seconds(5);
constexpr auto kFirstRestartPause = std::chrono::seconds(1);
constexpr auto kLongestRestartPause = std::chrono::seconds(30);
// Workers in a row that ended before they were ready, on every port, before the station
// concludes that no restart will mend it.
constexpr int kStartFailuresToGiveUp = 3;

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

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

struct Port {
    PortView view;
    PortState state = PortState::Starting;
    std::unique_ptr<WorkerProcess> worker;
    std::string errorFile;
    std::string device;            // what the worker opens, once it has said
    UnitRecord unit;               // the unit in progress (Flashing)
    Clock::time_point unitStarted;
    Clock::time_point lastHeard;   // the worker's last line
    bool workerReady = false;      // this worker has once been ready
    bool endedAsHung = false;      // the station ended this worker for its silence
    bool handsetStays = false;     // a handset a unit ran on may still be on the cable
    std::optional<GivenLabel> label;  // scanning labels: the label of the handset on the port
    int startFailures = 0;         // workers in a row that ended before they were ready
    Clock::time_point restartAt;
    std::chrono::seconds restartPause = kFirstRestartPause;
};

class Station {
public:
    explicit Station(const StationOptions& options)
        : options_(options), view_(options.view, options.terminalColumns, options.scanLabels),
          labels_(milliseconds(options.scanWindowMs), options.allowRescan), central_(options)
    {
    }
    int run();
    bool centralLeftBlocked() const { return central_.leftBlocked(); }

private:
    struct OnEvent;

    int prepare();
    void startWorkers();
    bool startWorker(size_t index);
    void enter(Port& port, PortState state);
    void take(const WorkerMessage& message);
    void onEvent(Port& port, const WorkerEvent& event, const nlohmann::json& object);
    void unitStarted(Port& port, const UnitStartEvent& event);
    void handsetAppeared(Port& port);
    void handsetGone(Port& port);
    void giveLabel(Port& port, const GivenLabel& given);
    void takeLabels();
    void endUnit(Port& port, UnitRecord unit);
    void unitWritten(WrittenUnit& written);
    void workerEnded(Port& port);
    void restartLater(Port& port, const std::string& why);
    void checkRepeatingFaults(const Port& port);
    void endSilentWorkers();
    void armWhereAllowed();
    bool quotaLeft() const;
    void beginStopping(const std::string& why, int code = 0);
    void restartDueWorkers();
    bool allWorkersEnded() const;
    void loop();
    int finish();
    StationTotals totals() const;
    std::vector<PortView> views() const;

    const StationOptions& options_;
    StationView view_;
    LabelQueue labels_;
    std::unique_ptr<LabelInput> labelInput_;  // with --scan
    bool labelsEndedSaid_ = false;
    ReleaseCopy release_;
    std::unique_ptr<ProductionRecord> record_;
    std::unique_ptr<RecordWriter> writer_;
    CentralWatch central_;
    StationRun run_;
    ToolIdentity tool_;
    std::vector<std::string> selectors_;
    std::vector<Port> ports_;
    WorkerMessages messages_;
    Clock::time_point started_ = Clock::now();
    int64_t nextSequence_ = 0;
    int64_t done_ = 0;
    int64_t failed_ = 0;
    int64_t interruptedUnits_ = 0;
    bool stopping_ = false;
    bool interrupted_ = false;
    bool recordFailed_ = false;
    int faultCode_ = 0;            // a fault that stopped the station (kResultFileNotOpened, ...)
    Clock::time_point stopDeadline_;
};

// Everything that must hold before any port is touched: the ports named properly, the release
// file usable, one port that opens, the record writable.
int Station::prepare()
{
    std::string error;
    if (int code = expandStationPorts(options_.ports, &selectors_, &error))
        return fail(code, error);
    switch (prepareReleaseCopy(options_.releasePath, options_.interrupted, &release_, &error)) {
    case CopyResult::Ready: break;
    case CopyResult::Interrupted: return fail(kExitInterrupted, "interrupted while copying the release file");
    case CopyResult::Failed: return fail(kResultFileNotOpened, error);
    }
    std::string why;
    if (options_.requireApproval) {
        if (!central_.releaseApproved(release_.name, release_.sha256, release_.productId, &why, &error))
            return fail(kResultFileNotOpened, error);
        if (!why.empty())
            std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(why).c_str());
        why.clear();
    }
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
    run_.startedUtc = nowUtc();
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
    writer_ = std::make_unique<RecordWriter>(*record_);
    if (!central_.start(run_, &error))
        return fail(kStationRecordFailed, error);
    return 0;
}

// The one place a port's state changes, and with it what its row says.
void Station::enter(Port& port, PortState state)
{
    const size_t index = static_cast<size_t>(&port - ports_.data());
    if (port.state == PortState::AwaitingLabel && state != PortState::AwaitingLabel)
        labels_.portLeft(index);
    if (port.label && state != PortState::Armed && state != PortState::Flashing) {
        // Its handset or worker went before the unit began: the label waits for another.
        labels_.giveBack(*port.label, Clock::now());
        port.label.reset();
        port.view.label.clear();
    }
    port.state = state;
    port.view.state = portStateText(state);
    port.view.kind = state;
    if (state != PortState::Flashing) {
        port.view.unit = 0;
        port.view.phase.clear();
    }
}

// A worker that replaces one that died with a handset on the cable first waits for it to go:
// that handset is already recorded, and is not flashed again without being plugged in again.
bool Station::startWorker(size_t index)
{
    Port& port = ports_[index];
    port.worker = std::make_unique<WorkerProcess>(index, messages_);
    port.workerReady = port.endedAsHung = false;
    port.lastHeard = Clock::now();
    std::vector<std::string> argv = {
        options_.workerProgram, "worker", "--port", port.view.selector, "--release",
        release_.copyPath, "--speed", std::to_string(options_.speed), "--mode",
        std::string(modeWord(options_.mode)), "--rearm-silence-ms",
        std::to_string(options_.rearmSilenceMs), "--handset-silence-ms",
        std::to_string(options_.handsetSilenceMs)};
    if (port.handsetStays)
        argv.push_back("--await-removal");
    if (options_.scanLabels)
        argv.push_back("--hold-for-label");
    argv.insert(argv.end(), options_.workerCaptureArguments.begin(), options_.workerCaptureArguments.end());
    std::string error;
    if (port.worker->start(argv, port.errorFile, &error)) {
        enter(port, PortState::Starting);
        return true;
    }
    port.worker.reset();
    ++port.startFailures;
    view_.event(&port.view, {{"event", "worker_failed"}, {"reason", error}}, error);
    restartLater(port, error);
    return false;
}

void Station::startWorkers()
{
    ports_.resize(selectors_.size());
    for (size_t i = 0; i < ports_.size(); ++i) {
        ports_[i].view.selector = selectors_[i];
        ports_[i].errorFile = release_.folder + "/worker-" + std::to_string(i + 1) + ".log";
        startWorker(i);
    }
}

bool Station::quotaLeft() const
{
    if (options_.units == 0)
        return true;
    int64_t committed = done_ + static_cast<int64_t>(writer_->pending());
    for (const Port& p : ports_)
        committed += holdsUnit(p.state) ? 1 : 0;
    return committed < options_.units;
}

// Hands an "arm" to each ready port while the units asked for allow it.
void Station::armWhereAllowed()
{
    for (Port& port : ports_) {
        if (stopping_ || port.state != PortState::Ready || !quotaLeft() || central_.holdsArming())
            continue;
        if (port.worker->send(workerCommandLine(WorkerCommand::Arm)))
            enter(port, PortState::Armed);
    }
}

void Station::unitStarted(Port& port, const UnitStartEvent& event)
{
    port.unit = UnitRecord{};
    port.unit.sequence = ++nextSequence_;
    port.unit.startedUtc = event.startedUtc;
    port.unit.device = port.device;  // what a unit its worker never reports is known by
    port.unitStarted = Clock::now();
    port.handsetStays = true;
    enter(port, PortState::Flashing);
    port.view.unit = port.unit.sequence;
    port.view.phase = "exchanging";
    port.view.block = port.view.total = 0;
    port.view.bytesPerSecond = 0;
    nlohmann::json object = {{"event", "unit_start"}, {"unit", port.view.unit}};
    std::string text = "unit " + std::to_string(port.view.unit) + " started";
    if (port.label) {
        port.unit.label = port.label->label;
        port.unit.attempt = port.label->attempt;
        object["label"] = port.label->label;
        object["attempt"] = port.label->attempt;
        text += ": " + port.view.label;
    }
    view_.event(&port.view, object, text);
}

// Scanning labels: a handset answered on an armed port. It is flashed once its label is there.
void Station::handsetAppeared(Port& port)
{
    if (port.state != PortState::Armed)
        return;
    const size_t index = static_cast<size_t>(&port - ports_.data());
    if (const std::optional<GivenLabel> given = labels_.handsetAppeared(index)) {
        giveLabel(port, *given);
        return;
    }
    enter(port, PortState::AwaitingLabel);
    view_.event(&port.view, {{"event", "awaiting_label"}}, port.view.state);
}

// Its handset was taken off before its label came (or with the "go" on its way): the port is
// armed again, and a label given to it waits for the next handset.
void Station::handsetGone(Port& port)
{
    if (port.state != PortState::AwaitingLabel && !(port.state == PortState::Armed && port.label))
        return;
    if (port.label) {
        labels_.giveBack(*port.label, Clock::now());
        port.label.reset();
        port.view.label.clear();
    }
    enter(port, PortState::Armed);
    view_.event(&port.view, {{"event", "handset_gone"}}, "the handset was taken off before its unit began");
}

void Station::giveLabel(Port& port, const GivenLabel& given)
{
    if (!port.worker || !port.worker->send(workerCommandLine(WorkerCommand::Go))) {
        labels_.giveBack(given, Clock::now());
        return;
    }
    enter(port, PortState::Armed);
    port.label = given;
    port.view.label = given.label + (given.attempt > 1 ? " (attempt " + std::to_string(given.attempt) + ")" : "");
    view_.event(&port.view, {{"event", "label"}, {"state", "given"}, {"label", given.label}, {"attempt", given.attempt}},
                "label " + port.view.label + " goes to this port's handset");
}

// The lines the scanner typed since the last turn, and the labels no handset claimed in time.
void Station::takeLabels()
{
    const auto now = Clock::now();
    char window[32];
    std::snprintf(window, sizeof window, "%g s", options_.scanWindowMs / 1000.0);
    // Asked before taking, so that the lines taken are all there will be when it is true.
    const bool inputEnded = labelInput_->ended();
    for (const std::string& line : labelInput_->take()) {
        const ScannedLabel scanned = labels_.scan(line, now);
        switch (scanned.kind) {
        case ScannedLabel::Kind::Given: giveLabel(ports_[scanned.given.port], scanned.given); break;
        case ScannedLabel::Kind::Waiting:
            view_.event(nullptr, {{"event", "label"}, {"state", "waiting"}, {"label", scanned.label}},
                        "label " + scanned.label + " waits up to " + window + " for a handset");
            break;
        case ScannedLabel::Kind::Refused:
            view_.event(nullptr,
                        {{"event", "label"}, {"state", "refused"}, {"label", utf8OrShown(scanned.label)},
                         {"reason", scanned.reason}},
                        "label " + (scanned.label.empty() ? "" : scanned.label + " ") + "refused: " + scanned.reason);
            break;
        }
    }
    for (const std::string& label : labels_.expire(now))
        view_.event(nullptr, {{"event", "label"}, {"state", "dropped"}, {"label", label}},
                    "label " + label + " dropped: no handset came for it within " + std::string(window));
    // Said once: a port that waits for a label from now on waits until the station is stopped.
    if (inputEnded && !labelsEndedSaid_) {
        labelsEndedSaid_ = true;
        view_.event(nullptr, {{"event", "labels_ended"}},
                    "standard input has ended: no more labels can be scanned (a handset without one "
                    "waits until the station is stopped)");
    }
}

// A unit has ended, reported by its worker or not: it goes to the record, and its result is
// shown once the record has answered (unitWritten).
void Station::endUnit(Port& port, UnitRecord unit)
{
    if (unit.sequence == 0)
        unit.sequence = port.unit.sequence > 0 ? port.unit.sequence : ++nextSequence_;
    port.unit = UnitRecord{};
    if (port.label) {
        unit.label = port.label->label;
        unit.attempt = port.label->attempt;
        port.label.reset();
        port.view.label.clear();
    }
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
    writer_->write(static_cast<size_t>(&port - ports_.data()), unit);
}

// Shows a unit's result. One that could not be recorded is shown all the same, saying so: the
// operator must know what the handset in the fixture got. Nothing more is armed then.
void Station::unitWritten(WrittenUnit& written)
{
    Port& port = ports_[written.port];
    const UnitRecord& unit = written.unit;
    central_.nudge();
    ++done_;
    if (unit.outcome == UnitOutcome::Interrupted)
        ++interruptedUnits_;
    else if (unit.outcome != UnitOutcome::Completed)
        ++failed_;
    else
        port.restartPause = kFirstRestartPause;  // this port works: back to the short pause
    const std::string seconds = secondsText(unit.durationMs / 1000.0);
    const std::string labelled = unit.label.empty() ? "" : " " + unit.label;
    port.view.lastResult = "#" + std::to_string(unit.sequence) + labelled + " " + outcomeWord(unit.outcome) + " " + seconds;
    std::string text = "unit " + std::to_string(unit.sequence) + labelled + " " + outcomeWord(unit.outcome) +
                       " in " + seconds + ": " + unit.resultMeaning;
    if (unit.reportedChecksum) {
        char checksum[32];
        std::snprintf(checksum, sizeof checksum, " (checksum %04X)",
                      static_cast<unsigned>(*unit.reportedChecksum));
        text += checksum;
    }
    if (!written.recorded)
        text += " - NOT RECORDED: " + written.error;
    nlohmann::json object = {{"event", "unit_end"}, {"unit", unit.sequence},
                             {"outcome", outcomeWord(unit.outcome)}, {"result", unit.resultCode},
                             {"meaning", unit.resultMeaning}, {"duration_ms", unit.durationMs},
                             {"recorded", written.recorded}};
    if (!unit.label.empty()) {
        object["label"] = unit.label;
        object["attempt"] = unit.attempt.value_or(1);
    }
    if (unit.abortReason) {
        // Result 4 alone says only that the handset gave up.
        object["abort_reason"] = *unit.abortReason;
        text += " (abort started on " + std::to_string(*unit.abortReason) + " " +
                resultMeaning(static_cast<int>(*unit.abortReason)) + ")";
    }
    if (!written.recorded)
        object["reason"] = written.error;
    view_.event(&port.view, object, text);
    if (options_.listener)
        options_.listener->unitEnded(written.port, unit, written.recorded);
    if (!written.recorded) {
        // A unit that cannot be recorded must not be followed by others unrecorded.
        recordFailed_ = true;
        view_.event(&port.view, {{"event", "record_failed"}, {"reason", written.error}},
                    "cannot write the production record: " + written.error);
        beginStopping("the production record cannot be written");
    }
    if (options_.units > 0 && done_ >= options_.units)
        beginStopping("all units done");
}

// What each event does in each state of the port.
struct Station::OnEvent {
    Station& s;
    Port& port;
    const nlohmann::json& object;

    void operator()(const HelloEvent&) {}
    void operator()(const BeatEvent&) {}
    void operator()(const ByeEvent&) {}
    void operator()(const PortEvent& e)
    {
        if (e.presence == PortPresence::Present) {
            port.device = e.device;
            port.view.identity = e.summary;
        } else {
            port.handsetStays = false;  // its adapter went, and the handset with it
        }
        s.enter(port, e.presence == PortPresence::Present   ? PortState::Present
                      : e.presence == PortPresence::Waiting ? PortState::AwaitingAdapter
                                                            : PortState::Unusable);
        s.view_.event(&port.view, object,
                      port.view.state + (e.presence == PortPresence::Present ? ": " + port.view.identity
                                                                             : " " + e.reason));
    }
    void operator()(const ReadyEvent&)
    {
        port.workerReady = true;
        port.handsetStays = false;
        port.startFailures = 0;
        s.enter(port, PortState::Ready);
    }
    void operator()(const ArmedEvent&)
    {
        s.enter(port, PortState::Armed);
        if (!port.label)  // a labelled handset is already there: its unit is about to start
            s.view_.event(&port.view, object, port.view.state);
    }
    void operator()(const HandsetEvent& e)
    {
        if (e.present)
            s.handsetAppeared(port);
        else
            s.handsetGone(port);
    }
    void operator()(const UnitStartEvent& e) { s.unitStarted(port, e); }
    void operator()(const ProgressEvent& e)
    {
        if (port.state != PortState::Flashing)
            return;
        port.view.phase = e.phase;
        port.view.block = e.block;
        port.view.total = e.total;
        const double seconds = e.elapsedMs / 1000.0;
        port.view.bytesPerSecond = seconds > 0 ? static_cast<double>(e.bytes) / seconds : 0;
        if (s.options_.view == StationViewMode::Json)
            s.view_.event(&port.view, object, {});
    }
    void operator()(const UnitEndEvent& e)
    {
        s.endUnit(port, e.unit);
        s.enter(port, PortState::Present);
    }
    void operator()(const UnsentEvent& e)
    {
        s.view_.event(&port.view, object, unsentWarning(e.unsentBytes, e.blockSize));
    }
    void operator()(const RemoveEvent&)
    {
        s.enter(port, PortState::Removing);
        s.view_.event(&port.view, object, port.view.state);
    }
    void operator()(const ErrorEvent& e)
    {
        s.view_.event(&port.view, object, e.text);
        if (e.fault == WorkerFault::Release)
            s.beginStopping("the release file's copy " + s.release_.copyPath +
                                " cannot be read (removed by a temporary-folder cleaner?)",
                            kResultFileNotOpened);
    }
};

void Station::onEvent(Port& port, const WorkerEvent& event, const nlohmann::json& object)
{
    std::visit(OnEvent{*this, port, object}, event);
}

void Station::take(const WorkerMessage& message)
{
    Port& port = ports_[message.port];
    port.lastHeard = Clock::now();
    if (message.ended) {
        workerEnded(port);
        return;
    }
    WorkerEvent event;
    std::string error;
    if (!parseWorkerEvent(message.line, &event, &error))
        return;  // a worker writes only events; anything else is not ours to act on
    onEvent(port, event, workerEventObject(event));
}

// The worker is gone. A unit it had in progress is recorded (failed, or interrupted when the
// station is stopping for the operator); then the port's one restart path.
void Station::workerEnded(Port& port)
{
    const int code = port.worker->finish();
    port.worker.reset();
    if (options_.interrupted && options_.interrupted() && !interrupted_) {
        interrupted_ = true;  // a signal to the group may reach the worker first
        beginStopping("interrupted");
    }
    if (port.state == PortState::Flashing) {
        UnitRecord unit = port.unit;
        unit.endedUtc = nowUtc();
        unit.durationMs = std::chrono::duration_cast<milliseconds>(Clock::now() - port.unitStarted).count();
        unit.mode = modeWord(options_.mode);
        unit.speed = options_.speed;
        describeResult(interrupted_ ? kExitInterrupted : port.endedAsHung ? kExitWorkerHung : kExitWorkerLost, &unit);
        endUnit(port, unit);
    }
    // A worker that exits by itself before it was ever ready failed at its start; one killed
    // by a signal (-1) was ended from outside, which says nothing of the next one.
    if (!port.workerReady && !port.endedAsHung && code != -1)
        ++port.startFailures;
    restartLater(port, "its worker ended (exit " + std::to_string(code) + "): starting a fresh one. " +
                           tail(port.errorFile, 3));
    checkRepeatingFaults(port);
}

// The one restart path: after a pause that doubles with each worker lost without a completed
// unit in between, up to kLongestRestartPause.
void Station::restartLater(Port& port, const std::string& why)
{
    if (stopping_) {
        enter(port, PortState::Stopped);
        return;
    }
    enter(port, PortState::Restarting);
    view_.event(&port.view, {{"event", "worker_ended"}, {"reason", why}}, why);
    port.restartAt = Clock::now() + port.restartPause;
    port.restartPause = std::min(port.restartPause * 2, kLongestRestartPause);
}

// A fault no restart mends stops the station with one message rather than a loop.
void Station::checkRepeatingFaults(const Port& port)
{
    std::error_code ec;
    if (!std::filesystem::exists(release_.copyPath, ec)) {
        beginStopping("the release file's copy " + release_.copyPath +
                          " is gone (removed by a temporary-folder cleaner?)",
                      kResultFileNotOpened);
        return;
    }
    const bool allFailing = std::all_of(ports_.begin(), ports_.end(), [](const Port& p) {
        return p.startFailures >= kStartFailuresToGiveUp;
    });
    if (allFailing)
        beginStopping("every port's worker fails at its start: " + tail(port.errorFile, 3),
                      kStationWorkersFailed);
}

// A worker that has said nothing, not even its beat, for the limit is hung: it is ended, and
// its end then takes the usual path (unit recorded, port restarted).
void Station::endSilentWorkers()
{
    const auto limit = milliseconds(options_.workerSilenceMs);
    for (Port& port : ports_) {
        if (!port.worker || port.endedAsHung || Clock::now() - port.lastHeard < limit)
            continue;
        port.endedAsHung = true;
        const std::string text = "its worker has not reported for " + secondsText(limit.count() / 1000.0) +
                                 ": ending it";
        view_.event(&port.view, {{"event", "worker_hung"}, {"silent_ms", limit.count()}}, text);
        port.worker->kill();
    }
}

void Station::beginStopping(const std::string& why, int code)
{
    if (code != 0 && faultCode_ == 0 && !stopping_)
        faultCode_ = code;
    if (stopping_)
        return;
    stopping_ = true;
    stopDeadline_ = Clock::now() + kStopGrace;
    view_.event(nullptr, {{"event", "stopping"}, {"reason", why}}, "stopping: " + why);
    if (code != 0)
        std::fprintf(stderr, "tarvolo station: %s\n", why.c_str());
    for (Port& port : ports_) {
        if (port.worker)
            port.worker->send(workerCommandLine(WorkerCommand::Stop));
        else
            enter(port, PortState::Stopped);
    }
}

void Station::restartDueWorkers()
{
    for (size_t i = 0; i < ports_.size(); ++i) {
        Port& port = ports_[i];
        if (!stopping_ && port.state == PortState::Restarting && Clock::now() >= port.restartAt)
            startWorker(i);
    }
}

bool Station::allWorkersEnded() const
{
    return std::none_of(ports_.begin(), ports_.end(), [](const Port& p) { return p.worker != nullptr; });
}

StationTotals Station::totals() const
{
    return {done_, failed_, interruptedUnits_, std::chrono::duration<double>(Clock::now() - started_).count(),
            central_.footer()};
}

std::vector<PortView> Station::views() const
{
    std::vector<PortView> rows;
    for (const Port& p : ports_)
        rows.push_back(p.view);
    return rows;
}

// Each turn waits at most one period: for worker lines, never for the record.
void Station::loop()
{
    while (!(stopping_ && allWorkersEnded() && writer_->pending() == 0)) {
        if (!stopping_ && options_.interrupted && options_.interrupted()) {
            interrupted_ = true;
            beginStopping("interrupted");
        }
        for (const WorkerMessage& message : messages_.take(kLoopPeriod))
            take(message);
        for (WrittenUnit& written : writer_->takeWritten())
            unitWritten(written);
        if (labelInput_ && !stopping_)
            takeLabels();
        if (stopping_ && Clock::now() >= stopDeadline_)
            for (Port& port : ports_)
                if (port.worker)
                    port.worker->kill();
        endSilentWorkers();
        restartDueWorkers();
        central_.poll(view_);
        armWhereAllowed();
        view_.draw(views(), totals());
        if (options_.listener)
            options_.listener->portsNow(views(), totals());
    }
}

int Station::finish()
{
    writer_->finish();
    int code = 0;
    run_.ending = "completed";
    if (recordFailed_) {
        code = kStationRecordFailed;
        run_.ending = "record-failed";
    } else if (interrupted_) {
        code = kExitInterrupted;
        run_.ending = "interrupted";
    } else if (faultCode_ == kResultFileNotOpened) {
        code = faultCode_;
        run_.ending = "release-failed";
    } else if (faultCode_ == kStationWorkersFailed) {
        code = faultCode_;
        run_.ending = "workers-failed";
    } else if (failed_ > 0) {
        code = kStationUnitsFailed;
        run_.ending = "units-failed";
    }
    run_.endedUtc = nowUtc();
    run_.unitsDone = done_;
    run_.unitsFailed = failed_;
    run_.exitCode = code;
    std::string error;
    if (!record_->endRun(run_, &error)) {
        std::fprintf(stderr, "tarvolo station: cannot write the end of the run: %s\n", error.c_str());
        code = kStationRecordFailed;
    }
    central_.finish();
    central_.poll(view_, true);
    view_.draw(views(), totals(), true);
    if (options_.listener)
        options_.listener->portsNow(views(), totals());
    view_.event(nullptr,
                {{"event", "station_end"}, {"code", code}, {"units", done_}, {"failed", failed_},
                 {"interrupted", interruptedUnits_}},
                "station stopped: " + std::to_string(done_) + " units, " + std::to_string(failed_) +
                    " failed, " + std::to_string(interruptedUnits_) + " interrupted (exit " +
                    std::to_string(code) + ")");
    return code;
}

int Station::run()
{
    if (int code = prepare()) {
        removeReleaseCopy(release_);
        return code;
    }
    if (options_.scanLabels)
        labelInput_ = std::make_unique<LabelInput>();
    startWorkers();
    if (options_.listener)
        options_.listener->runStarted(run_, selectors_);
    view_.event(nullptr, {{"event", "station_start"}, {"run", run_.runId}, {"release", release_.name},
                          {"sha256", release_.sha256}, {"ports", selectors_}},
                "station run " + std::to_string(run_.runId) + ": " + release_.name + " (sha256 " +
                    release_.sha256.substr(0, 16) + "...) on " + std::to_string(selectors_.size()) +
                    " ports");
    loop();
    const int code = finish();
    removeReleaseCopy(release_);
    return code;
}

}  // namespace

int runStation(const StationOptions& options, bool* centralLeftBlocked)
{
    Station station(options);
    const int code = station.run();
    *centralLeftBlocked = station.centralLeftBlocked();
    return code;
}
