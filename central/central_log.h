// `tarvolo log --central`: the units of every station, read back from the central database
// with the local log's filters, and the summary worked out by the server (counts, mean, the
// nearest-rank p95 as percentile_disc, failures grouped), overall and per station, so that a
// million units sum up without crossing the wire.
#ifndef TARVOLO_CENTRAL_CENTRAL_LOG_H
#define TARVOLO_CENTRAL_CENTRAL_LOG_H

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "central/odbc.h"
#include "record/summary.h"
#include "record/unit_record.h"

struct CentralQuery {
    UnitFilter filter;
    std::string stationId;  // empty: every station
    int64_t limit = 1000;   // the units listed at most: the latest that many
};

struct StationSummary {
    std::string stationId;
    UnitSummary summary;  // counts, pass rate and durations (failures only overall)
};

// The shipped unit columns, comma-separated, for a SELECT; and one row of them read back as
// the record's unit (false with the reason for a row the record would not hold).
std::string centralUnitColumns();
bool centralUnitFromRow(const OdbcRow& row, UnitRecord* unit, std::string* why);
// Every row read back into `units`; false (and `error`) at the first that does not read.
bool centralUnitsFromRows(const std::vector<OdbcRow>& rows, std::vector<UnitRecord>* units, OdbcError* error);

// The latest `query.limit` units, in order of start time, handed to `page` a page at a time
// (at most kCentralPageUnits, each read by a statement of its own, after the last key the
// previous page ended with): a listing of millions holds one page in memory, and no statement
// returns more than a page. Each is the record's row (run_id is the local file's number and
// stays 0). The summary's count tells how many more matched.
constexpr int64_t kCentralPageUnits = 1000;
using UnitPage = std::function<void(const std::vector<UnitRecord>& units)>;
bool centralUnitPages(OdbcConnection& db, const CentralQuery& query, const UnitPage& page, OdbcError* error);
bool centralSummary(OdbcConnection& db, const CentralQuery& query, UnitSummary* summary,
                    std::vector<StationSummary>* stations, OdbcError* error);

#endif
