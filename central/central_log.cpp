// Reading the central database back (central_log.h).
#include "central/central_log.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <cstring>

#include "central/shipped_columns.h"
#include "central/sql_where.h"
#include "record/record_fields.h"

namespace {

SqlWhere whereOf(const CentralQuery& q)
{
    SqlWhere w;
    w.add("started_utc >= ?", q.filter.sinceUtc);
    w.add("(port_selector = ? OR device = ?)", q.filter.port, 2);
    if (q.filter.notCompleted)
        w.sql += " AND outcome <> 'completed'";
    w.add("label = ?", q.filter.label);
    w.add("station_id = ?", q.stationId);
    return w;
}


std::optional<double> real(const OdbcValue& v)
{
    return v ? std::optional<double>(std::strtod(v->c_str(), nullptr)) : std::nullopt;
}

// Counts, mean and p95 of one row: count, completed, failed, interrupted, mean ms, p95 ms.
UnitSummary figures(const OdbcRow& r, size_t from)
{
    UnitSummary s;
    readOutcomeCounts(r, from, &s);
    if (const auto mean = real(r[from + 4]))
        s.meanSeconds = *mean / 1000.0;
    if (r[from + 5])
        s.p95Seconds = static_cast<double>(sqlNumber(r[from + 5])) / 1000.0;
    return s;
}

// The counts, then mean and p95 duration.
std::string figureColumns()
{
    return std::string(kSqlOutcomeCounts) +
           ", avg(duration_ms), percentile_disc(0.95) WITHIN GROUP (ORDER BY duration_ms)";
}

// One scan of the failed units grouped by port and result together; the two lists are summed
// from it (few groups), most first, ties in key order as the local summary has them.
bool failures(OdbcConnection& db, const SqlWhere& w, UnitSummary* s, OdbcError* error)
{
    std::vector<OdbcRow> rows;
    if (!db.exec("SELECT port_selector, result_code, abort_reason, min(result_meaning), count(*) FROM units" + w.sql +
                     " AND outcome IN ('failed', 'port-lost') GROUP BY 1, 2, 3",
                 w.params, error, &rows))
        return false;
    std::map<std::string, int64_t> byPort;
    std::map<std::pair<int64_t, int64_t>, ResultFailures> byResult;
    for (const OdbcRow& r : rows) {
        const int64_t count = sqlNumber(r[4]);
        byPort[r[0].value_or("")] += count;
        const std::pair<int64_t, int64_t> key{sqlNumber(r[1]), r[2] ? sqlNumber(r[2]) : -1};
        auto found = byResult.try_emplace(key, ResultFailures{key.first, r[3].value_or(""), 0, std::nullopt});
        if (r[2])
            found.first->second.abortReason = sqlNumber(r[2]);
        found.first->second.count += count;
    }
    for (const auto& [port, count] : byPort)
        s->failuresByPort.push_back({port, count});
    for (const auto& [key, row] : byResult)
        s->failuresByResult.push_back(row);
    auto mostFirst = [](const auto& a, const auto& b) { return a.count > b.count; };
    std::stable_sort(s->failuresByPort.begin(), s->failuresByPort.end(), mostFirst);
    std::stable_sort(s->failuresByResult.begin(), s->failuresByResult.end(), mostFirst);
    return true;
}

}  // namespace

std::string centralUnitColumns()
{
    std::string names;
    for (const ShippedColumn& c : kShippedUnitColumns)
        names += std::string(names.empty() ? "" : ", ") + c.name;
    return names;
}

bool centralUnitFromRow(const OdbcRow& r, UnitRecord* unit, std::string* why)
{
    FieldMap fields;
    size_t i = 0;
    for (const ShippedColumn& c : kShippedUnitColumns) {
        const OdbcValue& v = r[i++];
        if (!v)
            fields[c.name] = FieldValue();
        else if (std::strcmp(c.type, "bigint") == 0)
            fields[c.name] = sqlNumber(v);
        else
            fields[c.name] = *v;
    }
    return unitFromFields(fields, unit, why);
}

bool centralUnitsFromRows(const std::vector<OdbcRow>& rows, std::vector<UnitRecord>* units, OdbcError* error)
{
    for (const OdbcRow& r : rows) {
        UnitRecord unit;
        std::string why;
        if (!centralUnitFromRow(r, &unit, &why)) {
            *error = {"", "a central unit row: " + why};
            return false;
        }
        units->push_back(std::move(unit));
    }
    return true;
}

// Where the latest `limit` units begin: the key (started_utc, attempt_uuid) of the oldest of
// them, or none when fewer matched (the listing then starts at the first).
bool firstListed(OdbcConnection& db, const CentralQuery& query, OdbcRow* key, OdbcError* error)
{
    SqlWhere w = whereOf(query);
    w.params.push_back(std::to_string(query.limit - 1));
    std::vector<OdbcRow> rows;
    if (!db.exec("SELECT started_utc, attempt_uuid FROM units" + w.sql +
                     " ORDER BY started_utc DESC, attempt_uuid DESC OFFSET CAST(? AS bigint) LIMIT 1",
                 w.params, error, &rows))
        return false;
    if (!rows.empty())
        *key = rows.front();
    return true;
}

bool centralUnitPages(OdbcConnection& db, const CentralQuery& query, const UnitPage& page, OdbcError* error)
{
    OdbcRow after;
    if (!firstListed(db, query, &after, error))
        return false;
    bool first = true;
    for (int64_t listed = 0; listed < query.limit;) {
        SqlWhere w = whereOf(query);
        if (!after.empty()) {
            w.sql += first ? " AND (started_utc, attempt_uuid) >= (?, ?)" : " AND (started_utc, attempt_uuid) > (?, ?)";
            w.params.push_back(after[0]);
            w.params.push_back(after[1]);
        }
        w.params.push_back(std::to_string(std::min(kCentralPageUnits, query.limit - listed)));
        std::vector<OdbcRow> rows;
        if (!db.exec("SELECT " + centralUnitColumns() + ", started_utc, attempt_uuid FROM units" + w.sql +
                         " ORDER BY started_utc, attempt_uuid LIMIT CAST(? AS bigint)",
                     w.params, error, &rows))
            return false;
        if (rows.empty())
            break;
        after = {rows.back()[rows.back().size() - 2], rows.back().back()};
        std::vector<UnitRecord> units;
        if (!centralUnitsFromRows(rows, &units, error))
            return false;
        listed += static_cast<int64_t>(units.size());
        page(units);
        first = false;
    }
    return true;
}

bool centralSummary(OdbcConnection& db, const CentralQuery& query, UnitSummary* summary,
                    std::vector<StationSummary>* stations, OdbcError* error)
{
    const SqlWhere w = whereOf(query);
    // Sorting a million durations for the p95 stays in memory: a setting of this transaction
    // only (through a pooler the next transaction may run on another server connection).
    std::vector<OdbcRow> rows;
    if (!db.begin(error))
        return false;
    const bool ok = db.exec("SET LOCAL work_mem = '256MB'", error) &&
                    db.exec(std::string("SELECT GROUPING(station_id), station_id, ") + figureColumns() +
                                " FROM units" + w.sql + " GROUP BY GROUPING SETS ((), (station_id)) ORDER BY 1 DESC, 2",
                            w.params, error, &rows) &&
                    db.commit(error);
    if (!ok) {
        db.rollback();
        return false;
    }
    for (const OdbcRow& r : rows) {
        if (sqlNumber(r[0]) == 1)
            *summary = figures(r, 2);
        else
            stations->push_back({r[1].value_or(""), figures(r, 2)});
    }
    return failures(db, w, summary, error);
}
