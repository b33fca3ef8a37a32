// Shipping a record's backlog (shipper.h).
#include "central/shipper.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <set>

#include "central/shipped_columns.h"
#include "output/json_line.h"

namespace {

// A batch crosses as one parameter, a JSON array of rows keyed by column name, which the server
// turns into the table's own row type: one value to bind however many units, and every value
// cast by the column it lands in. RETURNING names the rows this statement added: the others
// of the batch were there already.
template <size_t N>
std::string insertSql(const char* table, const ShippedColumn (&columns)[N], const char* key)
{
    const std::string names = shippedNames(columns);
    return std::string("INSERT INTO ") + table + " (" + names + ") SELECT " + names +
           " FROM json_populate_recordset(NULL::" + table + ", CAST(? AS json)) ON CONFLICT (" + key +
           ") DO NOTHING RETURNING " + key;
}

// The central rows of a JSON array of attempt_uuids, the shipped columns in their list's order.
std::string heldUnitsSql()
{
    return "SELECT " + shippedNames(kShippedUnitColumns) +
           " FROM units WHERE attempt_uuid IN (SELECT json_array_elements_text(CAST(? AS json)))";
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

// A value as the server gives it back as text: what was sent, a bigint in decimal.
OdbcValue sentText(const FieldMap& fields, const char* name)
{
    const nlohmann::json v = jsonValue(fields, name);
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_number_integer())
        return std::to_string(v.get<int64_t>());
    return std::nullopt;
}

// The shipped columns in which the server's row differs from the record's, comma-separated.
std::string differing(const FieldMap& local, const OdbcRow& central)
{
    std::string names;
    size_t i = 0;
    for (const ShippedColumn& c : kShippedUnitColumns) {
        const OdbcValue there = i < central.size() ? central[i] : std::nullopt;
        if (there != sentText(local, c.name))
            names += std::string(names.empty() ? "" : ",") + c.name;
        ++i;
    }
    return names;
}

// Said of a unit whose central row this connection cannot read (a row-level policy hides it).
constexpr const char* kUnreadable = "(the central row cannot be read by this connection)";

}  // namespace

ShipResult Shipper::shipRun(const PendingRun& run, ShipTotals* totals, std::string* error)
{
    const std::string id = textOf(run.fields, "run_uuid");
    const nlohmann::json start = nlohmann::json::array({rowOf(run.fields, kShippedRunColumns)});
    const nlohmann::json end = nlohmann::json::array({rowOf(run.fields, kShippedRunEndColumns)});
    OdbcError e;
    bool ok = run.begunShipped || db_.exec(insertSql("runs", kShippedRunColumns, "run_uuid"), rowsParameter(start), &e);
    if (ok && !run.begunShipped && run.ended && !ledger_.confirmRun(id, false, error))
        return ShipResult::LocalFault;  // the beginning is central: only the end is left to send
    ok = ok && (!run.ended || db_.exec(insertSql("run_ends", kShippedRunEndColumns, "run_uuid"), rowsParameter(end), &e));
    if (ok) {
        if (!ledger_.confirmRun(id, run.ended, error))
            return ShipResult::LocalFault;
        ++totals->runs;
        return ShipResult::Done;
    }
    if (!e.refusedData()) {
        *error = e.text();
        return ShipResult::ServerFault;
    }
    if (!ledger_.quarantineRun(id, e.state, e.message, error))
        return ShipResult::LocalFault;
    ++totals->quarantined;
    return ShipResult::Done;
}

ShipResult Shipper::shipRuns(ShipTotals* totals, std::string* error)
{
    std::vector<PendingRun> runs;
    if (!ledger_.pendingRuns(&runs, error))
        return ShipResult::LocalFault;
    for (const PendingRun& run : runs) {
        const ShipResult result = shipRun(run, totals, error);
        if (result != ShipResult::Done)
            return result;
    }
    return ShipResult::Done;
}

// Units the insert did not add were central already: the same content confirms them, other
// content is a conflict that nobody must miss.
bool Shipper::compareHeld(const std::vector<PendingUnit>& units, size_t from, size_t to,
                          const std::vector<std::string>& held, Landed* landed, OdbcError* e)
{
    std::vector<OdbcRow> rows;
    if (!db_.exec(heldUnitsSql(), {jsonLine(nlohmann::json(held))}, e, &rows)) {
        if (e->state == "42501")  // roles made by an older build read the key alone
            e->message += " (the station's role must read the units it ships: run tarvolo central init --roles)";
        return false;
    }
    std::map<std::string, const OdbcRow*> central;
    for (const OdbcRow& row : rows)
        if (!row.empty() && row[0])
            central[*row[0]] = &row;
    for (size_t i = from; i < to; ++i) {
        const std::string id = attemptOf(units[i]);
        if (std::find(held.begin(), held.end(), id) == held.end())
            continue;
        const auto it = central.find(id);
        const std::string diff = it == central.end() ? kUnreadable : differing(units[i].fields, *it->second);
        if (diff.empty())
            landed->confirmed.push_back(id);
        else
            landed->conflicts.emplace_back(id, diff);
    }
    return true;
}

bool Shipper::sendUnits(const std::vector<PendingUnit>& units, size_t from, size_t to, Landed* landed, OdbcError* e)
{
    nlohmann::json rows = nlohmann::json::array();
    for (size_t i = from; i < to; ++i)
        rows.push_back(rowOf(units[i].fields, kShippedUnitColumns));
    if (!db_.begin(e))
        return false;
    std::vector<OdbcRow> added;
    std::set<std::string> addedIds;
    bool ok = db_.exec(insertSql("units", kShippedUnitColumns, "attempt_uuid"), rowsParameter(rows), e, &added);
    for (const OdbcRow& row : added)
        if (!row.empty() && row[0])
            addedIds.insert(*row[0]);
    std::vector<std::string> held;
    for (size_t i = from; ok && i < to; ++i) {
        const std::string id = attemptOf(units[i]);
        (addedIds.count(id) ? landed->confirmed : held).push_back(id);
    }
    ok = ok && (held.empty() || compareHeld(units, from, to, held, landed, e)) && db_.commit(e);
    if (!ok) {
        db_.rollback();
        *landed = Landed();
    }
    return ok;
}

// Together: a unit the server has but the record does not know yet is only sent again, and
// lands once.
bool Shipper::remember(const Landed& landed, ShipTotals* totals, std::string* error)
{
    for (const auto& [id, diff] : landed.conflicts)
        if (!ledger_.conflict(id, diff, error))
            return false;
    if (!landed.confirmed.empty() && !ledger_.confirmUnits(landed.confirmed, error))
        return false;
    totals->units += static_cast<int64_t>(landed.confirmed.size());
    totals->conflicts += static_cast<int64_t>(landed.conflicts.size());
    return true;
}

// Units [from, to) in one transaction; refused for one row's values, each half again, down
// to the row that the quarantine keeps.
ShipResult Shipper::shipUnits(const std::vector<PendingUnit>& units, size_t from, size_t to, ShipTotals* totals,
                              std::string* error)
{
    Landed landed;
    OdbcError e;
    if (sendUnits(units, from, to, &landed, &e))
        return remember(landed, totals, error) ? ShipResult::Done : ShipResult::LocalFault;
    if (!e.refusedData()) {
        *error = e.text();
        return ShipResult::ServerFault;
    }
    if (to - from == 1) {
        if (!ledger_.quarantine(attemptOf(units[from]), e.state, e.message, error))
            return ShipResult::LocalFault;
        ++totals->quarantined;
        return ShipResult::Done;
    }
    const size_t middle = from + (to - from) / 2;
    const ShipResult first = shipUnits(units, from, middle, totals, error);
    return first != ShipResult::Done ? first : shipUnits(units, middle, to, totals, error);
}

ShipResult Shipper::shipPending(ShipTotals* totals, std::string* error, const std::function<bool()>& keepGoing)
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
        result = shipUnits(units, 0, units.size(), totals, error);
    }
    // Runs ended meanwhile go too (a station's last unit and its run's end arrive together).
    return result == ShipResult::Done ? shipRuns(totals, error) : result;
}
