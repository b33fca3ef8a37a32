// tarvolo log --quarantined (log_quarantined.h).
#include "cli/log_quarantined.h"

#include <nlohmann/json.hpp>

#include <cstdio>

#include "output/json_line.h"
#include "output/shown_text.h"
#include "record/central_ledger.h"
#include "record/record_fields.h"
#include "record/record_json.h"
#include "session/exit_codes.h"

namespace {

std::string textOf(const FieldMap& fields, const char* name)
{
    const auto it = fields.find(name);
    const std::string* s = it == fields.end() ? nullptr : std::get_if<std::string>(&it->second);
    return s ? *s : std::string();
}

// The row's columns as `tarvolo log --json` gives a unit or a run, then why it is held.
nlohmann::ordered_json heldJson(const HeldRow& held)
{
    std::string ignored;
    nlohmann::ordered_json row;
    if (held.kind == HeldKind::Run) {
        StationRun run;
        runFromFields(held.fields, &run, &ignored);
        row = fieldsToJson(runFields(run));
    } else {
        UnitRecord unit;
        unitFromFields(held.fields, &unit, &ignored);
        row = fieldsToJson(unitFields(unit));
    }
    if (held.kind == HeldKind::Conflict) {
        row["found_utc"] = held.heldUtc;
        row["differing"] = differingColumns(held.differing);
        return row;
    }
    row["quarantined_utc"] = held.heldUtc;
    row["sqlstate"] = held.sqlstate;
    row["message"] = held.message;
    return row;
}

void printHeld(const std::vector<HeldRow>& rows)
{
    std::printf("%-24s %-8s %-36s %-8s %s\n", "since", "what", "id", "state", "server's message");
    int64_t counts[3] = {0, 0, 0};
    for (const HeldRow& held : rows) {
        ++counts[static_cast<int>(held.kind)];
        const bool run = held.kind == HeldKind::Run, conflict = held.kind == HeldKind::Conflict;
        const std::string id = textOf(held.fields, run ? "run_uuid" : "attempt_uuid");
        const std::string why = conflict ? "central row differs in: " + held.differing : held.message;
        std::printf("%-24s %-8s %-36s %-8s %s\n", held.heldUtc.c_str(), run ? "run" : "unit", terminalSafe(id).c_str(),
                    conflict ? "conflict" : terminalSafe(held.sqlstate).c_str(), terminalSafe(why).c_str());
    }
    std::printf("\n%lld units quarantined, %lld runs quarantined, %lld conflicts\n",
                static_cast<long long>(counts[0]), static_cast<long long>(counts[1]),
                static_cast<long long>(counts[2]));
}

}  // namespace

int runQuarantinedLog(const std::string& recordPath, bool json)
{
    std::string error;
    auto ledger = CentralLedger::open(recordPath, true, &error);
    std::vector<HeldRow> rows;
    if (!ledger || !ledger->held(&rows, &error)) {
        std::fprintf(stderr, "tarvolo log: %s\n", terminalSafe(error).c_str());
        return kExitCannotOpen;
    }
    if (!json) {
        printHeld(rows);
        return 0;
    }
    // Units keep their key of old; runs and conflicts have their own.
    nlohmann::ordered_json units = nlohmann::ordered_json::array(), runs = units, conflicts = units;
    for (const HeldRow& held : rows)
        (held.kind == HeldKind::Unit ? units : held.kind == HeldKind::Run ? runs : conflicts).push_back(heldJson(held));
    writeJsonLine(stdout, nlohmann::ordered_json{{"quarantined", units}, {"quarantined_runs", runs},
                                                 {"conflicts", conflicts}});
    return 0;
}
