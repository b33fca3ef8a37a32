// Sends a record's backlog to the central database: runs first, then units in batches, each
// batch one transaction of INSERT ... ON CONFLICT (attempt_uuid) DO NOTHING, so a batch sent
// twice (its commit's answer lost, two shippers on one record) lands once. What the server
// committed is then confirmed in the record. A batch the server refuses for its data is sent
// again a unit at a time, and the units it still refuses go to the record's quarantine with
// its message; the others go on. Whoever runs it owns both objects; one thread.
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
    int64_t units = 0;        // confirmed by the server (new there, or there already)
    int64_t quarantined = 0;
};

enum class ShipResult {
    Done,         // nothing is left that the server would take now
    ServerFault,  // the connection or the server failed: reconnect and go on later
    LocalFault,   // the record could not be read or written
};

class Shipper {
public:
    Shipper(CentralLedger& ledger, OdbcConnection& db, int batchSize = 500) : ledger_(ledger), db_(db), batch_(batchSize) {}

    // Ships what is pending now. `keepGoing` is asked between batches. `onBatch` hears of each
    // committed batch (the attempt_uuids confirmed).
    ShipResult shipPending(ShipTotals* totals, std::string* error,
                           const std::function<bool()>& keepGoing = nullptr,
                           const std::function<void(const std::vector<std::string>&)>& onBatch = nullptr);

private:
    ShipResult shipRuns(ShipTotals* totals, std::string* error);
    ShipResult shipBatch(const std::vector<PendingUnit>& units, ShipTotals* totals, std::string* error);
    ShipResult shipOneByOne(const std::vector<PendingUnit>& units, ShipTotals* totals, std::string* error);

    CentralLedger& ledger_;
    OdbcConnection& db_;
    int batch_;
};

#endif
