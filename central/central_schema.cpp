// Creating and migrating the central tables and roles (central_schema.h).
#include "central/central_schema.h"

#include <cctype>
#include <initializer_list>
#include <vector>

#include "central/shipped_columns.h"
#include "central/units_partitions.h"

namespace {

constexpr const char* kTables = R"sql(
CREATE TABLE IF NOT EXISTS stations (
  station_id text PRIMARY KEY,
  first_heard timestamptz NOT NULL DEFAULT now(),
  last_heard timestamptz NOT NULL DEFAULT now(),
  tool_version text NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS runs (run_uuid text PRIMARY KEY, received timestamptz NOT NULL DEFAULT clock_timestamp());
CREATE TABLE IF NOT EXISTS run_ends (run_uuid text PRIMARY KEY, received timestamptz NOT NULL DEFAULT clock_timestamp());
CREATE TABLE IF NOT EXISTS releases (
  sha256 text NOT NULL, product_id text NOT NULL, release_file text NOT NULL DEFAULT '',
  approved_by text NOT NULL, approved_utc text NOT NULL, revoked_by text, revoked_utc text,
  PRIMARY KEY (sha256, product_id));
CREATE TABLE IF NOT EXISTS revocation_lists (
  sequence bigint PRIMARY KEY, list text NOT NULL, signature text NOT NULL, uploaded_utc text NOT NULL);
)sql";

constexpr const char* kIndexes = R"sql(
CREATE INDEX IF NOT EXISTS units_by_start ON units (started_utc);
CREATE INDEX IF NOT EXISTS units_by_station ON units (station_id, started_utc);
CREATE INDEX IF NOT EXISTS units_by_port ON units (port_selector);
-- The summary's two scans read these alone (index-only), not the wide rows.
CREATE INDEX IF NOT EXISTS units_figures ON units (station_id, duration_ms) INCLUDE (outcome, started_utc);
CREATE INDEX IF NOT EXISTS units_failures ON units (port_selector, result_code, abort_reason)
  INCLUDE (result_meaning, station_id, started_utc) WHERE outcome IN ('failed', 'port-lost');
-- The dashboard: a period's figures per station and lot from the index alone, a unit search by
-- lot, label or release newest first, and each station's latest run.
CREATE INDEX IF NOT EXISTS units_period ON units (started_utc) INCLUDE (station_id, lot, outcome);
CREATE INDEX IF NOT EXISTS units_by_lot ON units (lot, started_utc);
CREATE INDEX IF NOT EXISTS units_by_label_time ON units (label, started_utc);
CREATE INDEX IF NOT EXISTS units_by_release ON units (release_sha256, started_utc);
-- A station's units by the server's receive time: its latest ones tell its clock's offset, and
-- a station whose clock is off is counted in a period by when its units arrived.
CREATE INDEX IF NOT EXISTS units_by_station_received ON units (station_id, received);
CREATE INDEX IF NOT EXISTS runs_by_station ON runs (station_id, started_utc);
)sql";

template <size_t N>
std::string addColumns(const char* table, const ShippedColumn (&columns)[N])
{
    std::string sql;
    for (const ShippedColumn& c : columns)
        sql += std::string("ALTER TABLE ") + table + " ADD COLUMN IF NOT EXISTS " + c.name + " " + c.type + ";\n";
    return sql;
}

bool plainName(const std::string& name)
{
    if (name.empty() || name.size() > 63 || !(std::islower(static_cast<unsigned char>(name[0])) || name[0] == '_'))
        return false;
    for (char c : name)
        if (!(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '_'))
            return false;
    return true;
}
bool plainNames(std::initializer_list<std::string> names, OdbcError* error)
{
    for (const std::string& name : names) {
        if (!plainName(name)) {
            *error = {"", "a role name must be lower-case letters, digits and _, not '" + name + "'"};
            return false;
        }
    }
    return true;
}

std::string createRole(const std::string& name, const char* login)
{
    return "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = '" + name +
           "') THEN CREATE ROLE " + name + " " + login + "; END IF; END $$;\n";
}

// Which station the role logged in may write as: NULL for a role not in station_logins; and
// which station a run is of: NULL for a run the server does not hold (one it refused, whose
// units still ship). Definer's functions, so that no station reads the others' logins or runs;
// their search path is pinned to the schema the tables are in.
constexpr const char* kStationOf = R"sql(
CREATE TABLE IF NOT EXISTS station_logins (login name PRIMARY KEY, station_id text NOT NULL);
DO $$ BEGIN EXECUTE format('CREATE OR REPLACE FUNCTION tarvolo_station_of(login name) RETURNS text '
  'LANGUAGE sql STABLE SECURITY DEFINER SET search_path = %I, pg_temp AS '
  '''SELECT station_id FROM station_logins WHERE station_logins.login = $1''', current_schema());
EXECUTE format('CREATE OR REPLACE FUNCTION tarvolo_run_station(run text) RETURNS text '
  'LANGUAGE sql STABLE SECURITY DEFINER SET search_path = %I, pg_temp AS '
  '''SELECT station_id FROM runs WHERE runs.run_uuid = $1''', current_schema()); END $$;
)sql";

// Worked out once per statement (an init plan), not once per row.
constexpr const char* kMine = "(SELECT tarvolo_station_of(current_user))";

// Every role keeps what its grants give (one permissive policy for all), and the station group
// is narrowed by a restrictive one: `rows` it may see, update or conflict with, `written` rows
// it may insert or leave after an update.
std::string rowRule(const char* table, const std::string& group, const std::string& rows, const std::string& written)
{
    const std::string t = table;
    return "ALTER TABLE " + t + " ENABLE ROW LEVEL SECURITY;\n"
           "DROP POLICY IF EXISTS tarvolo_any ON " + t + ";\n"
           "CREATE POLICY tarvolo_any ON " + t + " USING (true) WITH CHECK (true);\n"
           "DROP POLICY IF EXISTS tarvolo_own_station ON " + t + ";\n"
           "CREATE POLICY tarvolo_own_station ON " + t + " AS RESTRICTIVE TO " + group + " USING (" + rows +
           ") WITH CHECK (" + written + ");\n";
}

std::string ownRun(const char* table)
{
    return std::string("EXISTS (SELECT 1 FROM runs r WHERE r.run_uuid = ") + table +
           ".run_uuid AND r.station_id = " + kMine + ")";
}

std::string rowRules(const std::string& group)
{
    const std::string own = std::string("station_id = ") + kMine;
    // A heartbeat is the server's now(): a station can date itself neither ahead (to look
    // alive while silent) nor back (to look silent).
    const std::string heartbeat =
        own + " AND last_heard BETWEEN now() - interval '1 minute' AND now() + interval '1 minute'";
    return rowRule("stations", group, own, heartbeat) + rowRule("runs", group, own, own) +
           rowRule("run_ends", group, ownRun("run_ends"), ownRun("run_ends")) +
           rowRule("units", group, own,
                   own + " AND coalesce(tarvolo_run_station(run_uuid), " + kMine + ") = " + kMine);
}

// What the shipper and the heartbeat send, and no more: ON CONFLICT needs SELECT on the key it
// names, DO UPDATE on what it reads and sets; a run end's rule reads its run's station. A
// station reads the units it ships (its own rows only): one the server holds already is
// compared with what the station has.
std::string grants(const CentralRoles& r)
{
    const std::string s = r.station;
    return createRole(s, "NOLOGIN") + "ALTER ROLE " + s + " NOLOGIN;\n" + createRole(r.reader, "LOGIN") +
           kStationOf + rowRules(s) +
           "REVOKE ALL ON stations, runs, run_ends, units, releases, revocation_lists, station_logins FROM " + s +
           ", " + r.reader + ";\n"
           "GRANT INSERT ON runs, run_ends, units TO " + s + ";\n"
           "GRANT INSERT (station_id, last_heard, tool_version) ON stations TO " + s + ";\n"
           "GRANT SELECT (station_id, last_heard, tool_version) ON stations TO " + s + ";\n"
           "GRANT UPDATE (last_heard, tool_version) ON stations TO " + s + ";\n"
           "GRANT SELECT (run_uuid, station_id) ON runs TO " + s + ";\n"
           "GRANT SELECT (run_uuid) ON run_ends TO " + s + ";\n"
           "GRANT SELECT (" + shippedNames(kShippedUnitColumns) + ") ON units TO " + s + ";\n"
           "GRANT SELECT ON releases, revocation_lists TO " + s + ";\n"
           "GRANT SELECT ON stations, runs, run_ends, units, releases, revocation_lists, station_logins TO " +
           r.reader + ";\n";
}

bool inTransaction(OdbcConnection& db, const std::string& sql, OdbcError* error)
{
    if (!db.begin(error))
        return false;
    if (db.exec(sql, error) && db.commit(error))
        return true;
    db.rollback();
    return false;
}

// The role when missing, in the group, and its station; refused when it has another already.
bool mapLogin(OdbcConnection& db, const CentralRoles& roles, const std::string& stationId, const std::string& login,
              bool* created, OdbcError* error)
{
    std::vector<OdbcRow> rows;
    if (!db.exec("SELECT 1 FROM pg_roles WHERE rolname = ?", {login}, error, &rows))
        return false;
    *created = rows.empty();
    rows.clear();
    if (!db.exec(createRole(login, "LOGIN") + "GRANT " + roles.station + " TO " + login + ";\n", error) ||
        !db.exec("INSERT INTO station_logins (login, station_id) VALUES (?, ?) ON CONFLICT (login) DO NOTHING",
                 {login, stationId}, error) ||
        !db.exec("SELECT station_id FROM station_logins WHERE login = ?", {login}, error, &rows))
        return false;
    const std::string mapped = rows.empty() || rows[0].empty() ? "" : rows[0][0].value_or("");
    if (mapped == stationId)
        return true;
    *error = {"", "the login " + login + " already writes as station '" + mapped + "', not '" + stationId + "'"};
    return false;
}

}  // namespace

bool initCentralSchema(OdbcConnection& db, OdbcError* error)
{
    const std::string sql = std::string(kTables) + unitsTableSql() + addColumns("units", kShippedUnitColumns) +
                            addColumns("runs", kShippedRunColumns) + addColumns("run_ends", kShippedRunEndColumns) +
                            unitsMonthsAheadSql() + kIndexes;
    return inTransaction(db, sql, error);
}

bool initCentralRoles(OdbcConnection& db, const CentralRoles& roles, OdbcError* error)
{
    return plainNames({roles.station, roles.reader}, error) && inTransaction(db, grants(roles), error);
}

std::string defaultStationLogin(const CentralRoles& roles, const std::string& stationId)
{
    std::string login = roles.station + "_";
    for (char c : stationId) {
        const char low = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        login += (low >= 'a' && low <= 'z') || (low >= '0' && low <= '9') ? low : '_';
    }
    return login.substr(0, 63);
}

bool initStationLogin(OdbcConnection& db, const CentralRoles& roles, const std::string& stationId,
                      const std::string& login, bool* created, OdbcError* error)
{
    if (!plainNames({roles.station, roles.reader, login}, error))
        return false;
    if (login == roles.station || login == roles.reader) {
        *error = {"", "a station's login must be a role of its own, not " + login};
        return false;
    }
    if (stationId.empty()) {
        *error = {"", "a station id cannot be empty"};
        return false;
    }
    if (!db.begin(error))
        return false;
    if (mapLogin(db, roles, stationId, login, created, error) && db.commit(error))
        return true;
    db.rollback();
    return false;
}
