// What `tarvolo log` prints: the units as aligned lines, CSV rows or one JSON object, and the
// summary block. Run by the main thread only.
#ifndef TARVOLO_CLI_LOG_OUTPUT_H
#define TARVOLO_CLI_LOG_OUTPUT_H

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "record/summary.h"
#include "record/unit_record.h"

// One line per unit, the columns aligned, under a heading line.
void printUnitLines(const std::vector<UnitRecord>& units, std::FILE* out);
// A heading row of the record's column names, then one row per unit (record/unit_csv.h).
void printUnitCsv(const std::vector<UnitRecord>& units, std::FILE* out);
// {"units": [...], "summary": {...}} on one line; the units' keys are the record's columns.
void printUnitJson(const std::vector<UnitRecord>& units, const UnitSummary& summary,
                   std::FILE* out);
// The same object, for a caller that adds to it.
nlohmann::ordered_json unitJsonObject(const std::vector<UnitRecord>& units, const UnitSummary& summary);
// "key: value" lines: units, completed, failed, interrupted, pass rate, mean and p95
// duration, then the failures by port and by result.
void printSummary(const UnitSummary& summary, std::FILE* out);

#endif
