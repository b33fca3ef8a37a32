// Rendering of `tarvolo log` (log_output.h).
#include "cli/log_output.h"

#include <algorithm>

#include "cli/console.h"
#include "output/json_line.h"
#include "output/shown_text.h"
#include "output/terminal_view.h"
#include "record/record_fields.h"
#include "record/record_json.h"
#include "record/unit_csv.h"
#include "session/results.h"

namespace {

// A checksum the unit may not have reached.
std::string checksumText(const std::optional<int64_t>& value)
{
    return value ? hex4(static_cast<uint64_t>(*value)) : "-";
}

std::string seconds(int64_t ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ms) / 1000.0);
    return text;
}

// Result 4 only says the handset gave up; the result the abort was started with says why.
std::string withAbortReason(const std::string& text, const std::optional<int64_t>& reason)
{
    if (!reason)
        return text;
    return text + " (abort started on " + std::to_string(*reason) + " " +
           resultMeaning(static_cast<int>(*reason)) + ")";
}

// "356938035643809", "356938035643809 #2" for a later attempt, "-" without a label.
std::string labelText(const UnitRecord& u)
{
    if (u.label.empty())
        return "-";
    return u.label + (u.attempt && *u.attempt > 1 ? " #" + std::to_string(*u.attempt) : "");
}

std::vector<std::string> columnsOf(const UnitRecord& u)
{
    return {u.startedUtc,
            std::to_string(u.runId) + "/" + std::to_string(u.sequence),
            u.portSelector,
            u.device,
            outcomeWord(u.outcome),
            seconds(u.durationMs),
            checksumText(u.expectedChecksum) + "/" + checksumText(u.reportedChecksum),
            withAbortReason(std::to_string(u.resultCode) + " " + u.resultMeaning, u.abortReason)};
}

}  // namespace

void printUnitLines(const std::vector<UnitRecord>& units, std::FILE* out)
{
    std::vector<std::vector<std::string>> rows = {
        {"started (UTC)", "run/unit", "port", "device", "outcome", "seconds",
         "expected/reported", "result"}};
    // Scanned labels get a column once a unit listed has one.
    const bool labels = std::any_of(units.begin(), units.end(), [](const UnitRecord& u) { return !u.label.empty(); });
    // Units of several stations (the central database's) say whose they are.
    const bool stations = std::any_of(units.begin(), units.end(),
                                      [&](const UnitRecord& u) { return u.stationId != units.front().stationId; });
    // So does the capture kept of a unit (a failed one), named relative to the record's folder.
    const bool captures = std::any_of(units.begin(), units.end(), [](const UnitRecord& u) { return !u.capture.empty(); });
    if (captures)
        rows[0].push_back("capture");
    // And who signed the release, once a unit listed got a signed one: key id, release name.
    const bool signers = std::any_of(units.begin(), units.end(), [](const UnitRecord& u) { return !u.signingKeyId.empty(); });
    if (signers)
        rows[0].push_back("signed by");
    if (labels)
        rows[0].insert(rows[0].begin() + 2, "label");
    if (stations)
        rows[0].insert(rows[0].begin() + 1, "station");
    for (const UnitRecord& u : units) {
        rows.push_back(columnsOf(u));
        if (captures)
            rows.back().push_back(u.capture.empty() ? "-" : u.capture);
        if (signers)
            rows.back().push_back(u.signingKeyId.empty() ? "-" : u.signingKeyId + " " + u.signedRelease);
        if (labels)
            rows.back().insert(rows.back().begin() + 2, labelText(u));
        if (stations)
            rows.back().insert(rows.back().begin() + 1, u.stationId);
        for (std::string& cell : rows.back())
            cell = terminalSafe(cell);
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], columnsOf(row[i]));
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i + 1 < row.size(); ++i)
            line += fitColumn(row[i], widths[i]) + "  ";
        std::fprintf(out, "%s%s\n", line.c_str(), row.back().c_str());
    }
}

void printUnitCsv(const std::vector<UnitRecord>& units, std::FILE* out)
{
    // Row by row: a local record's whole history need not be held twice. Written by length,
    // as the dashboard sends it, so that no byte of a cell cuts its row short. A file or pipe
    // gets every cell exactly (an operator's words as given); a terminal gets no control byte
    // of them, only each row's own line end.
    const bool terminal = out == stdout && stdoutIsTerminal();
    const auto write = [out, terminal](const std::string& row) {
        const std::string bytes = terminal ? terminalSafe(row.substr(0, row.size() - 2), true) + "\r\n" : row;
        std::fwrite(bytes.data(), 1, bytes.size(), out);
    };
    write(unitCsvHeading());
    for (const UnitRecord& u : units)
        write(unitCsvRow(u));
}

void printUnitJson(const std::vector<UnitRecord>& units, const UnitSummary& s, std::FILE* out)
{
    writeJsonLine(out, unitJsonObject(units, s));
}

nlohmann::ordered_json unitJsonObject(const std::vector<UnitRecord>& units, const UnitSummary& s)
{
    nlohmann::ordered_json j;
    j["units"] = nlohmann::ordered_json::array();
    for (const UnitRecord& u : units)
        j["units"].push_back(fieldsToJson(unitFields(u)));
    nlohmann::ordered_json& sum = j["summary"];
    sum["units"] = s.units;
    sum["completed"] = s.completed;
    sum["failed"] = s.failed;
    sum["interrupted"] = s.interrupted;
    sum["pass_rate"] = s.passRate ? nlohmann::ordered_json(*s.passRate) : nullptr;
    sum["mean_duration_s"] = s.meanSeconds ? nlohmann::ordered_json(*s.meanSeconds) : nullptr;
    sum["p95_duration_s"] = s.p95Seconds ? nlohmann::ordered_json(*s.p95Seconds) : nullptr;
    sum["failures_by_port"] = nlohmann::ordered_json::array();
    for (const PortFailures& p : s.failuresByPort)
        sum["failures_by_port"].push_back({{"port", p.port}, {"count", p.count}});
    sum["failures_by_result"] = nlohmann::ordered_json::array();
    for (const ResultFailures& r : s.failuresByResult)
        sum["failures_by_result"].push_back(
            {{"result_code", r.resultCode}, {"result_meaning", r.meaning}, {"count", r.count},
             {"abort_reason", r.abortReason ? nlohmann::ordered_json(*r.abortReason) : nullptr}});
    return j;
}

void printSummary(const UnitSummary& s, std::FILE* out)
{
    std::fprintf(out, "units: %lld\n", static_cast<long long>(s.units));
    std::fprintf(out, "completed: %lld\n", static_cast<long long>(s.completed));
    std::fprintf(out, "failed: %lld\n", static_cast<long long>(s.failed));
    std::fprintf(out, "interrupted: %lld\n", static_cast<long long>(s.interrupted));
    if (s.passRate)
        std::fprintf(out, "pass rate: %.1f%%\n", *s.passRate * 100.0);
    else
        std::fprintf(out, "pass rate: -\n");
    if (s.meanSeconds && s.p95Seconds) {
        std::fprintf(out, "mean duration: %.1f s\n", *s.meanSeconds);
        std::fprintf(out, "p95 duration: %.1f s\n", *s.p95Seconds);
    }
    if (!s.failuresByPort.empty())
        std::fprintf(out, "failures by port:\n");
    for (const PortFailures& p : s.failuresByPort)
        std::fprintf(out, "  %s: %lld\n", terminalSafe(p.port).c_str(), static_cast<long long>(p.count));
    if (!s.failuresByResult.empty())
        std::fprintf(out, "failures by result:\n");
    for (const ResultFailures& r : s.failuresByResult)
        std::fprintf(out, "  %s: %lld\n",
                     terminalSafe(withAbortReason(std::to_string(r.resultCode) + " " + r.meaning, r.abortReason)).c_str(),
                     static_cast<long long>(r.count));
}
