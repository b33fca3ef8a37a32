// Creating and migrating the central tables and roles (central_schema.h).
#include "central/central_schema.h"

#include <cctype>
#include <vector>

#include "central/shipped_columns.h"

namespace {

constexpr const char* kTables = R"sql(
CREATE TABLE IF NOT EXISTS stations (
  station_id text PRIMARY KEY,
  first_heard timestamptz NOT NULL DEFAULT now(),
  last_heard timestamptz NOT NULL DEFAULT now(),
  tool_version text NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS runs (run_uuid text PRIMARY KEY, received timestamptz NOT NULL DEFAULT clock_timestamp());
CREATE TABLE IF NOT EXISTS run_ends (run_uuid text PRIMARY KEY, received timestamptz NOT NULL DEFAULT clock_timestamp());
CREATE TABLE IF NOT EXISTS units (attempt_uuid text PRIMARY KEY, received timestamptz NOT NULL DEFAULT clock_timestamp());
CREATE TABLE IF NOT EXISTS releases (
  sha256 text NOT NULL, product_id text NOT NULL, release_file text NOT NULL DEFAULT '',
  approved_by text NOT NULL, approved_utc text NOT NULL, revoked_by text, revoked_utc text,
  PRIMARY KEY (sha256, product_id));
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

std::string createRole(const std::string& name)
{
    return "DO $$ BEGIN IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = '" + name +
           "') THEN CREATE ROLE " + name + " LOGIN; END IF; END $$;\n";
}

// ON CONFLICT needs SELECT on the key it names; DO UPDATE on what it reads and sets. The
// station's heartbeat is its only update, of its own row's times. A station reads the units
// it ships: one the server holds already is compared with what the station has.
std::string grants(const CentralRoles& r)
{
    const std::string s = r.station;
    return createRole(s) + createRole(r.reader) +
           "REVOKE ALL ON stations, runs, run_ends, units, releases FROM " + s + ", " + r.reader + ";\n"
           "GRANT INSERT ON runs, run_ends, units, stations TO " + s + ";\n"
           "GRANT SELECT (run_uuid) ON runs, run_ends TO " + s + ";\n"
           "GRANT SELECT (" + shippedNames(kShippedUnitColumns) + ") ON units TO " + s + ";\n"
           "GRANT SELECT (station_id, last_heard, tool_version) ON stations TO " + s + ";\n"
           "GRANT UPDATE (last_heard, tool_version) ON stations TO " + s + ";\n"
           "GRANT SELECT ON releases TO " + s + ";\n"
           "GRANT SELECT ON stations, runs, run_ends, units, releases TO " + r.reader + ";\n";
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

}  // namespace

bool initCentralSchema(OdbcConnection& db, OdbcError* error)
{
    const std::string sql = std::string(kTables) + addColumns("units", kShippedUnitColumns) +
                            addColumns("runs", kShippedRunColumns) + addColumns("run_ends", kShippedRunEndColumns) +
                            kIndexes;
    return inTransaction(db, sql, error);
}

bool initCentralRoles(OdbcConnection& db, const CentralRoles& roles, OdbcError* error)
{
    for (const std::string& name : {roles.station, roles.reader}) {
        if (!plainName(name)) {
            *error = {"", "a role name must be lower-case letters, digits and _, not '" + name + "'"};
            return false;
        }
    }
    return inTransaction(db, grants(roles), error);
}
