// Shipping a record's backlog (shipper.h).
#include "central/shipper.h"

#include <nlohmann/json.hpp>

#include "central/shipped_columns.h"
#include "output/json_line.h"

namespace {

// A batch crosses as one parameter, a JSON array of rows keyed by column name, which the server
// turns into the table's own row type: one value to bind however many units, and every value
// cast by the column it lands in.
template <size_t N>
std::string insertSql(const char* table, const ShippedColumn (&columns)[N], const char* key)
{
    std::string names;
    for (const ShippedColumn& c : columns)
        names += std::string(names.empty() ? "" : ",") + c.name;
    return std::string("INSERT INTO ") + table + " (" + names + ") SELECT " + names +
           " FROM json_populate_recordset(NULL::" + table + ", CAST(? AS json)) ON CONFLICT (" + key +
           ") DO NOTHING";
}

nlohmann::json jsonValue(const FieldMap& fields, const char* name)
{
    const auto it = fields.find(name);
    if (it == fields.end())
        return nullptr;
    if (const int64_t* n = std::get_if<int64_t>(&it->second))
        return *n;
    if (const std::string* s = std::get_if<std::string>(&it->second))
        return *s;
    return nullptr;
}

template <size_t N>
nlohmann::json rowOf(const FieldMap& fields, const ShippedColumn (&columns)[N])
{
    nlohmann::json row = nlohmann::json::object();
    for (const ShippedColumn& c : columns)
        row[c.name] = jsonValue(fields, c.name);
    return row;
}

std::vector<OdbcValue> rowsParameter(const nlohmann::json& rows) { return {jsonLine(rows)}; }

std::string textOf(const FieldMap& fields, const char* name)
{
    const nlohmann::json v = jsonValue(fields, name);
    return v.is_string() ? v.get<std::string>() : std::string();
}

std::string attemptOf(const PendingUnit& unit) { return textOf(unit.fields, "attempt_uuid"); }

}  // namespace

ShipResult Shipper::shipRuns(ShipTotals* totals, std::string* error)
{
    std::vector<PendingRun> runs;
    if (!ledger_.pendingRuns(&runs, error))
        return ShipResult::LocalFault;
    for (const PendingRun& run : runs) {
        const nlohmann::json start = nlohmann::json::array({rowOf(run.fields, kShippedRunColumns)});
        const nlohmann::json end = nlohmann::json::array({rowOf(run.fields, kShippedRunEndColumns)});
        OdbcError e;
        if ((!run.begunShipped && !db_.exec(insertSql("runs", kShippedRunColumns, "run_uuid"), rowsParameter(start), &e)) ||
            (run.ended && !db_.exec(insertSql("run_ends", kShippedRunEndColumns, "run_uuid"), rowsParameter(end), &e))) {
            *error = e.text();
            return ShipResult::ServerFault;
        }
        if (!ledger_.confirmRun(textOf(run.fields, "run_uuid"), run.ended, error))
            return ShipResult::LocalFault;
        ++totals->runs;
    }
    return ShipResult::Done;
}

ShipResult Shipper::shipOneByOne(const std::vector<PendingUnit>& units, ShipTotals* totals, std::string* error)
{
    const std::string sql = insertSql("units", kShippedUnitColumns, "attempt_uuid");
    std::vector<std::string> confirmed;
    ShipResult result = ShipResult::Done;
    for (const PendingUnit& unit : units) {
        const auto values = rowsParameter(nlohmann::json::array({rowOf(unit.fields, kShippedUnitColumns)}));
        OdbcError e;
        if (db_.exec(sql, values, &e)) {
            confirmed.push_back(attemptOf(unit));
        } else if (e.refusedData()) {
            if (!ledger_.quarantine(attemptOf(unit), e.state, e.message, error))
                return ShipResult::LocalFault;
            ++totals->quarantined;
        } else {
            *error = e.text();
            result = ShipResult::ServerFault;
            break;
        }
    }
    // Confirmed together: a unit the server has but the record does not know yet is only sent
    // again, and lands once.
    if (!confirmed.empty() && !ledger_.confirmUnits(confirmed, error))
        return ShipResult::LocalFault;
    totals->units += static_cast<int64_t>(confirmed.size());
    return result;
}

ShipResult Shipper::shipBatch(const std::vector<PendingUnit>& units, ShipTotals* totals, std::string* error)
{
    nlohmann::json rows = nlohmann::json::array();
    std::vector<std::string> ids;
    for (const PendingUnit& unit : units) {
        rows.push_back(rowOf(unit.fields, kShippedUnitColumns));
        ids.push_back(attemptOf(unit));
    }
    OdbcError e;
    if (!db_.begin(&e)) {
        *error = e.text();
        return ShipResult::ServerFault;
    }
    if (!db_.exec(insertSql("units", kShippedUnitColumns, "attempt_uuid"), rowsParameter(rows), &e) ||
        !db_.commit(&e)) {
        db_.rollback();
        if (e.refusedData())
            return shipOneByOne(units, totals, error);
        *error = e.text();
        return ShipResult::ServerFault;
    }
    if (!ledger_.confirmUnits(ids, error))
        return ShipResult::LocalFault;
    totals->units += static_cast<int64_t>(ids.size());
    return ShipResult::Done;
}

ShipResult Shipper::shipPending(ShipTotals* totals, std::string* error, const std::function<bool()>& keepGoing,
                                const std::function<void(const std::vector<std::string>&)>& onBatch)
{
    ShipResult result = shipRuns(totals, error);
    int64_t after = 0;
    while (result == ShipResult::Done && (!keepGoing || keepGoing())) {
        std::vector<PendingUnit> units;
        if (!ledger_.pendingUnits(after, batch_, &units, error))
            return ShipResult::LocalFault;
        if (units.empty())
            break;
        after = units.back().unitId;
        result = shipBatch(units, totals, error);
        if (result == ShipResult::Done && onBatch) {
            std::vector<std::string> ids;
            for (const PendingUnit& unit : units)
                ids.push_back(attemptOf(unit));
            onBatch(ids);
        }
    }
    // Runs ended meanwhile go too (a station's last unit and its run's end arrive together).
    return result == ShipResult::Done ? shipRuns(totals, error) : result;
}
