// The production record as a JSON Lines file, for a ".jsonl" name: records kept before every
// build wrote SQLite, and stations asked for one. One JSON object a line, each with a "type":
//   "header"   written once when the file is created: {"type":"header","schema_version":1}
//   "run"      a run as beginRun recorded it (the columns of the runs table)
//   "unit"     one unit (the columns of the units table)
//   "run_end"  the run again, as endRun recorded it; it completes the "run" line of its run_id
// Each line goes to the disk whole with one write (AppendFile). A power cut can still leave a
// torn last line: readers skip it with a warning, and the next writer ends it with a newline
// first so that it cannot swallow the line appended after it.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <tuple>
#include <utility>

#include "output/file_name.h"
#include "output/json_line.h"
#include "record/append_file.h"
#include "record/production_record.h"
#include "record/uuid7.h"
#include "record/record_json.h"

namespace {

struct Line {
    size_t number;
    std::string type;
    FieldMap values;
};

using LineVisitor = std::function<void(const Line&)>;

class JsonLinesRecord : public ProductionRecord {
public:
    JsonLinesRecord(std::string path, RecordAccess access) : path_(std::move(path)), access_(access) {}

    bool open(std::string* error);

    bool beginRun(StationRun& run, std::string* error) override;
    bool recordUnit(const UnitRecord& unit, std::string* error) override;
    bool endRun(const StationRun& run, std::string* error) override;
    bool listUnits(const UnitFilter& filter, std::vector<UnitRecord>* units,
                   std::string* error) override;
    bool listRuns(std::vector<StationRun>* runs, std::string* error) override;
    std::vector<std::string> takeWarnings() override { return std::move(warnings_); }

private:
    struct ScanEnd {
        bool empty = true;
        bool endsWithNewline = true;
    };

    bool scan(const LineVisitor& visit, ScanEnd* end, std::string* error);
    void parseLine(const std::string& text, size_t number, bool terminated, const LineVisitor& visit);
    void checkHeader(const FieldMap& values);
    bool learnWritten(ScanEnd* end, bool reportWarnings, std::string* error);
    bool prepareToAppend(std::string* error);
    bool append(const char* type, const Fields& fields, std::string* error);
    bool lockedAppend(const char* type, const Fields& fields, std::string* error);
    bool appendRun(StationRun& run, std::string* error);
    bool knowsRun(int64_t runId, std::string* error);

    std::string path_;
    RecordAccess access_;
    AppendFile file_;
    int64_t lastRunId_ = 0;
    std::set<int64_t> runIds_;
    std::set<std::pair<int64_t, int64_t>> unitKeys_;  // (run id, sequence)
    std::vector<std::string> warnings_;
    std::string versionProblem_;
};

bool JsonLinesRecord::open(std::string* error)
{
    if (access_ == RecordAccess::Read) {
        if (std::ifstream(pathOf(path_), std::ios::binary))
            return true;
        *error = "cannot open " + path_;
        return false;
    }
    // Under the lock: two stations creating the file at once write one header between them.
    if (!file_.open(path_, error) || !file_.lock(error))
        return false;
    const bool ok = prepareToAppend(error);
    file_.unlock();
    return ok;
}

bool JsonLinesRecord::prepareToAppend(std::string* error)
{
    ScanEnd end;
    if (!learnWritten(&end, true, error))
        return false;
    if (!versionProblem_.empty()) {
        *error = versionProblem_ + " and does not write to it";
        return false;
    }
    if (!end.endsWithNewline) {
        warnings_.push_back(path_ + ": ended with a torn line; a newline now closes it");
        if (!file_.append("\n", error))
            return false;
    }
    if (!end.empty)
        return true;
    return append("header", {{"schema_version", int64_t{kRecordSchemaVersion}}}, error);
}

// Calls `visit` for each readable line in file order. A missing file reads as empty when
// writing (it is about to be created).
bool JsonLinesRecord::scan(const LineVisitor& visit, ScanEnd* end, std::string* error)
{
    std::ifstream in(pathOf(path_), std::ios::binary);
    if (!in) {
        if (access_ == RecordAccess::Write && !std::filesystem::exists(pathOf(path_)))
            return true;
        *error = "cannot open " + path_;
        return false;
    }
    std::string text;
    size_t number = 0;
    while (std::getline(in, text)) {
        ++number;
        end->empty = false;
        // getline meets the end of the file only on a last line without its newline.
        end->endsWithNewline = !in.eof();
        parseLine(text, number, end->endsWithNewline, visit);
    }
    if (in.bad()) {
        *error = "cannot read " + path_ + " after line " + std::to_string(number);
        return false;
    }
    return true;
}

void JsonLinesRecord::parseLine(const std::string& text, size_t number, bool terminated,
                                const LineVisitor& visit)
{
    if (text.empty() || text == "\r")
        return;
    const nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    Line line{number, {}, {}};
    std::string why;
    const bool typed = j.is_object() && j.contains("type") && j["type"].is_string();
    if (!typed || !fieldsFromJson(j, &line.values, &why)) {
        const std::string where = path_ + " line " + std::to_string(number) + ": skipped ";
        warnings_.push_back(where + (terminated ? "an unreadable line" : "a torn last line") +
                            " (" + std::to_string(text.size()) + " bytes" +
                            (why.empty() ? "" : "; " + why) + ")");
        return;
    }
    line.type = j["type"].get<std::string>();
    if (line.type == "header")
        checkHeader(line.values);
    else
        visit(line);  // types a later version adds are the visitor's to ignore
}

void JsonLinesRecord::checkHeader(const FieldMap& values)
{
    const auto it = values.find("schema_version");
    const int64_t* version = it == values.end() ? nullptr : std::get_if<int64_t>(&it->second);
    if (version && *version > kRecordSchemaVersion && versionProblem_.empty()) {
        versionProblem_ = path_ + " has schema version " + std::to_string(*version) +
                          "; this build knows up to " + std::to_string(kRecordSchemaVersion);
        warnings_.push_back(versionProblem_ + ": keys it does not know are not shown");
    }
}

// The run ids and units already in the file, so that ids stay unique and no unit is written
// twice. Read again before each new run: another station may have appended since; what that
// reading meets again was reported when the file was opened.
bool JsonLinesRecord::learnWritten(ScanEnd* end, bool reportWarnings, std::string* error)
{
    const size_t warningsBefore = warnings_.size();
    const bool ok = scan(
        [this](const Line& line) {
            const auto get = [&line](const char* name) {
                const auto it = line.values.find(name);
                const int64_t* n = it == line.values.end() ? nullptr : std::get_if<int64_t>(&it->second);
                return n ? *n : 0;
            };
            const int64_t runId = get("run_id");
            lastRunId_ = std::max(lastRunId_, runId);
            if (line.type == "run")
                runIds_.insert(runId);
            else if (line.type == "unit")
                unitKeys_.insert({runId, get("sequence")});
        },
        end, error);
    if (!reportWarnings)
        warnings_.resize(warningsBefore);
    return ok;
}

bool JsonLinesRecord::append(const char* type, const Fields& fields, std::string* error)
{
    if (access_ != RecordAccess::Write) {
        *error = path_ + " is open for reading only";
        return false;
    }
    nlohmann::ordered_json j;
    j["type"] = type;
    j.update(fieldsToJson(fields));
    return file_.append(jsonLine(j) + "\n", error);
}

bool JsonLinesRecord::knowsRun(int64_t runId, std::string* error)
{
    ScanEnd end;
    if (runIds_.count(runId) == 0 && !learnWritten(&end, false, error))
        return false;
    if (runIds_.count(runId) != 0)
        return true;
    *error = path_ + ": no run " + std::to_string(runId);
    return false;
}

bool JsonLinesRecord::lockedAppend(const char* type, const Fields& fields, std::string* error)
{
    if (!file_.lock(error))
        return false;
    const bool ok = append(type, fields, error);
    file_.unlock();
    return ok;
}

// The run id is chosen and its line appended under the lock: another station appending to the
// same file cannot take the same id meanwhile.
bool JsonLinesRecord::beginRun(StationRun& run, std::string* error)
{
    if (access_ != RecordAccess::Write) {
        *error = path_ + " is open for reading only";
        return false;
    }
    if (!file_.lock(error))
        return false;
    const bool ok = appendRun(run, error);
    file_.unlock();
    return ok;
}

bool JsonLinesRecord::appendRun(StationRun& run, std::string* error)
{
    ScanEnd end;
    if (!learnWritten(&end, false, error))
        return false;
    const StationRun saved = run;
    run.runId = lastRunId_ + 1;
    if (run.runUuid.empty())
        run.runUuid = uuid7ForRow(run.startedUtc);
    if (!append("run", runFields(run), error)) {
        run = saved;
        return false;
    }
    lastRunId_ = run.runId;
    runIds_.insert(run.runId);
    return true;
}

bool JsonLinesRecord::recordUnit(const UnitRecord& unit, std::string* error)
{
    if (!knowsRun(unit.runId, error))
        return false;
    if (unitKeys_.count({unit.runId, unit.sequence}) != 0) {
        *error = path_ + ": unit " + std::to_string(unit.sequence) + " of run " +
                 std::to_string(unit.runId) + " is already recorded";
        return false;
    }
    UnitRecord row = unit;
    if (row.attemptUuid.empty())
        row.attemptUuid = uuid7ForRow(row.startedUtc);
    if (!lockedAppend("unit", unitFields(row), error))
        return false;
    unitKeys_.insert({unit.runId, unit.sequence});
    return true;
}

bool JsonLinesRecord::endRun(const StationRun& run, std::string* error)
{
    return knowsRun(run.runId, error) && lockedAppend("run_end", runFields(run), error);
}

bool JsonLinesRecord::listUnits(const UnitFilter& filter, std::vector<UnitRecord>* units,
                                std::string* error)
{
    std::set<std::pair<int64_t, int64_t>> seen;
    std::vector<UnitRecord> found;
    ScanEnd end;
    const bool ok = scan(
        [&](const Line& line) {
            UnitRecord unit;
            std::string why;
            if (line.type != "unit")
                return;
            const std::string where = path_ + " line " + std::to_string(line.number) + ": ";
            if (!unitFromFields(line.values, &unit, &why))
                warnings_.push_back(where + "skipped a unit: " + why);
            else if (!seen.insert({unit.runId, unit.sequence}).second)
                warnings_.push_back(where + "skipped unit " + std::to_string(unit.sequence) +
                                    " of run " + std::to_string(unit.runId) + ", recorded before");
            else if (unitMatches(unit, filter))
                found.push_back(std::move(unit));
        },
        &end, error);
    std::stable_sort(found.begin(), found.end(), [](const UnitRecord& a, const UnitRecord& b) {
        return std::tie(a.startedUtc, a.runId, a.sequence) < std::tie(b.startedUtc, b.runId, b.sequence);
    });
    units->insert(units->end(), found.begin(), found.end());
    return ok;
}

bool JsonLinesRecord::listRuns(std::vector<StationRun>* runs, std::string* error)
{
    std::map<int64_t, StationRun> byId;
    ScanEnd end;
    const bool ok = scan(
        [&](const Line& line) {
            if (line.type != "run" && line.type != "run_end")
                return;
            const auto it = line.values.find("run_id");
            const int64_t* id = it == line.values.end() ? nullptr : std::get_if<int64_t>(&it->second);
            // A run_end line carries the whole run: it completes the run line it follows.
            const auto known = id ? byId.find(*id) : byId.end();
            StationRun run = known != byId.end() ? known->second : StationRun();
            std::string why = id ? "" : "no run_id";
            if (id && runFromFields(line.values, &run, &why))
                byId[*id] = run;
            else
                warnings_.push_back(path_ + " line " + std::to_string(line.number) +
                                    ": skipped a run: " + why);
        },
        &end, error);
    for (auto& [id, run] : byId)
        runs->push_back(std::move(run));
    return ok;
}

}  // namespace

std::unique_ptr<ProductionRecord> openJsonLinesRecord(const std::string& path,
                                                      RecordAccess access, std::string* error)
{
    std::error_code ec;
    const bool existed = std::filesystem::exists(pathOf(path), ec);
    auto record = std::make_unique<JsonLinesRecord>(path, access);
    if (record->open(error))
        return record;
    record.reset();
    if (!existed && access == RecordAccess::Write)
        std::filesystem::remove(pathOf(path), ec);  // created here, left unusable
    return nullptr;
}
