// The one mapping between the row types (unit_record.h) and named values. Both back ends and
// the `tarvolo log` output go through it, so a column of the SQLite tables, a key of the JSON
// Lines file and a CSV heading always carry the same name. docs/production-record.md lists
// the names with their meaning.
#ifndef TARVOLO_RECORD_RECORD_FIELDS_H
#define TARVOLO_RECORD_RECORD_FIELDS_H

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "record/unit_record.h"

// Null, an integer, text, or a list of texts (stored as a JSON array in SQLite text).
using FieldValue = std::variant<std::monostate, int64_t, std::string, std::vector<std::string>>;

struct Field {
    const char* name;
    FieldValue value;
};
using Fields = std::vector<Field>;                  // in column order
using FieldMap = std::map<std::string, FieldValue>;  // as read back

// Every column of a unit row or a run row, in table order (run_id first).
Fields unitFields(const UnitRecord& unit);
Fields runFields(const StationRun& run);

// Fill a row from values read back. A name that is missing or null leaves the field at its
// default (rows written by an older schema lack newer columns); a value of the wrong type
// fails with a message naming the field.
bool unitFromFields(const FieldMap& values, UnitRecord* unit, std::string* error);
bool runFromFields(const FieldMap& values, StationRun* run, std::string* error);

#endif
