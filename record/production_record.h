// The production record: where a production station keeps one row per station run and one
// per unit it flashed, and where `tarvolo log` reads them back.
//
// Two back ends behind one interface, chosen by the file's extension: SQLite (WAL, every
// write synchronous) on every build, and JSON Lines (one object a line, each line one
// write followed by a flush to the disk) everywhere. Whatever a write call returned true for
// survives a kill -9 of the process or a power cut.
//
// An object is used by one thread at a time. Several processes may write the same file: the
// SQLite back end waits up to 10 s for another writer's transaction; JSON Lines lines are
// appended whole.
#ifndef TARVOLO_RECORD_PRODUCTION_RECORD_H
#define TARVOLO_RECORD_PRODUCTION_RECORD_H

#include <memory>
#include <string>
#include <vector>

#include "record/unit_record.h"

// The version of the tables and keys this build writes (docs/production-record.md).
constexpr int kRecordSchemaVersion = 8;

enum class RecordAccess {
    Write,  // creates the file when missing
    Read,   // the file must exist; nothing is written to it
};

class ProductionRecord {
public:
    virtual ~ProductionRecord() = default;

    // Records the start of a run and sets run.runId to the id its units must carry (and
    // run.runUuid, when empty, to a new UUIDv7).
    virtual bool beginRun(StationRun& run, std::string* error) = 0;
    // Records one unit in a transaction of its own; durable when it returns true. A unit whose
    // (runId, sequence) is already recorded is refused: every unit is in the record once. A
    // unit without an attemptUuid gets a new UUIDv7 of its start time.
    virtual bool recordUnit(const UnitRecord& unit, std::string* error) = 0;
    // Records how the run ended (endedUtc, units, ending, exitCode) for run.runId.
    virtual bool endRun(const StationRun& run, std::string* error) = 0;

    // Units matching the filter, in order of start time (then run and sequence).
    virtual bool listUnits(const UnitFilter& filter, std::vector<UnitRecord>* units,
                           std::string* error) = 0;
    // Every run, in order of run id; a run that never ended has empty endedUtc and ending.
    virtual bool listRuns(std::vector<StationRun>* runs, std::string* error) = 0;

    // What reading skipped (a torn line of a JSON Lines file, with its line number), since
    // the last call.
    virtual std::vector<std::string> takeWarnings() = 0;
};

// Opens (or with Write, creates) the record at `path`: ".jsonl" selects JSON Lines, any other
// extension SQLite. Returns nullptr with a one-line message when that fails.
std::unique_ptr<ProductionRecord> openProductionRecord(const std::string& path,
                                                       RecordAccess access, std::string* error);

// The file a station writes and `tarvolo log` reads when none is named: a SQLite file, on
// every build.
const char* defaultRecordPath();

// The two back ends, for the factory and for tests that name one.
std::unique_ptr<ProductionRecord> openJsonLinesRecord(const std::string& path,
                                                      RecordAccess access, std::string* error);
std::unique_ptr<ProductionRecord> openSqliteRecord(const std::string& path, RecordAccess access,
                                                   std::string* error);

#endif
