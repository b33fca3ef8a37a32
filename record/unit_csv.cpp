// The units' CSV writer (see unit_csv.h).
#include "record/unit_csv.h"

#include "output/csv_text.h"
#include "record/record_fields.h"

namespace {

// A null cell, and a list (no unit column is one), are left empty.
std::string cellText(const FieldValue& value)
{
    if (const int64_t* n = std::get_if<int64_t>(&value))
        return std::to_string(*n);
    if (const std::string* s = std::get_if<std::string>(&value))
        return *s;
    return {};
}

}  // namespace

std::string unitCsvHeading()
{
    std::vector<std::string> names;
    for (const Field& f : unitFields(UnitRecord()))
        names.push_back(f.name);
    return csvRow(names) + "\r\n";
}

std::string unitCsvRow(const UnitRecord& unit)
{
    std::vector<std::string> cells;
    for (const Field& f : unitFields(unit))
        cells.push_back(cellText(f.value));
    return csvRow(cells) + "\r\n";
}

std::string unitCsv(const std::vector<UnitRecord>& units)
{
    std::string text = unitCsvHeading();
    for (const UnitRecord& u : units)
        text += unitCsvRow(u);
    return text;
}
