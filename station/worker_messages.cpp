// The station's and workers' vocabulary on the wire (see worker_messages.h).
#include "station/worker_messages.h"

#include <cmath>
#include <cstdint>
#include <iterator>

#include "output/json_line.h"
#include "record/record_fields.h"
#include "record/record_json.h"
#include "session/modes.h"

namespace {

using nlohmann::json;

const char* presenceWord(PortPresence p)
{
    switch (p) {
    case PortPresence::Present: return "present";
    case PortPresence::Waiting: return "waiting";
    case PortPresence::Unusable: return "unusable";
    }
    return "unusable";
}

const char* faultWord(WorkerFault f)
{
    switch (f) {
    case WorkerFault::Release: return "release";
    case WorkerFault::Selector: return "selector";
    case WorkerFault::None: break;
    }
    return "";
}

struct ToObject {
    json operator()(const HelloEvent& e) const { return {{"event", "hello"}, {"selector", e.selector}}; }
    json operator()(const PresenceEvent& e) const
    {
        json o = {{"event", "port"}, {"state", presenceWord(e.presence)}};
        if (e.presence == PortPresence::Present) {
            o["device"] = e.device;
            o["summary"] = e.summary;
        } else {
            o["reason"] = e.reason;
        }
        return o;
    }
    json operator()(const ReadyEvent&) const { return {{"event", "ready"}}; }
    json operator()(const ArmedEvent&) const { return {{"event", "armed"}}; }
    json operator()(const HandsetEvent& e) const { return {{"event", "handset"}, {"present", e.present}}; }
    json operator()(const UnitStartEvent& e) const
    {
        return {{"event", "unit_start"}, {"started_utc", e.startedUtc}};
    }
    json operator()(const ProgressEvent& e) const
    {
        return {{"event", "progress"}, {"phase", e.phase}, {"block", e.block}, {"total", e.total},
                {"bytes", e.bytes}, {"elapsed_ms", e.elapsedMs}};
    }
    json operator()(const UnsentEvent& e) const
    {
        return {{"event", "unsent"}, {"unsent_bytes", e.unsentBytes}, {"block_size", e.blockSize}};
    }
    json operator()(const UnitEndEvent& e) const
    {
        return {{"event", "unit_end"}, {"unit", json(fieldsToJson(unitFields(e.unit)))}};
    }
    json operator()(const RemoveEvent&) const { return {{"event", "remove"}}; }
    json operator()(const BeatEvent&) const { return {{"event", "beat"}}; }
    json operator()(const ErrorEvent& e) const
    {
        json o = {{"event", "error"}, {"text", e.text}};
        if (e.fault != WorkerFault::None)
            o["fault"] = faultWord(e.fault);
        return o;
    }
    json operator()(const ByeEvent&) const { return {{"event", "bye"}}; }
};

bool parsePort(const json& o, WorkerEvent* event)
{
    const std::string state = o.value("state", "");
    PresenceEvent e;
    if (state == "present")
        e.presence = PortPresence::Present;
    else if (state == "waiting")
        e.presence = PortPresence::Waiting;
    else if (state == "unusable")
        e.presence = PortPresence::Unusable;
    else
        return false;
    e.device = o.value("device", "");
    e.summary = o.value("summary", e.device);
    e.reason = o.value("reason", "");
    *event = e;
    return true;
}

bool parseUnitEnd(const json& o, WorkerEvent* event, std::string* error)
{
    FieldMap fields;
    UnitEndEvent e;
    if (!o.contains("unit") || !fieldsFromJson(o.at("unit"), &fields, error) ||
        !unitFromFields(fields, &e.unit, error))
        return false;
    *event = e;
    return true;
}

WorkerFault faultOf(const std::string& word)
{
    if (word == "release")
        return WorkerFault::Release;
    if (word == "selector")
        return WorkerFault::Selector;
    return WorkerFault::None;
}

bool parseObject(const json& o, WorkerEvent* event, std::string* error)
{
    const std::string kind = o.value("event", "");
    if (kind == "hello")
        *event = HelloEvent{o.value("selector", "")};
    else if (kind == "port")
        return parsePort(o, event) || (*error = "a port event without a known state", false);
    else if (kind == "ready")
        *event = ReadyEvent{};
    else if (kind == "armed")
        *event = ArmedEvent{};
    else if (kind == "handset")
        *event = HandsetEvent{o.value("present", true)};
    else if (kind == "unit_start")
        *event = UnitStartEvent{o.value("started_utc", "")};
    else if (kind == "progress")
        *event = ProgressEvent{o.value("phase", ""), o.value("block", 0), o.value("total", 0),
                               o.value("bytes", uint64_t{0}), o.value("elapsed_ms", int64_t{0})};
    else if (kind == "unsent")
        *event = UnsentEvent{o.value("unsent_bytes", int64_t{0}), o.value("block_size", int64_t{0})};
    else if (kind == "unit_end")
        return parseUnitEnd(o, event, error);
    else if (kind == "remove")
        *event = RemoveEvent{};
    else if (kind == "beat")
        *event = BeatEvent{};
    else if (kind == "error")
        *event = ErrorEvent{o.value("text", ""), faultOf(o.value("fault", ""))};
    else if (kind == "bye")
        *event = ByeEvent{};
    else
        return (*error = "an unknown event \"" + kind + "\"", false);
    return true;
}

}  // namespace

std::vector<std::string> workerArguments(const WorkerOptions& o)
{
    std::vector<std::string> arguments = {
        "--port", o.selector, "--release", o.releasePath, "--speed", std::to_string(o.speed),
        "--mode", modeWord(o.mode), "--rearm-silence-ms", std::to_string(o.rearmSilenceMs),
        "--handset-silence-ms", std::to_string(o.handsetSilenceMs)};
    nlohmann::ordered_json row = fieldsToJson(unitFields(o.unitRow));
    for (auto it = row.begin(); it != row.end();)
        it = it->is_null() ? row.erase(it) : std::next(it);  // shorter: absent is null when read back
    arguments.insert(arguments.end(), {"--unit-row", jsonLine(row)});
    if (o.awaitRemovalFirst)
        arguments.push_back("--await-removal");
    if (o.holdForLabel)
        arguments.push_back("--hold-for-label");
    if (!o.capture.folder.empty()) {
        arguments.insert(arguments.end(),
                         {"--capture-folder", o.capture.folder, "--capture-unit-bytes",
                          std::to_string(o.capture.unitLimitBytes), "--captures-total-bytes",
                          std::to_string(o.capture.totalLimitBytes), "--captures-max-days",
                          std::to_string(o.capture.maxAgeDays)});
        if (o.capture.keepAll)
            arguments.push_back("--capture-all");
    }
    return arguments;
}

namespace {

// A whole decimal number, nothing around it, within the int64 range.
bool wholeNumber(const std::string& text, int64_t low, int64_t high, int64_t* value)
{
    try {
        size_t used = 0;
        const long long n = std::stoll(text, &used, 10);
        if (used != text.size() || text.empty() || text[0] == ' ' || n < low || n > high)
            return false;
        *value = n;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// A finite decimal number, nothing after it.
bool finiteNumber(const std::string& text, double* value)
{
    try {
        size_t used = 0;
        const double x = std::stod(text, &used);
        if (used != text.size() || text.empty() || text[0] == ' ' || !std::isfinite(x) || x < 0)
            return false;
        *value = x;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// The row every unit starts from, as workerArguments writes it.
bool unitRowOf(const std::string& text, UnitRecord* unit)
{
    const json o = json::parse(text, nullptr, false);
    FieldMap fields;
    std::string error;
    return o.is_object() && fieldsFromJson(o, &fields, &error) && unitFromFields(fields, unit, &error);
}

// One option that takes a value; false when `name` is not one of them or the value is wrong.
bool takeValue(const std::string& name, const std::string& value, WorkerOptions* o)
{
    int64_t n = 0;
    if (name == "--port")
        o->selector = value;
    else if (name == "--release")
        o->releasePath = value;
    else if (name == "--speed" && wholeNumber(value, 1, UINT32_MAX, &n))
        o->speed = static_cast<uint32_t>(n);
    else if (name == "--mode" && downloadModeWords().count(value))
        o->mode = downloadModeWords().at(value);
    else if (name == "--rearm-silence-ms" && wholeNumber(value, 0, INT32_MAX, &n))
        o->rearmSilenceMs = static_cast<int>(n);
    else if (name == "--handset-silence-ms" && wholeNumber(value, 0, INT32_MAX, &n))
        o->handsetSilenceMs = static_cast<int>(n);
    else if (name == "--capture-folder")
        o->capture.folder = value;
    else if (name == "--capture-unit-bytes" && wholeNumber(value, 0, INT64_MAX, &n))
        o->capture.unitLimitBytes = static_cast<uint64_t>(n);
    else if (name == "--captures-total-bytes" && wholeNumber(value, 0, INT64_MAX, &n))
        o->capture.totalLimitBytes = static_cast<uint64_t>(n);
    else if (name == "--captures-max-days")
        return finiteNumber(value, &o->capture.maxAgeDays);
    else if (name == "--unit-row")
        return unitRowOf(value, &o->unitRow);
    else
        return false;
    return true;
}

}  // namespace

bool parseWorkerArguments(const std::vector<std::string>& arguments, WorkerOptions* o, std::string* error)
{
    bool port = false, release = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& name = arguments[i];
        if (name == "--await-removal") {
            o->awaitRemovalFirst = true;
        } else if (name == "--hold-for-label") {
            o->holdForLabel = true;
        } else if (name == "--capture-all") {
            o->capture.keepAll = true;
        } else if (i + 1 < arguments.size() && takeValue(name, arguments[i + 1], o)) {
            port = port || name == "--port";
            release = release || name == "--release";
            ++i;
        } else {
            *error = "not a worker option (or not its value): " + name;
            return false;
        }
    }
    if (!port || !release)
        return (*error = "a worker needs --port and --release", false);
    return true;
}

nlohmann::json workerEventObject(const WorkerEvent& event) { return std::visit(ToObject{}, event); }

std::string workerEventLine(const WorkerEvent& event)
{
    return jsonLine(workerEventObject(event)) + "\n";
}

bool parseWorkerEvent(const std::string& line, WorkerEvent* event, std::string* error)
{
    const json o = json::parse(line, nullptr, false);
    if (o.is_discarded() || !o.is_object()) {
        *error = "not a JSON object";
        return false;
    }
    try {
        return parseObject(o, event, error);
    } catch (const json::exception& e) {
        *error = std::string("a member of the wrong type: ") + e.what();  // value() of another type
        return false;
    }
}

const char* workerCommandLine(WorkerCommand command)
{
    switch (command) {
    case WorkerCommand::Arm: return "arm";
    case WorkerCommand::Go: return "go";
    case WorkerCommand::Stop: break;
    }
    return "stop";
}

bool parseWorkerCommand(const std::string& line, WorkerCommand* command)
{
    if (line == "arm")
        *command = WorkerCommand::Arm;
    else if (line == "stop")
        *command = WorkerCommand::Stop;
    else if (line == "go")
        *command = WorkerCommand::Go;
    else
        return false;
    return true;
}
