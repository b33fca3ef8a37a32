// The figures `tarvolo log` prints under its list of units, worked out from the units alone.
//
//   completed    units whose outcome is "completed"
//   failed       units whose outcome is "failed" or "port-lost": the handset or its line failed
//   interrupted  units the operator stopped; they say nothing of the handset, so the pass
//                rate leaves them out: completed / (completed + failed)
//   durations    over every unit listed; p95 by the nearest-rank rule: the value at position
//                ceil(0.95 * n) of the durations sorted in ascending order (1-based)
//   failures by port (the port selector) and by result code (and the abort's reason beside
//                it), of the failed units, most first
#ifndef TARVOLO_RECORD_SUMMARY_H
#define TARVOLO_RECORD_SUMMARY_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "record/unit_record.h"

struct PortFailures {
    std::string port;
    int64_t count;
};

struct ResultFailures {
    int64_t resultCode;
    std::string meaning;  // as the first such unit recorded it
    int64_t count;
    std::optional<int64_t> abortReason;  // why the abort was started: result 4 alone hides it
};

struct UnitSummary {
    int64_t units = 0;
    int64_t completed = 0;
    int64_t failed = 0;
    int64_t interrupted = 0;
    std::optional<double> passRate;  // 0 to 1; absent when no unit completed or failed
    std::optional<double> meanSeconds;
    std::optional<double> p95Seconds;
    std::vector<PortFailures> failuresByPort;
    std::vector<ResultFailures> failuresByResult;
};

UnitSummary summarise(const std::vector<UnitRecord>& units);

// The nearest-rank percentile (1 to 100 percent) of the values; absent for no values.
std::optional<int64_t> nearestRank(std::vector<int64_t> values, int percent);

#endif
