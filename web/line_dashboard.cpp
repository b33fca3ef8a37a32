// The line's dashboard's answers (line_dashboard.h).
#include "web/line_dashboard.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <cstdio>

#include "central/approvals.h"
#include "central/line_view.h"
#include "output/json_line.h"
#include "output/shown_text.h"
#include "record/record_fields.h"
#include "record/record_json.h"
#include "record/unit_csv.h"
#include "record/utc_time.h"

namespace {

constexpr int64_t kSearchPage = 200;
constexpr int64_t kCsvUnits = 100000;  // an export beyond this is a job for `tarvolo log --central --csv`
constexpr int64_t kMostReleases = 500;  // the page lists the latest approvals
// A search text longer than any station id, selector, lot, release name or label the record holds.
constexpr size_t kLongestSearchText = 256;
constexpr int64_t kLargestResultCode = 2147483647;

// The search table's columns: the record's own field names.
constexpr const char* kSearchFields[] = {
    "started_utc", "station_id", "port_selector", "outcome", "result_code", "result_meaning", "duration_ms",
    "lot", "operator", "label", "attempt", "release_file", "attempt_uuid"};

using Json = nlohmann::ordered_json;

WebAnswer json(const Json& body, int status = 200)
{
    return {status, jsonLine(body), "application/json", ""};
}

WebAnswer badRequest(const std::string& why) { return json(Json{{"error", why}}, 400); }

std::string param(const WebQuery& q, const char* name)
{
    const auto it = q.find(name);
    return it == q.end() ? std::string() : it->second;
}

// A time from the page, normalised to the record's form; empty stays empty.
bool utcParam(const WebQuery& q, const char* name, std::string* utc, std::string* error)
{
    const std::string text = param(q, name);
    UtcTime t;
    if (text.empty())
        return true;
    if (!parseUtc(text, &t))
        return (*error = std::string(name) + ": not a UTC time such as 2026-12-07T08:00:00Z", false);
    *utc = formatUtc(t);
    return true;
}

struct Period {
    LinePeriod range;
    double hours = 0;  // its length, to now when it has no end; 0 when it has no start
};

bool periodOf(const WebQuery& q, Period* p, std::string* error)
{
    const std::string preset = param(q, "period");
    const UtcTime now = std::chrono::system_clock::now();
    if (!preset.empty() || (param(q, "from").empty() && param(q, "to").empty())) {
        const int hours = preset == "24h" ? 24 : preset == "7d" ? 168 : preset == "8h" || preset.empty() ? 8 : 0;
        if (hours == 0)
            return (*error = "period: one of 8h, 24h, 7d", false);
        p->range.fromUtc = formatUtc(now - std::chrono::hours(hours));
        p->hours = hours;
        return true;
    }
    if (!utcParam(q, "from", &p->range.fromUtc, error) || !utcParam(q, "to", &p->range.toUtc, error))
        return false;
    UtcTime from, to = now;
    if (!p->range.toUtc.empty())
        parseUtc(p->range.toUtc, &to);
    if (!p->range.fromUtc.empty() && parseUtc(p->range.fromUtc, &from) && to > from)
        p->hours = std::chrono::duration<double>(to - from).count() / 3600.0;
    return true;
}

// A text the database can compare as it is: UTF-8 without NUL (which PostgreSQL refuses, and a
// refused query would cost the page its connection), and bounded.
bool textParam(const WebQuery& q, const char* name, std::string* value, std::string* error)
{
    *value = param(q, name);
    if (value->size() <= kLongestSearchText && validUtf8(*value) && value->find('\0') == std::string::npos)
        return true;
    return (*error = std::string(name) + ": a text of at most " + std::to_string(kLongestSearchText) +
                     " bytes of UTF-8",
            false);
}

// An outcome word or a result code within the record's range.
bool resultParam(const WebQuery& q, std::string* result, std::string* error)
{
    *result = param(q, "result");
    const bool digits = !result->empty() && result->find_first_not_of("0123456789") == std::string::npos;
    if (result->empty() || *result == "completed" || *result == "failed" || *result == "interrupted" ||
        *result == "port-lost" || (digits && result->size() <= 10 && std::stoll(*result) <= kLargestResultCode))
        return true;
    return (*error = "result: completed, failed, interrupted, port-lost or a result code from 0 to " +
                     std::to_string(kLargestResultCode),
            false);
}

bool searchOf(const WebQuery& q, UnitSearch* s, std::string* error)
{
    if (!utcParam(q, "from", &s->period.fromUtc, error) || !utcParam(q, "to", &s->period.toUtc, error) ||
        !resultParam(q, &s->result, error))
        return false;
    const std::pair<const char*, std::string*> texts[] = {{"station", &s->station}, {"port", &s->port},
                                                          {"lot", &s->lot},         {"release", &s->release},
                                                          {"attempt", &s->attemptUuid}, {"label", &s->label}};
    for (const auto& [name, value] : texts)
        if (!textParam(q, name, value, error))
            return false;
    const std::string offset = param(q, "offset");
    if (offset.size() > 9 || offset.find_first_not_of("0123456789") != std::string::npos)
        return (*error = "offset: a count of units", false);
    s->offset = offset.empty() ? 0 : std::stoll(offset);
    return true;
}

Json figuresJson(const LineFigures& f, double hours)
{
    return {{"key", f.key}, {"units", f.units}, {"completed", f.completed}, {"failed", f.failed},
            {"interrupted", f.interrupted}, {"pass_rate", f.passRate ? Json(*f.passRate) : Json()},
            {"per_hour", hours > 0 ? Json(std::round(f.units / hours * 10) / 10) : Json()}};
}

Json stationJson(const LineStation& s)
{
    return {{"station_id", s.stationId}, {"state", s.state()}, {"last_heard_utc", s.lastHeardUtc},
            {"silent_s", s.silentSeconds}, {"tool_version", s.toolVersion}, {"run_started_utc", s.runStartedUtc},
            {"operator", s.operatorName}, {"lot", s.lot}, {"release_file", s.releaseFile},
            {"run_ending", s.runEnding},
            {"clock_ahead_s", s.clockAheadSeconds ? Json(*s.clockAheadSeconds) : Json()},
            {"clock_off", s.clockOff()}};
}

Json releaseJson(const ReleaseApproval& r)
{
    return {{"state", r.revokedUtc.empty() ? "approved" : "revoked"}, {"release_file", r.releaseFile},
            {"product_id", r.productId}, {"sha256", r.sha256}, {"approved_by", r.approvedBy},
            {"approved_utc", r.approvedUtc}, {"revoked_by", r.revokedBy}, {"revoked_utc", r.revokedUtc}};
}

Json unitRow(const UnitRecord& unit)
{
    const Json all = fieldsToJson(unitFields(unit));
    Json row = Json::object();
    for (const char* name : kSearchFields)
        row[name] = all.contains(name) ? all[name] : Json();
    return row;
}

}  // namespace

LineDashboard::LineDashboard(CentralTarget target, std::unique_ptr<OdbcConnection> db)
    : target_(std::move(target)), db_(std::move(db))
{
}

OdbcConnection* LineDashboard::connection(OdbcError* error)
{
    if (!db_)
        db_ = connectCentral(target_, 5, error);
    return db_.get();
}

// The database's own words stay with the operator (the dashboard's standard error): a browser
// is told only that the database did not answer.
WebAnswer LineDashboard::failed(const OdbcError& error)
{
    db_.reset();
    std::fprintf(stderr, "tarvolo dashboard: the central database: %s\n", terminalSafe(error.text()).c_str());
    return json(Json{{"error", "the central database did not answer; the page asks again shortly"}}, 503);
}

// The one path to the database: one request at a time on the connection, made again when a
// failure dropped it.
bool LineDashboard::ask(const Question& question, WebAnswer* refused)
{
    std::lock_guard<std::mutex> lock(mutex_);
    OdbcError e;
    OdbcConnection* db = connection(&e);
    // One transaction for the question's statements: one statement time-out set for them all.
    if (db && db->begin(&e)) {
        if (question(*db, &e) && db->commit(&e))
            return true;
        db->rollback();
    }
    *refused = failed(e);
    return false;
}

bool LineDashboard::findUnits(const WebQuery& query, const SearchPage& page, UnitSearch* search,
                              std::vector<UnitRecord>* found, WebAnswer* refused)
{
    std::string why;
    if (!searchOf(query, search, &why))
        return (*refused = badRequest(why), false);
    if (!page.fromOffset)
        search->offset = 0;
    search->limit = page.limit;
    return ask([&](OdbcConnection& db, OdbcError* e) { return searchUnits(db, *search, found, e); }, refused);
}

WebAnswer LineDashboard::line(const WebQuery& query)
{
    Period period;
    std::string why;
    if (!periodOf(query, &period, &why))
        return badRequest(why);
    std::vector<LineStation> stations;
    LineFigureSet figures;
    std::vector<ReleaseApproval> releases;
    WebAnswer refused;
    if (!ask([&](OdbcConnection& db, OdbcError* e) {
            if (!lineStations(db, &stations, e))
                return false;
            period.range.byReceived = clockOffStations(stations);
            return lineFigures(db, period.range, &figures, e) &&
                   fetchApprovals(db, &releases, e, kMostReleases);
        }, &refused))
        return refused;
    Json body = {{"now_utc", nowUtc()},
                 {"period", {{"from_utc", period.range.fromUtc}, {"to_utc", period.range.toUtc}}},
                 {"silent_after_s", kStationSilentSeconds}, {"clock_off_after_s", kStationClockOffSeconds}};
    body["stations"] = Json::array();
    for (const LineStation& s : stations)
        body["stations"].push_back(stationJson(s));
    body["figures"] = {{"line", figuresJson(figures.line, period.hours)}, {"stations", Json::array()},
                       {"lots", Json::array()}, {"lots_left_off", figures.lotsLeftOff}};
    for (const LineFigures& f : figures.stations)
        body["figures"]["stations"].push_back(figuresJson(f, period.hours));
    for (const LineFigures& f : figures.lots)
        body["figures"]["lots"].push_back(figuresJson(f, period.hours));
    body["releases"] = Json::array();
    for (const ReleaseApproval& r : releases)
        body["releases"].push_back(releaseJson(r));
    return json(body);
}

WebAnswer LineDashboard::units(const WebQuery& query)
{
    UnitSearch search;
    std::vector<UnitRecord> found;
    WebAnswer refused;
    // One more than a page tells whether another page follows.
    if (!findUnits(query, {kSearchPage + 1, true}, &search, &found, &refused))
        return refused;
    const bool more = static_cast<int64_t>(found.size()) > kSearchPage;
    if (more)
        found.pop_back();
    Json rows = Json::array();
    for (const UnitRecord& u : found)
        rows.push_back(unitRow(u));
    return json(Json{{"offset", search.offset}, {"more", more}, {"units", rows}});
}

WebAnswer LineDashboard::csv(const WebQuery& query)
{
    UnitSearch search;
    std::vector<UnitRecord> found;
    WebAnswer refused;
    if (!findUnits(query, {kCsvUnits, false}, &search, &found, &refused))
        return refused;
    return {200, unitCsv(found), "text/csv; charset=utf-8", "tarvolo-units.csv"};
}
