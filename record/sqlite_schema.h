// The tables of a SQLite production record, version by version (docs/production-record.md).
// Each step takes the tables from the version before it to its own; a writer runs the steps
// above the file's PRAGMA user_version in one transaction. A new version only adds.
#ifndef TARVOLO_RECORD_SQLITE_SCHEMA_H
#define TARVOLO_RECORD_SQLITE_SCHEMA_H

#include "record/production_record.h"

// PRAGMA application_id of a production record: "TVLR".
constexpr int kRecordApplicationId = 0x54564C52;

// Schema steps, each taking the tables from the version before it to `version`.
struct Migration {
    int version;
    const char* sql;
};

inline constexpr Migration kMigrations[] = {
    {1, R"sql(
CREATE TABLE runs (
  run_id INTEGER PRIMARY KEY AUTOINCREMENT,
  station_id TEXT NOT NULL, operator TEXT NOT NULL, lot TEXT NOT NULL,
  started_utc TEXT NOT NULL, ended_utc TEXT,
  release_file TEXT NOT NULL, release_sha256 TEXT NOT NULL, file_product_id TEXT NOT NULL,
  mode TEXT NOT NULL, speed INTEGER NOT NULL, port_selectors TEXT NOT NULL,
  tool_version TEXT NOT NULL, tool_sha256 TEXT NOT NULL,
  units_done INTEGER NOT NULL, units_failed INTEGER NOT NULL,
  ending TEXT, exit_code INTEGER);
CREATE TABLE units (
  unit_id INTEGER PRIMARY KEY,
  run_id INTEGER NOT NULL REFERENCES runs(run_id),
  sequence INTEGER NOT NULL,
  station_id TEXT NOT NULL, operator TEXT NOT NULL, lot TEXT NOT NULL,
  port_selector TEXT NOT NULL, device TEXT NOT NULL,
  usb_id TEXT NOT NULL, usb_serial TEXT NOT NULL, usb_location TEXT NOT NULL,
  started_utc TEXT NOT NULL, ended_utc TEXT NOT NULL, duration_ms INTEGER NOT NULL,
  release_file TEXT NOT NULL, release_sha256 TEXT NOT NULL, file_product_id TEXT NOT NULL,
  handset_product_id TEXT, handset_download_code TEXT, handset_block_size INTEGER,
  handset_blank_byte INTEGER, handset_checksum_kind TEXT,
  mode TEXT NOT NULL, speed INTEGER NOT NULL,
  result_code INTEGER NOT NULL, result_meaning TEXT NOT NULL, outcome TEXT NOT NULL,
  expected_checksum INTEGER, reported_checksum INTEGER,
  retries_exchange INTEGER NOT NULL, retries_erase INTEGER NOT NULL,
  retries_blocks INTEGER NOT NULL, retries_checksum INTEGER NOT NULL,
  retries_abort INTEGER NOT NULL,
  tool_version TEXT NOT NULL, tool_sha256 TEXT NOT NULL,
  UNIQUE (run_id, sequence));
CREATE INDEX units_by_start ON units (started_utc);
CREATE INDEX units_by_port ON units (port_selector);
CREATE INDEX units_by_device ON units (device);
)sql"},
    {2, R"sql(
ALTER TABLE units ADD COLUMN abort_reason INTEGER;
ALTER TABLE units ADD COLUMN unsent_bytes INTEGER;
)sql"},
    // Rows written before this step get ids of their own start time, so that every row of a
    // record has one and ids sort like the rows (tarvolo_uuid7 is the writer's, uuid7.h).
    {3, R"sql(
ALTER TABLE runs ADD COLUMN run_uuid TEXT;
ALTER TABLE units ADD COLUMN attempt_uuid TEXT;
ALTER TABLE units ADD COLUMN parameter_record TEXT;
UPDATE runs SET run_uuid = tarvolo_uuid7(started_utc);
UPDATE units SET attempt_uuid = tarvolo_uuid7(started_utc);
CREATE UNIQUE INDEX runs_by_uuid ON runs (run_uuid);
CREATE UNIQUE INDEX units_by_attempt ON units (attempt_uuid);
)sql"},
    // The USB adapter's driver and latency timer, and the unit's scanned label with the
    // attempt it was (a unit flashed again after a failure keeps its label).
    {4, R"sql(
ALTER TABLE units ADD COLUMN adapter_driver TEXT;
ALTER TABLE units ADD COLUMN adapter_latency_ms INTEGER;
ALTER TABLE units ADD COLUMN label TEXT;
ALTER TABLE units ADD COLUMN attempt INTEGER;
CREATE INDEX units_by_label ON units (label);
)sql"},
    // What the central database has confirmed, and what it refused for its data
    // (central_ledger.h): the record stays the one place a shipper starts from.
    {5, R"sql(
CREATE TABLE central_confirmed (attempt_uuid TEXT PRIMARY KEY, confirmed_utc TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE central_runs (run_uuid TEXT PRIMARY KEY, ended INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE central_quarantine (
  attempt_uuid TEXT PRIMARY KEY, quarantined_utc TEXT NOT NULL, sqlstate TEXT NOT NULL,
  message TEXT NOT NULL) WITHOUT ROWID;
)sql"},
    // A run the central database refused for its data, and a unit it holds already with other
    // content (a conflict: the names of the columns that differ, comma-separated). Both wait
    // here, out of the backlog, for someone to look.
    {6, R"sql(
CREATE TABLE central_quarantined_runs (
  run_uuid TEXT PRIMARY KEY, quarantined_utc TEXT NOT NULL, sqlstate TEXT NOT NULL,
  message TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE central_conflicts (
  attempt_uuid TEXT PRIMARY KEY, found_utc TEXT NOT NULL, differing TEXT NOT NULL) WITHOUT ROWID;
)sql"},
    // The capture of the line a station kept for the unit (a failed one, or every one with
    // --capture-all), relative to the record's folder.
    {7, R"sql(
ALTER TABLE units ADD COLUMN capture TEXT;
)sql"},
    // Who signed the unit's release: the trusted key's id and the release name its trusted
    // comment gives. On the unit, like the release file and digest it already repeats, so a
    // unit's row says alone what it got; NULL before this step and for an unsigned release.
    {8, R"sql(
ALTER TABLE units ADD COLUMN signing_key_id TEXT;
ALTER TABLE units ADD COLUMN signed_release TEXT;
)sql"},
};
static_assert(sizeof kMigrations / sizeof kMigrations[0] == kRecordSchemaVersion,
              "one migration per schema version");

#endif
