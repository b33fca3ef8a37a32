// The dashboard's queries (line_view.h).
#include "central/line_view.h"

#include <cctype>
#include <cstdlib>

#include "central/central_log.h"
#include "central/sql_where.h"
#include "output/json_line.h"

namespace {

void addPeriod(SqlWhere& w, const LinePeriod& p)
{
    w.add("started_utc >= ?", p.fromUtc);
    w.add("started_utc < ?", p.toUtc);
}

// Where a period's units come from: units itself with the period's bounds, or, when some
// stations' clocks are off, those stations' units by the server's receive time and the
// others' by their own start (each part read by its index).
std::string periodUnits(const LinePeriod& p, SqlWhere* w)
{
    if (p.byReceived.empty()) {
        addPeriod(*w, p);
        return "units";
    }
    const std::string stations = jsonLine(nlohmann::json(p.byReceived));
    SqlWhere own, received;
    own.add("coalesce(station_id, '') NOT IN (SELECT json_array_elements_text(CAST(? AS json)))", stations);
    addPeriod(own, p);
    received.add("station_id IN (SELECT json_array_elements_text(CAST(? AS json)))", stations);
    received.add("received >= CAST(? AS timestamptz)", p.fromUtc);
    received.add("received < CAST(? AS timestamptz)", p.toUtc);
    w->params = own.params;
    w->params.insert(w->params.end(), received.params.begin(), received.params.end());
    return "(SELECT * FROM units" + own.sql + " UNION ALL SELECT * FROM units" + received.sql + ") units";
}

// The station's time at each of its latest units' end against the server's receive time
// (tarvolo_uuid_ms reads the start from the id; NULL for an id that is not a UUIDv7), in
// numeric so that no station's value can overflow the page's query.
constexpr const char* kClockAhead =
    " LEFT JOIN LATERAL (SELECT round(greatest(-1e12, least(1e12, max(tarvolo_uuid_ms(u.attempt_uuid)::numeric + "
    "CASE WHEN u.duration_ms BETWEEN 0 AND 86400000 THEN u.duration_ms ELSE 0 END - "
    "extract(epoch FROM u.received) * 1000))) / 1000)::bigint AS ahead_s FROM (SELECT attempt_uuid, duration_ms, "
    "received FROM units WHERE units.station_id = s.station_id ORDER BY received DESC LIMIT 20) u) c ON TRUE";

bool allDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool sha256Text(const std::string& text)
{
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

LineFigures figuresOf(const OdbcRow& r, size_t from)
{
    LineFigures f;
    readOutcomeCounts(r, from, &f);
    return f;
}

}  // namespace

std::string LineStation::state() const
{
    if (!runEnding.empty())
        return "stopped";
    return silentSeconds >= kStationSilentSeconds ? "silent" : "running";
}

bool LineStation::clockOff() const
{
    return clockAheadSeconds && std::llabs(*clockAheadSeconds) > kStationClockOffSeconds;
}

std::vector<std::string> clockOffStations(const std::vector<LineStation>& stations)
{
    std::vector<std::string> off;
    for (const LineStation& s : stations)
        if (s.clockOff())
            off.push_back(s.stationId);
    return off;
}

bool lineStations(OdbcConnection& db, std::vector<LineStation>* stations, OdbcError* error)
{
    std::vector<OdbcRow> rows;
    if (!db.exec("SELECT s.station_id, to_char(s.last_heard AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), "
                 "floor(extract(epoch FROM now() - s.last_heard))::bigint, s.tool_version, r.started_utc, "
                 "r.operator, r.lot, r.release_file, e.ending, c.ahead_s FROM stations s "
                 "LEFT JOIN LATERAL (SELECT * FROM runs WHERE runs.station_id = s.station_id "
                 "ORDER BY started_utc DESC LIMIT 1) r ON TRUE LEFT JOIN run_ends e ON e.run_uuid = r.run_uuid" +
                     std::string(kClockAhead) + " ORDER BY s.station_id LIMIT 1000",
                 {}, error, &rows))
        return false;
    for (const OdbcRow& r : rows) {
        LineStation s;
        s.stationId = r[0].value_or("");
        s.lastHeardUtc = r[1].value_or("");
        s.silentSeconds = sqlNumber(r[2]);
        s.toolVersion = r[3].value_or("");
        s.runStartedUtc = r[4].value_or("");
        s.operatorName = r[5].value_or("");
        s.lot = r[6].value_or("");
        s.releaseFile = r[7].value_or("");
        s.runEnding = r[8] ? (r[8]->empty() ? "ended" : *r[8]) : "";
        if (r[9])
            s.clockAheadSeconds = sqlNumber(r[9]);
        stations->push_back(std::move(s));
    }
    return true;
}

bool lineFigures(OdbcConnection& db, const LinePeriod& period, LineFigureSet* figures, OdbcError* error)
{
    SqlWhere w;
    const std::string from = periodUnits(period, &w);
    w.params.push_back(std::to_string(kMostLots));
    std::vector<OdbcRow> rows;
    // One index-only scan (units_period) for the line, each station and each lot. A line has a
    // few lots a week, but a mistyped lot per unit must not make the page unbounded: the server
    // sends the kMostLots flashed most recently, with how many lots there were.
    if (!db.exec(std::string("SELECT * FROM (SELECT GROUPING(station_id) AS by_station, GROUPING(lot) AS by_lot, "
                             "station_id, lot, ") +
                     kSqlOutcomeCounts +
                     ", row_number() OVER (PARTITION BY GROUPING(station_id), GROUPING(lot) "
                     "ORDER BY max(started_utc) DESC, lot) AS recent, "
                     "count(*) OVER (PARTITION BY GROUPING(station_id), GROUPING(lot)) AS groups FROM " +
                     from + w.sql +
                     " GROUP BY GROUPING SETS ((), (station_id), (lot))) f "
                     "WHERE by_lot = 1 OR recent <= CAST(? AS bigint) ORDER BY by_station, by_lot, station_id, recent",
                 w.params, error, &rows))
        return false;
    for (const OdbcRow& r : rows) {
        const bool byStation = sqlNumber(r[0]) == 0, byLot = sqlNumber(r[1]) == 0;
        LineFigures f = figuresOf(r, 4);
        if (byStation) {
            f.key = r[2].value_or("");
            figures->stations.push_back(std::move(f));
        } else if (byLot) {
            f.key = r[3].value_or("");
            figures->lots.push_back(std::move(f));
            figures->lotsLeftOff = sqlNumber(r[9]) - static_cast<int64_t>(figures->lots.size());
        } else {
            figures->line = std::move(f);
        }
    }
    return true;
}

bool searchUnits(OdbcConnection& db, const UnitSearch& s, std::vector<UnitRecord>* units, OdbcError* error)
{
    SqlWhere w;
    addPeriod(w, s.period);
    w.add("station_id = ?", s.station);
    w.add("(port_selector = ? OR device = ?)", s.port, 2);
    if (allDigits(s.result))
        w.add("result_code = CAST(? AS bigint)", s.result);
    else
        w.add("outcome = ?", s.result);
    w.add("lot = ?", s.lot);
    if (sha256Text(s.release))
        w.add("release_sha256 = lower(?)", s.release);
    else
        w.add("release_file = ?", s.release);
    w.add("attempt_uuid = ?", s.attemptUuid);
    w.add("label = ?", s.label);
    w.params.push_back(std::to_string(s.limit));
    w.params.push_back(std::to_string(s.offset));
    std::vector<OdbcRow> rows;
    if (!db.exec("SELECT " + centralUnitColumns() + " FROM units" + w.sql +
                     " ORDER BY started_utc DESC, attempt_uuid LIMIT CAST(? AS bigint) OFFSET CAST(? AS bigint)",
                 w.params, error, &rows))
        return false;
    return centralUnitsFromRows(rows, units, error);
}
