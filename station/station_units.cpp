// A station's units: their start, their end to the record, their result shown once the record
// has answered; and the labels scanned for them (see station_core.h). Main thread.
#include "record/utc_time.h"
#include "record/uuid7.h"
#include "station/station_core.h"
#include "station/station_listener.h"
#include "station/unit_facts.h"

namespace station_core {

// What every unit on the port has in its record row: its worker starts each unit's row from it,
// and a unit its worker never reports is recorded from it.
UnitRecord Station::unitRow(const Port& port) const
{
    UnitRecord unit;
    unit.runId = run_.runId;
    unit.stationId = run_.stationId;
    unit.operatorName = run_.operatorName;
    unit.lot = run_.lot;
    unit.portSelector = port.view.selector;
    unit.releaseFile = run_.releaseFile;
    unit.releaseSha256 = run_.releaseSha256;
    unit.fileProductId = run_.fileProductId;
    unit.signingKeyId = signer_.keyId;
    unit.signedRelease = signer_.releaseName;
    unit.mode = run_.mode;
    unit.speed = run_.speed;
    unit.toolVersion = run_.toolVersion;
    unit.toolSha256 = run_.toolSha256;
    return unit;
}

void Station::beginUnit(Port& port, const UnitStartEvent& event)
{
    port.unit = unitRow(port);
    port.unit.sequence = ++nextSequence_;
    port.unit.startedUtc = event.startedUtc;
    port.unit.device = port.device;  // what a unit its worker never reports is known by
    port.unitStarted = Clock::now();
    port.view.sequence = port.unit.sequence;
    port.view.phase = "exchanging";
    port.view.block = port.view.total = 0;
    port.view.bytesPerSecond = 0;
    if (port.label) {
        port.unit.label = port.label->label;
        port.unit.attempt = port.label->attempt;
    }
    view_.show(&port.view, UnitStarted{port.unit.sequence, port.unit.label, port.unit.attempt.value_or(0)});
}

void Station::trackProgress(Port& port, const ProgressEvent& e)
{
    port.view.phase = e.phase;
    port.view.block = e.block;
    port.view.total = e.total;
    const double seconds = e.elapsedMs / 1000.0;
    port.view.bytesPerSecond = seconds > 0 ? static_cast<double>(e.bytes) / seconds : 0;
    view_.show(&port.view, UnitProgress{e});
}

void Station::takeLabel(Port& port, const GivenLabel& given)
{
    port.label = given;
    port.view.label = given.label + (given.attempt > 1 ? " (attempt " + std::to_string(given.attempt) + ")" : "");
    view_.show(&port.view, LabelFact{LabelState::Given, given.label, given.attempt, "", 0});
}

// The lines the scanner typed since the last turn, and the labels no handset claimed in time.
void Station::takeLabels()
{
    const auto now = Clock::now();
    const int64_t window = options_.scanWindowMs;
    // Asked before taking, so that the lines taken are all there will be when it is true.
    const bool inputEnded = labelInput_->ended();
    for (const std::string& line : labelInput_->take()) {
        const ScannedLabel scanned = labels_.scan(line, now);
        switch (scanned.kind) {
        case ScannedLabel::Kind::Given: {
            Happening with;
            with.label = &scanned.given;
            feed(scanned.given.port, PortEvent::LabelGiven, with);
            break;
        }
        case ScannedLabel::Kind::Waiting:
            view_.show(nullptr, LabelFact{LabelState::Waiting, scanned.label, 0, "", window});
            break;
        case ScannedLabel::Kind::Refused:
            view_.show(nullptr, LabelFact{LabelState::Refused, scanned.label, 0, scanned.reason, 0});
            break;
        }
    }
    for (const std::string& label : labels_.expire(now))
        view_.show(nullptr, LabelFact{LabelState::Dropped, label, 0, "", window});
    // Said once: a port that waits for a label from now on waits until the station is stopped.
    if (inputEnded && !labelsEndedSaid_) {
        labelsEndedSaid_ = true;
        view_.show(nullptr, LabelsEnded{});
    }
}

// The unit in progress ended with its worker: it is recorded with `code` (the worker lost or
// hung, or the station interrupted).
void Station::recordLostUnit(Port& port, int code)
{
    UnitRecord unit = port.unit;
    unit.endedUtc = nowUtc();
    unit.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - port.unitStarted).count();
    unit.attemptUuid = uuid7ForRow(unit.startedUtc);
    describeResult(code, &unit);
    endUnit(port, unit);
}

// A unit has ended, reported by its worker or not: it goes to the record, and its result is
// shown once the record has answered (unitWritten). Its row is whole but for what the station
// alone knows: the unit's number and the label scanned for it.
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
    writer_->write(indexOf(port), unit);
}

void Station::countUnit(Port& port, const UnitRecord& unit)
{
    central_.nudge();
    ++units_;
    if (unit.outcome == UnitOutcome::Interrupted)
        ++interruptedUnits_;
    else if (unit.outcome != UnitOutcome::Completed)
        ++failed_;
    else
        port.backoff.reset();  // this port works: back to the short pause
}

// Shows a unit's result. One that could not be recorded is shown all the same, saying so: the
// operator must know what the handset in the fixture got. Nothing more is armed then.
void Station::unitWritten(WrittenUnit& written)
{
    Port& port = ports_[written.port];
    const UnitRecord& unit = written.unit;
    countUnit(port, unit);
    port.view.lastResult = lastUnitCell(unit);
    view_.show(&port.view, UnitEnded{unit, written.recorded, written.error});
    if (options_.listener)
        options_.listener->unitEnded(written.port, unit, written.recorded);
    if (!written.recorded) {
        // A unit that cannot be recorded must not be followed by others unrecorded.
        recordFailed_ = true;
        view_.show(&port.view, RecordFailed{written.error});
        beginStopping("the production record cannot be written");
    }
    if (options_.units > 0 && units_ >= options_.units)
        beginStopping("all units done");
}

}  // namespace station_core
