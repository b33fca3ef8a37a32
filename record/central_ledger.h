// What a SQLite record knows of its shipping to the central database: the units and runs the
// server has confirmed, the units and runs it refused for their data (the quarantine), and
// the units it already holds with other content (the conflicts). The
// shipper reads its backlog from here, so a unit committed before a crash is shipped by the
// next start. Several shippers may share a file: confirming is INSERT OR IGNORE, and every
// write waits up to 10 s for another writer. One thread uses a ledger at a time.
#ifndef TARVOLO_RECORD_CENTRAL_LEDGER_H
#define TARVOLO_RECORD_CENTRAL_LEDGER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "record/record_fields.h"

struct sqlite3;

struct PendingUnit {
    int64_t unitId = 0;  // the local row, for going on after it
    FieldMap fields;     // the units row's columns, and the run's run_uuid
};

struct PendingRun {
    bool ended = false;  // the run's end is known locally
    bool begunShipped = false;  // the server has its beginning already
    FieldMap fields;     // the runs row's columns
};

struct Backlog {
    int64_t unconfirmed = 0;     // units neither confirmed, quarantined nor in conflict
    std::string oldestEndedUtc;  // of those; empty when none
    int64_t quarantined = 0;     // units and runs
    int64_t conflicts = 0;
    std::string lastConflict;    // the latest conflict's attempt_uuid; empty when none
    std::string lastDiffering;   // the columns it differs in, comma-separated
};

// What waits for someone to look: a unit or a run the server refused, or a unit the server
// holds with other content.
enum class HeldKind { Unit, Run, Conflict };

struct HeldRow {
    HeldKind kind = HeldKind::Unit;
    std::string heldUtc;   // when it was quarantined or the conflict found
    std::string sqlstate;  // the server's; empty for a conflict
    std::string message;   // the server's, as it gave it; empty for a conflict
    std::string differing; // a conflict's columns that differ, comma-separated
    FieldMap fields;       // the unit's or the run's row
};

// A conflict's `differing` as a list of column names.
std::vector<std::string> differingColumns(const std::string& differing);

class CentralLedger {
public:
    // Opens the record at `path` for shipping (upgrading it as a station would), or with
    // `readOnly` for listing the quarantine; never makes one. Null with a one-line reason.
    static std::unique_ptr<CentralLedger> open(const std::string& path, bool readOnly, std::string* error);
    ~CentralLedger();
    CentralLedger(const CentralLedger&) = delete;
    CentralLedger& operator=(const CentralLedger&) = delete;

    bool pendingRuns(std::vector<PendingRun>* runs, std::string* error);
    // Up to `limit` units after local row `afterUnitId`, in row order.
    bool pendingUnits(int64_t afterUnitId, int limit, std::vector<PendingUnit>* units, std::string* error);
    bool confirmUnits(const std::vector<std::string>& attemptUuids, std::string* error);
    bool confirmRun(const std::string& runUuid, bool ended, std::string* error);
    bool quarantine(const std::string& attemptUuid, const std::string& sqlstate, const std::string& message,
                    std::string* error);
    bool quarantineRun(const std::string& runUuid, const std::string& sqlstate, const std::string& message,
                       std::string* error);
    // The unit is not confirmed: it leaves the backlog and is listed as a conflict.
    bool conflict(const std::string& attemptUuid, const std::string& differing, std::string* error);
    bool backlog(Backlog* facts, std::string* error);
    // Quarantined units, quarantined runs, then conflicts, each oldest first.
    bool held(std::vector<HeldRow>* rows, std::string* error);

private:
    CentralLedger(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
    bool fail(const std::string& what, std::string* error) const;
    bool exec(const char* sql, std::string* error);
    bool hasTable(const char* name);
    bool insertHeld(const char* sql, const std::vector<std::string>& values, const char* what, std::string* error);
    bool readHeld(const char* sql, HeldKind kind, std::vector<HeldRow>* rows, std::string* error);

    sqlite3* db_;
    std::string path_;
};

#endif
