// Sends a record's backlog to the central database: runs first, then units in batches, each
// batch one transaction of INSERT ... ON CONFLICT (attempt_uuid) DO NOTHING, so a batch sent
// twice (its commit's answer lost, two shippers on one record) lands once. A unit the server
// held already is compared with it column by column: the same, it is confirmed like the
// others; different, it is a conflict, never confirmed, kept in the record for someone to
// look at. What the server committed is then confirmed in the record.
//
// A batch the server refuses for one row's values (OdbcError::refusedData) is split in halves,
// each its own transaction, down to the row: that unit goes to the record's quarantine with
// the server's message and the rest goes on. A run refused likewise is quarantined alone; its
// units still go, each carries its run's facts. Any other error is the connection's or the
// server's: the batch waits for the next pass. Whoever runs it owns both objects; one thread.
#ifndef TARVOLO_CENTRAL_SHIPPER_H
#define TARVOLO_CENTRAL_SHIPPER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "central/odbc.h"
#include "record/central_ledger.h"

struct ShipTotals {
    int64_t runs = 0;
    int64_t units = 0;        // confirmed by the server (new there, or there already the same)
    int64_t quarantined = 0;  // units and runs
    int64_t conflicts = 0;
};

enum class ShipResult {
    Done,         // nothing is left that the server would take now
    ServerFault,  // the connection or the server failed: reconnect and go on later
    LocalFault,   // the record could not be read or written
};

class Shipper {
public:
    Shipper(CentralLedger& ledger, OdbcConnection& db, int batchSize = 500) : ledger_(ledger), db_(db), batch_(batchSize) {}

    // Ships what is pending now. `keepGoing` is asked between batches.
    ShipResult shipPending(ShipTotals* totals, std::string* error, const std::function<bool()>& keepGoing = nullptr);

private:
    struct Landed {
        std::vector<std::string> confirmed;
        std::vector<std::pair<std::string, std::string>> conflicts;  // attempt_uuid, columns that differ
    };

    ShipResult shipRuns(ShipTotals* totals, std::string* error);
    ShipResult shipRun(const PendingRun& run, ShipTotals* totals, std::string* error);
    ShipResult shipUnits(const std::vector<PendingUnit>& units, size_t from, size_t to, ShipTotals* totals,
                         std::string* error);
    bool sendUnits(const std::vector<PendingUnit>& units, size_t from, size_t to, Landed* landed, OdbcError* e);
    bool compareHeld(const std::vector<PendingUnit>& units, size_t from, size_t to,
                     const std::vector<std::string>& held, Landed* landed, OdbcError* e);
    bool remember(const Landed& landed, ShipTotals* totals, std::string* error);

    CentralLedger& ledger_;
    OdbcConnection& db_;
    int batch_;
};

#endif
