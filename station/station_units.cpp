// A station's units: their start, their end to the record, their result shown once the record
// has answered; and the labels scanned for them (see station_core.h). Main thread.
#include <cstdio>

#include "output/shown_text.h"
#include "record/utc_time.h"
#include "session/modes.h"
#include "session/results.h"
#include "station/station_core.h"
#include "station/station_listener.h"
#include "station/unit_facts.h"

namespace station_core {

void Station::beginUnit(Port& port, const UnitStartEvent& event)
{
    port.unit = UnitRecord{};
    port.unit.sequence = ++nextSequence_;
    port.unit.startedUtc = event.startedUtc;
    port.unit.device = port.device;  // what a unit its worker never reports is known by
    port.unitStarted = Clock::now();
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

void Station::trackProgress(Port& port, const ProgressEvent& e, const Happening& with)
{
    port.view.phase = e.phase;
    port.view.block = e.block;
    port.view.total = e.total;
    const double seconds = e.elapsedMs / 1000.0;
    port.view.bytesPerSecond = seconds > 0 ? static_cast<double>(e.bytes) / seconds : 0;
    if (options_.view == StationViewMode::Json)
        view_.event(&port.view, workerEventObject(*with.worker), {});
}

void Station::takeLabel(Port& port, const GivenLabel& given)
{
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
        case ScannedLabel::Kind::Given: {
            Happening with;
            with.label = &scanned.given;
            feed(scanned.given.port, PortEvent::LabelGiven, with);
            break;
        }
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

// The unit in progress ended with its worker: it is recorded with `code` (the worker lost or
// hung, or the station interrupted).
void Station::recordLostUnit(Port& port, int code)
{
    UnitRecord unit = port.unit;
    unit.endedUtc = nowUtc();
    unit.durationMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - port.unitStarted).count();
    unit.mode = modeWord(options_.worker.mode);
    unit.speed = options_.worker.speed;
    describeResult(code, &unit);
    endUnit(port, unit);
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
    unit.signingKeyId = signer_.keyId;
    unit.signedRelease = signer_.releaseName;
    unit.toolVersion = tool_.version;
    unit.toolSha256 = tool_.sha256;
    writer_->write(indexOf(port), unit);
}

void Station::countUnit(Port& port, const UnitRecord& unit)
{
    central_.nudge();
    ++done_;
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
                             {"outcome", outcomeWord(unit.outcome)}, {"result_code", unit.resultCode},
                             {"result_meaning", unit.resultMeaning}, {"duration_ms", unit.durationMs},
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

}  // namespace station_core
