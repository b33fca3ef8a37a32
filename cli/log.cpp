// tarvolo log: lists the units a production station recorded and sums them up (units, pass
// rate, durations, failures by port and by result), from the SQLite or JSON Lines record.
// It only reads: a station may be writing the same file at the same time. --export copies the
// whole record into a new file instead (JSON Lines into SQLite).
#include <CLI/CLI.hpp>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/console.h"
#include "cli/log_central.h"
#include "cli/log_quarantined.h"
#include "cli/log_output.h"
#include "output/shown_text.h"
#include "record/production_record.h"
#include "record/record_export.h"
#include "record/summary.h"
#include "record/utc_time.h"

namespace {

struct LogOptions {
    std::string db;
    std::string since;
    std::string port;
    std::string label;
    bool failed = false;
    bool csv = false;
    bool json = false;
    std::string exportTo;
    bool quarantined = false;
    CentralLogOptions central;
};

int fail(int code, const std::string& message)
{
    std::fprintf(stderr, "tarvolo log: %s\n", terminalSafe(message).c_str());
    return code;
}

// "30s", "30m", "2h", "1d": that long before now.
bool parseAge(const std::string& text, UtcTime now, UtcTime* time)
{
    if (text.size() < 2 || text.size() > 10)
        return false;
    long long count = 0;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        count = count * 10 + (text[i] - '0');
    }
    const char unit = text.back();
    const long long perUnit = unit == 's' ? 1 : unit == 'm' ? 60 : unit == 'h' ? 3600
                              : unit == 'd' ? 86400 : 0;
    if (perUnit == 0)
        return false;
    *time = now - std::chrono::seconds(count * perUnit);
    return true;
}

bool parseSince(const std::string& text, std::string* sinceUtc)
{
    UtcTime time;
    if (!parseAge(text, std::chrono::system_clock::now(), &time) && !parseUtc(text, &time))
        return false;
    *sinceUtc = formatUtc(time);
    return true;
}

// A path or message as it may reach the terminal: control bytes escaped (a file name is data).
std::string shown(const std::string& text)
{
    return terminalSafe(text);
}

int runExport(const LogOptions& o)
{
    const std::string path = o.db.empty() ? defaultRecordPath() : o.db;
    ExportCounts counts;
    std::vector<std::string> warnings;
    std::string error;
    const bool ok = exportRecord(path, o.exportTo, &counts, &warnings, &error);
    for (const std::string& warning : warnings)
        std::fprintf(stderr, "tarvolo log: warning: %s\n", shown(warning).c_str());
    if (!ok)
        return fail(kExitCannotOpen, shown(error));
    std::printf("exported %lld runs and %lld units from %s to %s\n",
                static_cast<long long>(counts.runs), static_cast<long long>(counts.units),
                shown(path).c_str(), shown(o.exportTo).c_str());
    return 0;
}

int runLog(const LogOptions& o)
{
    if (!o.exportTo.empty())
        return runExport(o);
    UnitFilter filter;
    filter.port = o.port;
    filter.label = o.label;
    filter.notCompleted = o.failed;
    if (!o.since.empty() && !parseSince(o.since, &filter.sinceUtc))
        return fail(kExitUsage, "--since takes a UTC time (2026-12-07T10:00:00Z or 2026-12-07) "
                                "or an age (30m, 2h, 1d), not '" + o.since + "'");
    const std::string path = o.db.empty() ? defaultRecordPath() : o.db;
    if (o.quarantined)
        return runQuarantinedLog(path, o.json);
    if (!o.central.central.empty()) {
        CentralLogOptions central = o.central;
        central.csv = o.csv;
        central.json = o.json;
        return runCentralLog(central, filter);
    }
    std::string error;
    std::unique_ptr<ProductionRecord> record =
        openProductionRecord(path, RecordAccess::Read, &error);
    std::vector<UnitRecord> units;
    const bool ok = record && record->listUnits(filter, &units, &error);
    if (record)
        for (const std::string& warning : record->takeWarnings())
            std::fprintf(stderr, "tarvolo log: warning: %s\n", terminalSafe(warning).c_str());
    if (!ok)
        return fail(kExitCannotOpen, error);

    const UnitSummary summary = summarise(units);
    if (o.json) {
        printUnitJson(units, summary, stdout);
    } else if (o.csv) {
        keepStdoutBytes();
        printUnitCsv(units, stdout);
        printSummary(summary, stderr);
    } else {
        printUnitLines(units, stdout);
        std::printf("\n");
        printSummary(summary, stdout);
    }
    return 0;
}

constexpr const char* kLogFooter =
    "Lists the units of the production record in order of start time, then a summary:\n"
    "units, completed, failed (outcome failed or port-lost), interrupted, pass rate\n"
    "(completed of completed and failed), mean and p95 duration (nearest rank, over the\n"
    "units listed), failures by port and by result. --csv writes the summary to stderr.\n"
    "--label LABEL lists every attempt at one unit, across runs and stations.\n"
    "--export NEW writes every run and unit of the record into the new file NEW instead\n"
    "(NEW.db: SQLite), keeping their ids; nothing is left at NEW when it fails.\n"
    "Exit codes: 0 listed (also when no unit matches) or exported, 1 the record is missing or\n"
    "cannot be read, or NEW cannot be written, 64 bad argument.";

}  // namespace

void setupLogCommand(CLI::App& app, std::function<int()>& run)
{
    auto o = std::make_shared<LogOptions>();
    auto* cmd = app.add_subcommand("log", "List the units a production station recorded");
    cmd->footer(kLogFooter);
    const std::string kinds = "a .jsonl file is read as JSON Lines, any other as SQLite";
    cmd->add_option("--db", o->db,
                    "The production record: " + kinds + " (default " + defaultRecordPath() + ")")
        ->type_name("FILE");
    cmd->add_option("--since", o->since,
                    "Only units started at or after TIME: UTC as 2026-12-07T10:00:00Z or "
                    "2026-12-07, or an age such as 30m, 2h, 1d")
        ->type_name("TIME");
    cmd->add_option("--port", o->port,
                    "Only units whose port selector or resolved device is exactly SEL")
        ->type_name("SEL");
    cmd->add_option("--label", o->label, "Only units scanned with exactly this label: a unit's history")
        ->type_name("LABEL");
    cmd->add_flag("--failed", o->failed, "Only units that did not complete");
    auto* csv = cmd->add_flag("--csv", o->csv,
                              "One CSV row per unit under a heading of the record's column names");
    auto* json = cmd->add_flag("--json", o->json,
                               "One JSON object: \"units\" (the record's columns) and \"summary\"");
    csv->excludes(json);
    auto* exportTo = cmd->add_option("--export", o->exportTo,
                                     "Copy the whole record into the new file NEW (NEW.db: SQLite)")
                         ->type_name("NEW");
    for (const char* listing : {"--since", "--port", "--label", "--failed", "--csv", "--json"})
        exportTo->excludes(listing);
    auto* quarantined = cmd->add_flag("--quarantined", o->quarantined,
                                      "The units the central database refused for their data, with its message");
    quarantined->excludes(exportTo);
    auto* central = cmd->add_option("--central", o->central.central,
                                    "Every station's units from the central database (ODBC connection string or "
                                    "DSN=NAME; no password in it), with a summary per station")
                        ->type_name("CONNECTION");
    central->excludes(exportTo)->excludes(quarantined);
    cmd->add_option("--central-password-file", o->central.passwordFile, "A file holding the central password")
        ->type_name("FILE");
    cmd->add_option("--station", o->central.stationId, "With --central: only this station's units")
        ->type_name("ID")->needs(central);
    cmd->add_flag("--summary", o->central.summaryOnly, "With --central: the summary only, no list of units")
        ->needs(central);
    cmd->add_option("--limit", o->central.limit,
                    "With --central: list at most the latest N units (the summary still counts them all)")
        ->type_name("N")->check(CLI::Range(int64_t(1), int64_t(10000000)))->capture_default_str()->needs(central);
    cmd->callback([&run, o] { run = [o] { return runLog(*o); }; });
}
