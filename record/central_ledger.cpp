// The record's side of shipping (central_ledger.h).
#include "record/central_ledger.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "output/file_name.h"
#include "record/production_record.h"
#include "record/sqlite_statement.h"
#include "record/utc_time.h"

namespace {

constexpr int kBusyTimeoutMs = 10000;

std::string textOf(const FieldMap& row, const char* name)
{
    const auto it = row.find(name);
    const std::string* s = it == row.end() ? nullptr : std::get_if<std::string>(&it->second);
    return s ? *s : std::string();
}

int64_t numberOf(const FieldMap& row, const char* name)
{
    const auto it = row.find(name);
    const int64_t* n = it == row.end() ? nullptr : std::get_if<int64_t>(&it->second);
    return n ? *n : 0;
}

}  // namespace

std::vector<std::string> differingColumns(const std::string& differing)
{
    std::vector<std::string> names;
    for (size_t at = 0; at < differing.size();) {
        const size_t comma = std::min(differing.find(',', at), differing.size());
        names.push_back(differing.substr(at, comma - at));
        at = comma + 1;
    }
    return names;
}

std::unique_ptr<CentralLedger> CentralLedger::open(const std::string& path, bool readOnly, std::string* error)
{
    const std::string jsonl = ".jsonl";
    if (path.size() >= jsonl.size() && path.compare(path.size() - jsonl.size(), jsonl.size(), jsonl) == 0) {
        *error = path + " is a JSON Lines record: shipping keeps what the server confirmed in a SQLite "
                        "record (tarvolo log --db " + path + " --export NEW.db makes one)";
        return nullptr;
    }
    // Shipping and listing the quarantine never make a record: a mistyped --db must not leave
    // an empty one behind.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(pathOf(path), ec)) {
        *error = "no production record at " + path;
        return nullptr;
    }
    if (!readOnly && !openSqliteRecord(path, RecordAccess::Write, error))
        return nullptr;  // the record's own open creates or upgrades the tables
    sqlite3* db = nullptr;
    const int flags = readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        *error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    return std::unique_ptr<CentralLedger>(new CentralLedger(db, path));
}

CentralLedger::~CentralLedger() { sqlite3_close_v2(db_); }

bool CentralLedger::fail(const std::string& what, std::string* error) const
{
    *error = path_ + ": " + what + ": " + sqlite3_errmsg(db_);
    return false;
}

bool CentralLedger::exec(const char* sql, std::string* error)
{
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK || fail("cannot write", error);
}

bool CentralLedger::pendingRuns(std::vector<PendingRun>* runs, std::string* error)
{
    SqliteStatement s(db_, "SELECT r.*, c.ended AS central_ended FROM runs r LEFT JOIN central_runs c "
                           "ON c.run_uuid = r.run_uuid WHERE (c.run_uuid IS NULL OR "
                           "(c.ended = 0 AND r.ended_utc IS NOT NULL)) AND NOT EXISTS "
                           "(SELECT 1 FROM central_quarantined_runs q WHERE q.run_uuid = r.run_uuid) "
                           "ORDER BY r.run_id");
    if (!s.ok())
        return fail("cannot read runs", error);
    int step;
    while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
        PendingRun run;
        run.fields = s.row();
        run.ended = !textOf(run.fields, "ended_utc").empty();
        run.begunShipped = !std::holds_alternative<std::monostate>(run.fields["central_ended"]);
        runs->push_back(std::move(run));
    }
    return step == SQLITE_DONE || fail("cannot read runs", error);
}

bool CentralLedger::pendingUnits(int64_t afterUnitId, int limit, std::vector<PendingUnit>* units,
                                 std::string* error)
{
    SqliteStatement s(db_, "SELECT u.*, r.run_uuid FROM units u JOIN runs r ON r.run_id = u.run_id "
                           "WHERE u.unit_id > ?1 "
                           "AND NOT EXISTS (SELECT 1 FROM central_confirmed c WHERE c.attempt_uuid = u.attempt_uuid) "
                           "AND NOT EXISTS (SELECT 1 FROM central_quarantine q WHERE q.attempt_uuid = u.attempt_uuid) "
                           "AND NOT EXISTS (SELECT 1 FROM central_conflicts f WHERE f.attempt_uuid = u.attempt_uuid) "
                           "ORDER BY u.unit_id LIMIT ?2");
    if (!s.ok())
        return fail("cannot read units", error);
    s.bind(1, afterUnitId);
    s.bind(2, int64_t{limit});
    int step;
    while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
        PendingUnit unit;
        unit.fields = s.row();
        unit.unitId = numberOf(unit.fields, "unit_id");
        units->push_back(std::move(unit));
    }
    return step == SQLITE_DONE || fail("cannot read units", error);
}

// One transaction for the batch: what the server committed is remembered together.
bool CentralLedger::confirmUnits(const std::vector<std::string>& attemptUuids, std::string* error)
{
    if (!exec("BEGIN IMMEDIATE", error))
        return false;
    SqliteStatement s(db_, "INSERT OR IGNORE INTO central_confirmed (attempt_uuid, confirmed_utc) VALUES (?1, ?2)");
    bool ok = s.ok();
    const std::string now = nowUtc();
    for (size_t i = 0; ok && i < attemptUuids.size(); ++i) {
        s.bind(1, attemptUuids[i]);
        s.bind(2, now);
        ok = sqlite3_step(s.get()) == SQLITE_DONE;
        sqlite3_reset(s.get());
    }
    if (ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
        return true;
    fail("cannot remember the confirmed units", error);
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool CentralLedger::confirmRun(const std::string& runUuid, bool ended, std::string* error)
{
    SqliteStatement s(db_, "INSERT INTO central_runs (run_uuid, ended) VALUES (?1, ?2) "
                           "ON CONFLICT (run_uuid) DO UPDATE SET ended = max(ended, excluded.ended)");
    if (!s.ok())
        return fail("cannot remember the confirmed run", error);
    s.bind(1, runUuid);
    s.bind(2, int64_t{ended ? 1 : 0});
    return sqlite3_step(s.get()) == SQLITE_DONE || fail("cannot remember the confirmed run", error);
}

bool CentralLedger::quarantine(const std::string& attemptUuid, const std::string& sqlstate,
                               const std::string& message, std::string* error)
{
    return insertHeld("INSERT OR IGNORE INTO central_quarantine (attempt_uuid, quarantined_utc, sqlstate, message) "
                      "VALUES (?1, ?2, ?3, ?4)",
                      {attemptUuid, nowUtc(), sqlstate, message}, "cannot quarantine a unit", error);
}

bool CentralLedger::quarantineRun(const std::string& runUuid, const std::string& sqlstate,
                                  const std::string& message, std::string* error)
{
    return insertHeld("INSERT OR IGNORE INTO central_quarantined_runs (run_uuid, quarantined_utc, sqlstate, "
                      "message) VALUES (?1, ?2, ?3, ?4)",
                      {runUuid, nowUtc(), sqlstate, message}, "cannot quarantine a run", error);
}

bool CentralLedger::conflict(const std::string& attemptUuid, const std::string& differing, std::string* error)
{
    return insertHeld("INSERT OR IGNORE INTO central_conflicts (attempt_uuid, found_utc, differing) "
                      "VALUES (?1, ?2, ?3)",
                      {attemptUuid, nowUtc(), differing}, "cannot remember a conflict", error);
}

bool CentralLedger::insertHeld(const char* sql, const std::vector<std::string>& values, const char* what,
                               std::string* error)
{
    SqliteStatement s(db_, sql);
    if (!s.ok())
        return fail(what, error);
    for (size_t i = 0; i < values.size(); ++i)
        s.bind(static_cast<int>(i + 1), values[i]);
    return sqlite3_step(s.get()) == SQLITE_DONE || fail(what, error);
}

bool CentralLedger::backlog(Backlog* facts, std::string* error)
{
    SqliteStatement s(db_, "SELECT count(*), min(ended_utc), (SELECT count(*) FROM central_quarantine) + "
                           "(SELECT count(*) FROM central_quarantined_runs), (SELECT count(*) FROM central_conflicts) "
                           "FROM units u WHERE "
                           "NOT EXISTS (SELECT 1 FROM central_confirmed c WHERE c.attempt_uuid = u.attempt_uuid) "
                           "AND NOT EXISTS (SELECT 1 FROM central_quarantine q WHERE q.attempt_uuid = u.attempt_uuid) "
                           "AND NOT EXISTS (SELECT 1 FROM central_conflicts f WHERE f.attempt_uuid = u.attempt_uuid)");
    if (!s.ok() || sqlite3_step(s.get()) != SQLITE_ROW)
        return fail("cannot count the units not shipped", error);
    facts->unconfirmed = sqlite3_column_int64(s.get(), 0);
    const unsigned char* oldest = sqlite3_column_text(s.get(), 1);
    facts->oldestEndedUtc = oldest ? reinterpret_cast<const char*>(oldest) : "";
    facts->quarantined = sqlite3_column_int64(s.get(), 2);
    facts->conflicts = sqlite3_column_int64(s.get(), 3);
    SqliteStatement last(db_, "SELECT attempt_uuid, differing FROM central_conflicts "
                              "ORDER BY found_utc DESC, attempt_uuid LIMIT 1");
    if (!last.ok())
        return fail("cannot read the conflicts", error);
    if (sqlite3_step(last.get()) == SQLITE_ROW) {
        const FieldMap row = last.row();
        facts->lastConflict = textOf(row, "attempt_uuid");
        facts->lastDiffering = textOf(row, "differing");
    }
    return true;
}

bool CentralLedger::hasTable(const char* name)
{
    SqliteStatement probe(db_, "SELECT 1 FROM sqlite_master WHERE name = ?1");
    if (!probe.ok())
        return false;
    probe.bind(1, std::string(name));
    return sqlite3_step(probe.get()) == SQLITE_ROW;
}

bool CentralLedger::readHeld(const char* sql, HeldKind kind, std::vector<HeldRow>* rows, std::string* error)
{
    SqliteStatement s(db_, sql);
    if (!s.ok())
        return fail("cannot read the quarantine", error);
    int step;
    while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
        HeldRow row;
        row.kind = kind;
        row.fields = s.row();
        row.heldUtc = textOf(row.fields, "held_utc");
        row.sqlstate = textOf(row.fields, "held_sqlstate");
        row.message = textOf(row.fields, "held_message");
        row.differing = textOf(row.fields, "held_differing");
        for (const char* key : {"held_utc", "held_sqlstate", "held_message", "held_differing"})
            row.fields.erase(key);
        rows->push_back(std::move(row));
    }
    return step == SQLITE_DONE || fail("cannot read the quarantine", error);
}

// A record older than a table has nothing in it: listing reads the file as it stands.
bool CentralLedger::held(std::vector<HeldRow>* rows, std::string* error)
{
    if (hasTable("central_quarantine") &&
        !readHeld("SELECT q.quarantined_utc AS held_utc, q.sqlstate AS held_sqlstate, q.message AS held_message, "
                  "u.* FROM central_quarantine q JOIN units u ON u.attempt_uuid = q.attempt_uuid "
                  "ORDER BY q.quarantined_utc",
                  HeldKind::Unit, rows, error))
        return false;
    if (hasTable("central_quarantined_runs") &&
        !readHeld("SELECT q.quarantined_utc AS held_utc, q.sqlstate AS held_sqlstate, q.message AS held_message, "
                  "r.* FROM central_quarantined_runs q JOIN runs r ON r.run_uuid = q.run_uuid "
                  "ORDER BY q.quarantined_utc",
                  HeldKind::Run, rows, error))
        return false;
    return !hasTable("central_conflicts") ||
           readHeld("SELECT f.found_utc AS held_utc, f.differing AS held_differing, u.* FROM central_conflicts f "
                    "JOIN units u ON u.attempt_uuid = f.attempt_uuid ORDER BY f.found_utc",
                    HeldKind::Conflict, rows, error);
}
