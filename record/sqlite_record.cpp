// The production record as a SQLite database (every build; Windows ones compile SQLite in): tables `runs` and `units`, one
// autocommit INSERT per unit in WAL mode with synchronous=FULL, so a unit is on the disk
// when recordUnit returns and a killed writer leaves a database that passes integrity_check.
//
// The file carries its schema version in PRAGMA user_version and this program's mark in
// PRAGMA application_id. A writer creates or upgrades the tables (sqlite_schema.h); a
// reader opens read-only and reads newer versions too (versions only add columns and tables).
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "record/production_record.h"
#include "record/record_fields.h"
#include "record/sqlite_schema.h"
#include "record/sqlite_statement.h"
#include "record/uuid7.h"

namespace {

constexpr int kBusyTimeoutMs = 10000;

class SqliteRecord : public ProductionRecord {
public:
    SqliteRecord(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    ~SqliteRecord() override { sqlite3_close_v2(db_); }

    bool prepare(RecordAccess access, std::string* error);

    bool beginRun(StationRun& run, std::string* error) override;
    bool recordUnit(const UnitRecord& unit, std::string* error) override;
    bool endRun(const StationRun& run, std::string* error) override;
    bool listUnits(const UnitFilter& filter, std::vector<UnitRecord>* units,
                   std::string* error) override;
    bool listRuns(std::vector<StationRun>* runs, std::string* error) override;
    std::vector<std::string> takeWarnings() override { return std::move(warnings_); }
    void noteImmutable()
    {
        warnings_.push_back(path_ + ": opened read-only as it stands (no write access to the file "
                            "or its folder); units a station may be adding now are not shown");
    }

private:
    bool fail(const std::string& what, std::string* error) const
    {
        *error = path_ + ": " + what + ": " + sqlite3_errmsg(db_);
        return false;
    }
    bool exec(const char* sql, std::string* error);
    bool queryNumber(const std::string& sql, int64_t* value, std::string* error);
    bool pragmaNumber(const char* name, int64_t* value, std::string* error);
    bool countTables(int64_t* tables, std::string* error);
    bool migrate(std::string* error);
    bool addFunctions(std::string* error);
    bool switchToWal(std::string* error);
    bool checkVersion(RecordAccess access, std::string* error);
    bool insert(const char* table, const Fields& fields, size_t from, std::string* error);

    sqlite3* db_;
    std::string path_;
    std::vector<std::string> warnings_;
};

bool SqliteRecord::exec(const char* sql, std::string* error)
{
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    *error = path_ + ": " + (message ? message : sqlite3_errmsg(db_));
    sqlite3_free(message);
    return false;
}

// The first column of the first row of a statement that must give one.
bool SqliteRecord::queryNumber(const std::string& sql, int64_t* value, std::string* error)
{
    SqliteStatement s(db_, sql);
    if (!s.ok() || sqlite3_step(s.get()) != SQLITE_ROW)
        return fail("cannot read the schema", error);
    *value = sqlite3_column_int64(s.get(), 0);
    return true;
}

bool SqliteRecord::pragmaNumber(const char* name, int64_t* value, std::string* error)
{
    return queryNumber(std::string("PRAGMA ") + name, value, error);
}

bool SqliteRecord::countTables(int64_t* tables, std::string* error)
{
    return queryNumber("SELECT count(*) FROM sqlite_master", tables, error);
}

// tarvolo_uuid7(utc_text): the id a row written before schema version 3 gets when migrated.
void uuid7Function(sqlite3_context* context, int, sqlite3_value** args)
{
    const unsigned char* text = sqlite3_value_text(args[0]);
    const std::string id = uuid7ForRow(text ? reinterpret_cast<const char*>(text) : "");
    sqlite3_result_text(context, id.c_str(), static_cast<int>(id.size()), SQLITE_TRANSIENT);
}

bool SqliteRecord::addFunctions(std::string* error)
{
    return sqlite3_create_function(db_, "tarvolo_uuid7", 1, SQLITE_UTF8 | SQLITE_DIRECTONLY,
                                   nullptr, uuid7Function, nullptr, nullptr) == SQLITE_OK ||
           fail("cannot prepare the schema's upgrade", error);
}

// Brings the tables up to this build's version inside one write transaction, so that two
// stations creating the same file at once cannot both create it.
bool SqliteRecord::migrate(std::string* error)
{
    if (!exec("BEGIN IMMEDIATE", error))
        return false;
    int64_t version = 0;
    int64_t tables = 0;
    bool ok = pragmaNumber("user_version", &version, error) && countTables(&tables, error);
    if (ok && version == 0 && tables > 0) {
        *error = path_ + " is an SQLite database but not a production record";
        ok = false;
    }
    for (const Migration& m : kMigrations) {
        if (ok && m.version > version)
            ok = exec(m.sql, error);
    }
    const std::string stamp = "PRAGMA user_version = " + std::to_string(kRecordSchemaVersion) +
                              "; PRAGMA application_id = " + std::to_string(kRecordApplicationId);
    if (ok && version < kRecordSchemaVersion)
        ok = exec(stamp.c_str(), error);
    if (ok)
        return exec("COMMIT", error);
    std::string ignored;
    exec("ROLLBACK", &ignored);
    return false;
}

bool SqliteRecord::checkVersion(RecordAccess access, std::string* error)
{
    int64_t application = 0;
    int64_t version = 0;
    if (!pragmaNumber("application_id", &application, error) ||
        !pragmaNumber("user_version", &version, error))
        return false;
    const bool fresh = application == 0 && version == 0;
    if ((!fresh || access == RecordAccess::Read) && application != kRecordApplicationId) {
        *error = path_ + " is not a production record";
        return false;
    }
    if (version > kRecordSchemaVersion) {
        const std::string what = path_ + " has schema version " + std::to_string(version) +
                                 "; this build knows up to " +
                                 std::to_string(kRecordSchemaVersion);
        if (access == RecordAccess::Write) {
            *error = what + " and does not write to it";
            return false;
        }
        warnings_.push_back(what + ": columns it does not know are not shown");
    }
    return true;
}

// WAL: a unit's commit appends to the log and syncs it, readers never block the writer, and
// a writer killed halfway leaves a log the next opener rolls back or forward.
bool SqliteRecord::switchToWal(std::string* error)
{
    SqliteStatement wal(db_, "PRAGMA journal_mode = WAL");
    const bool ok = wal.ok() && sqlite3_step(wal.get()) == SQLITE_ROW &&
                    sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(wal.get(), 0)),
                                    "wal") == 0;
    return ok || fail("cannot switch to WAL mode", error);
}

bool SqliteRecord::prepare(RecordAccess access, std::string* error)
{
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    if (!checkVersion(access, error))
        return false;
    if (access == RecordAccess::Read)
        return true;
    return switchToWal(error) && exec("PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON", error) &&
           addFunctions(error) && migrate(error);
}

// INSERT of fields[from..] into `table`: one autocommit statement, its own transaction.
bool SqliteRecord::insert(const char* table, const Fields& fields, size_t from, std::string* error)
{
    std::string names, marks;
    for (size_t i = from; i < fields.size(); ++i) {
        names += std::string(i > from ? "," : "") + fields[i].name;
        marks += i > from ? ",?" : "?";
    }
    SqliteStatement s(db_, std::string("INSERT INTO ") + table + " (" + names + ") VALUES (" + marks + ")");
    if (!s.ok())
        return fail(std::string("cannot write to ") + table, error);
    for (size_t i = from; i < fields.size(); ++i)
        s.bind(static_cast<int>(i - from + 1), fields[i].value);
    if (sqlite3_step(s.get()) == SQLITE_DONE)
        return true;
    return fail(std::string("cannot write to ") + table, error);
}

bool SqliteRecord::beginRun(StationRun& run, std::string* error)
{
    StationRun row = run;
    if (row.runUuid.empty())
        row.runUuid = uuid7ForRow(row.startedUtc);
    if (!insert("runs", runFields(row), 1, error))  // run_id is the table's to assign
        return false;
    run.runUuid = row.runUuid;
    run.runId = sqlite3_last_insert_rowid(db_);
    return true;
}

bool SqliteRecord::recordUnit(const UnitRecord& unit, std::string* error)
{
    UnitRecord row = unit;
    if (row.attemptUuid.empty())
        row.attemptUuid = uuid7ForRow(row.startedUtc);
    if (insert("units", unitFields(row), 0, error))
        return true;
    const int code = sqlite3_extended_errcode(db_);
    const std::string which =
        "unit " + std::to_string(unit.sequence) + " of run " + std::to_string(unit.runId);
    if (code == SQLITE_CONSTRAINT_UNIQUE)
        *error = path_ + ": " + which + " is already recorded";
    else if (code == SQLITE_CONSTRAINT_FOREIGNKEY)
        *error = path_ + ": " + which + ": no such run";
    return false;
}

bool SqliteRecord::endRun(const StationRun& run, std::string* error)
{
    static const char* const kEndColumns[] = {"ended_utc", "units_done", "units_failed", "ending",
                                              "exit_code"};
    SqliteStatement s(db_, "UPDATE runs SET ended_utc = ?1, units_done = ?2, units_failed = ?3, "
                     "ending = ?4, exit_code = ?5 WHERE run_id = ?6");
    if (!s.ok())
        return fail("cannot end run", error);
    for (const Field& f : runFields(run)) {
        for (int i = 0; i < 5; ++i)
            if (std::string(f.name) == kEndColumns[i])
                s.bind(i + 1, f.value);
    }
    s.bind(6, run.runId);
    if (sqlite3_step(s.get()) != SQLITE_DONE)
        return fail("cannot end run " + std::to_string(run.runId), error);
    if (sqlite3_changes(db_) == 1)
        return true;
    *error = path_ + ": no run " + std::to_string(run.runId) + " to end";
    return false;
}

bool SqliteRecord::listUnits(const UnitFilter& filter, std::vector<UnitRecord>* units,
                             std::string* error)
{
    std::string where = " WHERE 1";
    if (!filter.sinceUtc.empty())
        where += " AND started_utc >= ?1";
    if (!filter.port.empty())
        where += " AND (port_selector = ?2 OR device = ?2)";
    if (filter.notCompleted)
        where += " AND outcome <> 'completed'";
    SqliteStatement s(db_, "SELECT * FROM units" + where + " ORDER BY started_utc, run_id, sequence");
    if (!s.ok())
        return fail("cannot read units", error);
    if (!filter.sinceUtc.empty())
        s.bind(1, filter.sinceUtc);
    if (!filter.port.empty())
        s.bind(2, filter.port);
    int step;
    while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
        UnitRecord unit;
        std::string why;
        if (!unitFromFields(s.row(), &unit, &why)) {
            *error = path_ + ": unit row: " + why;
            return false;
        }
        // A record older than labels has no such column to ask for; its units have none.
        if (filter.label.empty() || unit.label == filter.label)
            units->push_back(std::move(unit));
    }
    return step == SQLITE_DONE || fail("cannot read units", error);
}

bool SqliteRecord::listRuns(std::vector<StationRun>* runs, std::string* error)
{
    SqliteStatement s(db_, "SELECT * FROM runs ORDER BY run_id");
    if (!s.ok())
        return fail("cannot read runs", error);
    int step;
    while ((step = sqlite3_step(s.get())) == SQLITE_ROW) {
        StationRun run;
        std::string why;
        if (!runFromFields(s.row(), &run, &why)) {
            *error = path_ + ": run row: " + why;
            return false;
        }
        runs->push_back(std::move(run));
    }
    return step == SQLITE_DONE || fail("cannot read runs", error);
}

}  // namespace

namespace {

// The file as an SQLite URI: the characters a URI gives a meaning to are escaped.
std::string fileUri(const std::string& path, const char* query)
{
    std::string uri = "file:";
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7F) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            uri += escaped;
        } else {
            uri += static_cast<char>(c);
        }
    }
    return uri + "?" + query;
}

// A record on a read-only medium, in a folder we may not write or owned by another user cannot
// be opened the usual way: a reader of a WAL database must create or write its -shm file.
// Immutable mode reads the file as it stands, which is right when nobody can be writing it.
std::unique_ptr<ProductionRecord> openImmutable(const std::string& path, const std::string& why,
                                                std::string* error)
{
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(fileUri(path, "immutable=1").c_str(), &db,
                                       SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    auto record = std::make_unique<SqliteRecord>(db, path);
    std::string ignored;
    if (opened != SQLITE_OK || !record->prepare(RecordAccess::Read, &ignored)) {
        *error = why;
        return nullptr;
    }
    record->noteImmutable();
    return record;
}

}  // namespace

std::unique_ptr<ProductionRecord> openSqliteRecord(const std::string& path, RecordAccess access,
                                                   std::string* error)
{
    const int flags = access == RecordAccess::Read ? SQLITE_OPEN_READONLY
                                                   : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    std::error_code ec;
    const bool existed = std::filesystem::exists(path, ec);
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    auto record = std::make_unique<SqliteRecord>(db, path);
    if (opened != SQLITE_OK) {
        *error = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        record.reset();
        return access == RecordAccess::Read && existed ? openImmutable(path, *error, error) : nullptr;
    }
    if (record->prepare(access, error))
        return record;
    record.reset();
    if (access == RecordAccess::Read && existed)
        return openImmutable(path, *error, error);
    if (!existed && access == RecordAccess::Write) {
        // A file this call created and could not make a record of is not left behind.
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(path + suffix, ec);
    }
    return nullptr;
}

const char* defaultRecordPath() { return "tarvolo-production.db"; }
