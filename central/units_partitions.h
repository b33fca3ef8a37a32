// The central units table, partitioned by month, and retiring old months.
//
// Principles of operation: a unit's key is its attempt_uuid, a UUIDv7 whose text starts with
// the 48-bit millisecond of the unit's start (lower-case hex), so in the "C" collation text
// order is time order. The table is partitioned by RANGE on that text, each month bounded by
// its first millisecond's prefix: the key stays attempt_uuid alone, ON CONFLICT (attempt_uuid)
// keeps working, and a month goes with one DETACH and DROP instead of a long DELETE.
//
// Every month from the current one to kMonthsAhead ahead exists after `central init` and
// after `central retire`. A unit whose month has no partition (a station's clock years off,
// an id that is not a UUIDv7) lands in the default partition units_other, never refused; when
// its month's partition is made later, it moves there.
//
// `central init` turns an unpartitioned units table (made by an older build) into this one in
// its transaction: the rows, columns, checks, grants and row rules come along, and stations
// shipping meanwhile wait on the table's lock, then write into the new table.
#ifndef TARVOLO_CENTRAL_UNITS_PARTITIONS_H
#define TARVOLO_CENTRAL_UNITS_PARTITIONS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "central/odbc.h"

// A year of months ahead: `central init` runs at each upgrade and `central retire` by the
// site's retention rule, both far more often than yearly, and an empty month costs a few
// empty files. The default partition covers any gap.
constexpr int kMonthsAhead = 12;

// Statements for initCentralSchema's transaction: the helper functions, the migration of an
// unpartitioned table, the partitioned table when there is none, its default partition. The
// shipped columns are added after them; unitsMonthsAheadSql() comes last.
std::string unitsTableSql();
std::string unitsMonthsAheadSql();

// A month given as "YYYY-MM" (01 to 12, year 1970 to 9999): true with it as "YYYY-MM-01".
bool parseMonth(const std::string& text, std::string* firstDay);

struct RetiredMonth {
    std::string partition;  // units_YYYY_MM
    std::string month;      // YYYY-MM
    int64_t units = 0;      // counted just before it went
    double seconds = 0;     // how long the detach and drop took
};

struct RetireResult {
    std::string currentMonth;  // YYYY-MM by the server's clock
    std::vector<RetiredMonth> months;
    bool refusedCurrent = false;  // `before` is after the current month: nothing was done
};

// Detaches and drops every month partition before `firstDay` ("YYYY-MM-01"), one month per
// transaction, oldest first; with `dryRun` only lists them. Never the current month (by the
// server's clock) or later: a `before` after it is refused whole. Then makes the months
// ahead. `done` is told each month as it goes. False with the server's reason; the months
// reported before that are gone.
bool retireUnitMonths(OdbcConnection& db, const std::string& firstDay, bool dryRun, RetireResult* result,
                      const std::function<void(const RetiredMonth&)>& done, OdbcError* error);

#endif
