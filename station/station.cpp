// A production station (see station.h): its run from start to end, and the loop.
#include "station/station.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "output/shown_text.h"
#include "record/utc_time.h"
#include "session/modes.h"
#include "station/station_core.h"
#include "station/station_listener.h"
#include "station/station_ports.h"

namespace station_core {

namespace {

using std::chrono::milliseconds;
constexpr milliseconds kLoopPeriod(100);
constexpr auto kStopGrace = std::chrono::seconds(5);

}  // namespace

int fail(int code, const std::string& text)
{
    std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(text, true).c_str());
    return code;
}

Station::Station(const StationOptions& options)
    : options_(options), view_(options.view, options.terminalColumns, options.scanLabels),
      labels_(milliseconds(options.scanWindowMs), options.allowRescan), central_(options),
      revocations_(options)
{
}

Station::~Station()
{
    if (trace_)
        std::fclose(trace_);
}

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
    if (!releaseTrusted(options_.trust, release_, &signer_, &error) || !revocations_.atStart(release_, &error))
        return fail(kResultFileNotOpened, error);
    std::string why;
    if (options_.requireApproval) {
        const SignedApproval signedFiles{signer_.keyId, revocations_.sequence(), revocations_.issuedUtc()};
        if (!central_.releaseApproved(release_.name, release_.sha256, release_.productId, signedFiles, &why, &error))
            return fail(kResultFileNotOpened, error);
        if (!why.empty())
            std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(why).c_str());
        why.clear();
    }
    if (!somePortOpens(selectors_, &why))
        return fail(kExitPortNotOpened, "no port can be opened:\n" + why);
    if (!openTrace(&error))
        return fail(kExitUsage, error);
    record_ = openProductionRecord(options_.recordPath, RecordAccess::Write, &error);
    if (!record_)
        return fail(kStationRecordFailed, error);
    if (!identifyTool(&tool_, &error))
        return fail(kStationRecordFailed, error);
    beginRun();
    if (!record_->beginRun(run_, &error))
        return fail(kStationRecordFailed, error);
    writer_ = std::make_unique<RecordWriter>(*record_);
    if (!central_.start(run_, &error))
        return fail(kStationRecordFailed, error);
    return 0;
}

void Station::beginRun()
{
    run_.stationId = options_.stationId;
    run_.operatorName = options_.operatorName;
    run_.lot = options_.lot;
    run_.startedUtc = nowUtc();
    run_.releaseFile = release_.name;
    run_.releaseSha256 = release_.sha256;
    run_.fileProductId = release_.productId;
    run_.mode = modeWord(options_.worker.mode);
    run_.speed = options_.worker.speed;
    run_.portSelectors = selectors_;
    run_.toolVersion = tool_.version;
    run_.toolSha256 = tool_.sha256;
}

bool Station::openTrace(std::string* error)
{
    if (options_.tracePath.empty())
        return true;
    trace_ = std::fopen(options_.tracePath.c_str(), "w");
    if (!trace_)
        *error = "cannot write the trace " + options_.tracePath + ": " + std::strerror(errno);
    return trace_ != nullptr;
}

bool Station::quotaLeft() const
{
    if (options_.units == 0)
        return true;
    int64_t committed = units_ + static_cast<int64_t>(writer_->pending());
    for (const Port& p : ports_)
        committed += holdsUnit(p.state) ? 1 : 0;
    return committed < options_.units;
}

void Station::beginStopping(const std::string& why, int code)
{
    if (code != 0 && faultCode_ == 0 && !stopping_)
        faultCode_ = code;
    if (stopping_)
        return;
    stopping_ = true;
    stopDeadline_ = Clock::now() + kStopGrace;
    view_.show(nullptr, Stopping{why});
    if (code != 0)
        std::fprintf(stderr, "tarvolo station: %s\n", why.c_str());
    for (size_t i = 0; i < ports_.size(); ++i)
        feed(i, PortEvent::Stop);
}

bool Station::allWorkersEnded() const
{
    return std::none_of(ports_.begin(), ports_.end(), [](const Port& p) { return p.worker != nullptr; });
}

StationTotals Station::totals() const
{
    return {units_, failed_, interruptedUnits_, std::chrono::duration<double>(Clock::now() - started_).count(),
            central_.footer()};
}

std::vector<PortView> Station::views() const
{
    std::vector<PortView> rows;
    for (const Port& p : ports_)
        rows.push_back(p.view);
    return rows;
}

// The events that time makes: a worker silent too long, a restart due, the stop's grace over,
// and the offer of an arm while the units asked for and the central link allow one.
void Station::offerTimers()
{
    const auto now = Clock::now();
    for (size_t i = 0; i < ports_.size(); ++i) {
        Port& port = ports_[i];
        if (!stopping_ && port.worker && now - port.lastHeard >= milliseconds(options_.workerSilenceMs))
            feed(i, PortEvent::WorkerSilent);
        if (!stopping_ && now >= port.startAt)
            feed(i, PortEvent::StartDue);
        if (stopping_ && now >= stopDeadline_ && port.worker)
            feed(i, PortEvent::StopOverdue);
        if (!stopping_ && quotaLeft() && !central_.holdsArming() && !revocations_.holdsArming())
            feed(i, PortEvent::ArmAllowed);
    }
}

// One turn waits at most one period: for worker lines, never for the record.
void Station::turn()
{
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
    central_.poll(view_);
    revocations_.poll(view_);
    offerTimers();
    view_.draw(views(), totals());
    if (options_.listener)
        options_.listener->portsNow(views(), totals());
}

void Station::loop()
{
    while (!(stopping_ && allWorkersEnded() && writer_->pending() == 0))
        turn();
}

// The run's ending as the record words it, and the exit code with it.
int Station::endingCode()
{
    struct Ending {
        bool when;
        int code;
        const char* word;
    };
    const Ending endings[] = {
        {recordFailed_, kStationRecordFailed, "record-failed"},
        {interrupted_, kExitInterrupted, "interrupted"},
        {faultCode_ == kResultFileNotOpened, kResultFileNotOpened, "release-failed"},
        {faultCode_ == kStationWorkersFailed, kStationWorkersFailed, "workers-failed"},
        {failed_ > 0, kStationUnitsFailed, "units-failed"},
    };
    for (const Ending& e : endings) {
        if (e.when) {
            run_.ending = e.word;
            return e.code;
        }
    }
    run_.ending = "completed";
    return 0;
}

int Station::finish()
{
    writer_->finish();
    int code = endingCode();
    run_.endedUtc = nowUtc();
    run_.unitsDone = units_;
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
    view_.show(nullptr, RunEnded{code, units_, failed_, interruptedUnits_});
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
    ports_.resize(selectors_.size());
    for (size_t i = 0; i < ports_.size(); ++i) {
        ports_[i].view.selector = selectors_[i];
        ports_[i].errorFile = release_.folder + "/worker-" + std::to_string(i + 1) + ".log";
        feed(i, PortEvent::StartDue);
    }
    if (options_.listener)
        options_.listener->runStarted(run_, selectors_);
    view_.show(nullptr, RunStarted{run_.runId, release_.name, release_.sha256, selectors_});
    loop();
    const int code = finish();
    removeReleaseCopy(release_);
    return code;
}

}  // namespace station_core

int runStation(const StationOptions& options, bool* centralLeftBlocked)
{
    station_core::Station station(options);
    const int code = station.run();
    *centralLeftBlocked = station.centralLeftBlocked();
    return code;
}
