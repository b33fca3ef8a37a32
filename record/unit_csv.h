// The units as CSV, written once for `tarvolo log --csv` and the line's dashboard's export so
// that the two files cannot differ: a heading row of the record's column names
// (record_fields.h), then one row per unit with every column, each row ending in CRLF. Cells
// follow output/csv_text.h: RFC 4180 quoting, bytes that are not UTF-8 shown as \xNN, and a
// text a spreadsheet would run as a formula written as text. Any thread may call these.
#ifndef TARVOLO_RECORD_UNIT_CSV_H
#define TARVOLO_RECORD_UNIT_CSV_H

#include <string>
#include <vector>

#include "record/unit_record.h"

// The heading row, with its line end.
std::string unitCsvHeading();
// One unit's row, with its line end.
std::string unitCsvRow(const UnitRecord& unit);
// The heading, then every unit's row.
std::string unitCsv(const std::vector<UnitRecord>& units);

#endif
