// The station's facts, rendered (see station_facts.h).
#include "station/station_facts.h"

#include <cstdio>

#include "output/shown_text.h"
#include "record/central_ledger.h"
#include "record/record_fields.h"
#include "record/record_json.h"
#include "session/results.h"

namespace {

using nlohmann::json;

std::string windowText(int64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms) / 1000.0);
    return text;
}

std::string labelled(const std::string& label, int64_t attempt)
{
    return label + (attempt > 1 ? " (attempt " + std::to_string(attempt) + ")" : "");
}

// A unit's end under the record's own names, taken from the record's row: the two cannot
// drift apart. Label, attempt and abort reason only when the unit has them.
json unitEndJson(const UnitEnded& f)
{
    static const char* const kAlways[] = {"sequence", "outcome", "result_code", "result_meaning", "duration_ms"};
    static const char* const kWhenKnown[] = {"label", "attempt", "abort_reason"};
    json row = json(fieldsToJson(unitFields(f.unit)));
    json o = {{"event", "unit_end"}, {"recorded", f.recorded}};
    for (const char* name : kAlways)
        o[name] = row[name];
    for (const char* name : kWhenKnown)
        if (!row[name].is_null())
            o[name] = row[name];
    if (!f.recorded)
        o["reason"] = f.reason;
    return o;
}

std::string unitEndText(const UnitEnded& f)
{
    const UnitRecord& unit = f.unit;
    std::string text = "unit " + std::to_string(unit.sequence) + (unit.label.empty() ? "" : " " + unit.label) + " " +
                       outcomeWord(unit.outcome) + " in " + secondsText(unit.durationMs / 1000.0) + ": " +
                       unit.resultMeaning;
    if (unit.reportedChecksum) {
        char checksum[32];
        std::snprintf(checksum, sizeof checksum, " (checksum %04X)", static_cast<unsigned>(*unit.reportedChecksum));
        text += checksum;
    }
    if (!f.recorded)
        text += " - NOT RECORDED: " + f.reason;
    if (unit.abortReason)  // result 4 alone says only that the handset gave up
        text += " (abort started on " + std::to_string(*unit.abortReason) + " " +
                resultMeaning(static_cast<int>(*unit.abortReason)) + ")";
    return text;
}

json labelJson(const LabelFact& f)
{
    static const char* const kWords[] = {"given", "waiting", "refused", "dropped"};
    json o = {{"event", "label"}, {"state", kWords[static_cast<int>(f.state)]}, {"label", f.label}};
    if (f.state == LabelState::Given)
        o["attempt"] = f.attempt;
    if (f.state == LabelState::Refused) {
        o["label"] = utf8OrShown(f.label);  // what a scanner typed need not be text
        o["reason"] = f.reason;
    }
    return o;
}

std::string labelText(const LabelFact& f)
{
    switch (f.state) {
    case LabelState::Given: return "label " + labelled(f.label, f.attempt) + " goes to this port's handset";
    case LabelState::Waiting: return "label " + f.label + " waits up to " + windowText(f.windowMs) + " for a handset";
    case LabelState::Refused: return "label " + (f.label.empty() ? "" : f.label + " ") + "refused: " + f.reason;
    case LabelState::Dropped: break;
    }
    return "label " + f.label + " dropped: no handset came for it within " + windowText(f.windowMs);
}

json centralJson(const CentralFact& f)
{
    // --json adds the age in seconds and the error, and leaves out conflicts while there are none.
    json o = {{"event", "central"}};
    o.update(centralFields(f.state));
    o["oldest_unconfirmed_s"] = f.oldestUnconfirmedS;
    if (!f.state.lastError.empty())
        o["error"] = f.state.lastError;
    if (f.state.backlog.conflicts == 0) {
        o.erase("conflicts");
        o.erase("conflict");
    }
    return o;
}

std::string centralText(const CentralFact& f)
{
    const Backlog& b = f.state.backlog;
    std::string text = std::string("central: ") + (f.state.connected ? "connected" : "not connected") + ", " +
                       std::to_string(b.unconfirmed) + " units not confirmed";
    if (b.unconfirmed > 0)
        text += ", oldest " + std::to_string(f.oldestUnconfirmedS) + " s";
    if (b.quarantined > 0)
        text += ", " + std::to_string(b.quarantined) + " quarantined";
    if (b.conflicts > 0)
        text += ", " + std::to_string(b.conflicts) + " in conflict (unit " + b.lastConflict + " differs centrally in " +
                b.lastDiffering + ")";
    if (!f.state.connected && !f.state.lastError.empty())
        text += " (" + f.state.lastError + ")";
    return text;
}

json portMovedJson(const PortMoved& f)
{
    if (f.said)
        return workerEventObject(*f.said);
    return {{"event", "port_state"}, {"state", portStateText(f.state)}, {"kind", portStateWord(f.state)}};
}

std::string portPlaceText(const PortPlace& f)
{
    const PresenceEvent& p = f.presence;
    return portStateText(f.state) + (p.presence == PortPresence::Present ? ": " + p.summary : " " + p.reason);
}

struct ToJson {
    json operator()(const UnitStarted& f) const
    {
        json o = {{"event", "unit_start"}, {"sequence", f.sequence}};
        if (!f.label.empty()) {
            o["label"] = f.label;
            o["attempt"] = f.attempt;
        }
        return o;
    }
    json operator()(const UnitProgress& f) const { return workerEventObject(f.progress); }
    json operator()(const UnitUnsent& f) const { return workerEventObject(f.unsent); }
    json operator()(const UnitEnded& f) const { return unitEndJson(f); }
    json operator()(const RecordFailed& f) const { return {{"event", "record_failed"}, {"reason", f.reason}}; }
    json operator()(const PortMoved& f) const { return portMovedJson(f); }
    json operator()(const PortPlace& f) const { return workerEventObject(f.presence); }
    json operator()(const AwaitingLabel&) const { return {{"event", "awaiting_label"}}; }
    json operator()(const HandsetGone&) const { return {{"event", "handset_gone"}}; }
    json operator()(const WorkerSaid& f) const { return workerEventObject(f.error); }
    json operator()(const WorkerFailed& f) const { return {{"event", "worker_failed"}, {"reason", f.reason}}; }
    json operator()(const WorkerHung& f) const { return {{"event", "worker_hung"}, {"silent_ms", f.silentMs}}; }
    json operator()(const WorkerEnded& f) const { return {{"event", "worker_ended"}, {"reason", f.reason}}; }
    json operator()(const LabelFact& f) const { return labelJson(f); }
    json operator()(const LabelsEnded&) const { return {{"event", "labels_ended"}}; }
    json operator()(const RunStarted& f) const
    {
        return {{"event", "station_start"}, {"run", f.run}, {"release", f.release}, {"sha256", f.sha256},
                {"ports", f.ports}};
    }
    json operator()(const CentralFact& f) const { return centralJson(f); }
    json operator()(const ArmingHold& f) const
    {
        return {{"event", f.source + (f.reason.empty() ? "_resume" : "_hold")}, {"reason", f.reason}};
    }
    json operator()(const Stopping& f) const { return {{"event", "stopping"}, {"reason", f.reason}}; }
    json operator()(const RunEnded& f) const
    {
        return {{"event", "station_end"}, {"code", f.code}, {"units", f.units}, {"failed", f.failed},
                {"interrupted", f.interrupted}};
    }
};

struct ToText {
    std::string operator()(const UnitStarted& f) const
    {
        return "unit " + std::to_string(f.sequence) + " started" +
               (f.label.empty() ? "" : ": " + labelled(f.label, f.attempt));
    }
    std::string operator()(const UnitProgress&) const { return ""; }
    std::string operator()(const UnitUnsent& f) const
    {
        return unsentWarning(f.unsent.unsentBytes, f.unsent.blockSize);
    }
    std::string operator()(const UnitEnded& f) const { return unitEndText(f); }
    std::string operator()(const RecordFailed& f) const { return "cannot write the production record: " + f.reason; }
    std::string operator()(const PortMoved& f) const { return portStateText(f.state); }
    std::string operator()(const PortPlace& f) const { return portPlaceText(f); }
    std::string operator()(const AwaitingLabel& f) const { return portStateText(f.state); }
    std::string operator()(const HandsetGone&) const { return "the handset was taken off before its unit began"; }
    std::string operator()(const WorkerSaid& f) const { return f.error.text; }
    std::string operator()(const WorkerFailed& f) const { return f.reason; }
    std::string operator()(const WorkerHung& f) const
    {
        return "its worker has not reported for " + secondsText(f.silentMs / 1000.0) + ": ending it";
    }
    std::string operator()(const WorkerEnded& f) const { return f.reason; }
    std::string operator()(const LabelFact& f) const { return labelText(f); }
    std::string operator()(const LabelsEnded&) const
    {
        return "standard input has ended: no more labels can be scanned (a handset without one waits until the "
               "station is stopped)";
    }
    std::string operator()(const RunStarted& f) const
    {
        return "station run " + std::to_string(f.run) + ": " + f.release + " (sha256 " + f.sha256.substr(0, 16) +
               "...) on " + std::to_string(f.ports.size()) + " ports";
    }
    std::string operator()(const CentralFact& f) const { return centralText(f); }
    std::string operator()(const ArmingHold& f) const
    {
        // The central link's reasons say that arming waits; a revocation's names the revocation.
        if (f.reason.empty())
            return "arming again";
        return f.source == "revocation" ? "not arming new units: " + f.reason : f.reason;
    }
    std::string operator()(const Stopping& f) const { return "stopping: " + f.reason; }
    std::string operator()(const RunEnded& f) const
    {
        return "station stopped: " + std::to_string(f.units) + " units, " + std::to_string(f.failed) + " failed, " +
               std::to_string(f.interrupted) + " interrupted (exit " + std::to_string(f.code) + ")";
    }
};

}  // namespace

nlohmann::json factJson(const StationFact& fact) { return std::visit(ToJson{}, fact); }

std::string factText(const StationFact& fact) { return std::visit(ToText{}, fact); }

bool factIsError(const StationFact& fact)
{
    if (std::holds_alternative<RecordFailed>(fact))
        return true;
    const UnitEnded* ended = std::get_if<UnitEnded>(&fact);
    return ended && ended->unit.outcome != UnitOutcome::Completed && ended->unit.outcome != UnitOutcome::Interrupted;
}

nlohmann::json centralFields(const CentralState& state)
{
    const Backlog& b = state.backlog;
    const json conflict = b.lastConflict.empty()
                              ? json(nullptr)
                              : json{{"attempt_uuid", b.lastConflict}, {"differing", differingColumns(b.lastDiffering)}};
    return {{"connected", state.connected}, {"unconfirmed", b.unconfirmed},
            {"oldest_unconfirmed_utc", b.oldestEndedUtc}, {"quarantined", b.quarantined},
            {"conflicts", b.conflicts}, {"conflict", conflict}};
}

std::string lastUnitCell(const UnitRecord& unit)
{
    return "#" + std::to_string(unit.sequence) + (unit.label.empty() ? "" : " " + unit.label) + " " +
           outcomeWord(unit.outcome) + " " + secondsText(unit.durationMs / 1000.0);
}

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}
