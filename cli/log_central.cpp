// tarvolo log --central (log_central.h).
#include "cli/log_central.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

#include "central/central_connection.h"
#include "central/central_log.h"
#include "cli/console.h"
#include "cli/log_output.h"
#include "output/json_line.h"
#include "output/shown_text.h"
#include "record/record_fields.h"
#include "record/record_json.h"
#include "record/unit_csv.h"
#include "session/exit_codes.h"

namespace {

int fail(int code, const std::string& message)
{
    std::fprintf(stderr, "tarvolo log: %s\n", terminalSafe(message).c_str());
    return code;
}

void printStations(const std::vector<StationSummary>& stations, std::FILE* out)
{
    std::fprintf(out, "by station:\n");
    for (const StationSummary& s : stations) {
        char rate[32] = "-";
        if (s.summary.passRate)
            std::snprintf(rate, sizeof rate, "%.1f%%", *s.summary.passRate * 100.0);
        std::fprintf(out, "  %s: %lld units, %lld completed, %lld failed, %lld interrupted, pass rate %s\n",
                     terminalSafe(s.stationId).c_str(), static_cast<long long>(s.summary.units),
                     static_cast<long long>(s.summary.completed), static_cast<long long>(s.summary.failed),
                     static_cast<long long>(s.summary.interrupted), rate);
    }
}

nlohmann::ordered_json stationsJson(const std::vector<StationSummary>& stations)
{
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const StationSummary& s : stations)
        list.push_back({{"station_id", s.stationId}, {"units", s.summary.units},
                        {"completed", s.summary.completed}, {"failed", s.summary.failed},
                        {"interrupted", s.summary.interrupted},
                        {"pass_rate", s.summary.passRate ? nlohmann::ordered_json(*s.summary.passRate) : nullptr},
                        {"mean_duration_s", s.summary.meanSeconds ? nlohmann::ordered_json(*s.summary.meanSeconds) : nullptr},
                        {"p95_duration_s", s.summary.p95Seconds ? nlohmann::ordered_json(*s.summary.p95Seconds) : nullptr}});
    return list;
}

// The listing stops at --limit; the summary below still counts every unit that matched.
void printLeftOff(int64_t leftOff, size_t listed, std::FILE* out)
{
    if (leftOff > 0)
        std::fprintf(out, "%lld more earlier units not listed (these are the latest %zu); use --since or --limit\n",
                     static_cast<long long>(leftOff), listed);
}

// The listing as it comes, a page at a time: aligned lines (each page aligned on its own, under
// its own heading), CSV rows, or the members of the JSON object's "units" array.
class ListingWriter {
public:
    explicit ListingWriter(const CentralLogOptions& o) : o_(o) {}

    void page(const std::vector<UnitRecord>& units)
    {
        if (o_.json) {
            for (const UnitRecord& u : units) {
                std::fputs(listed_ == 0 ? "{\"units\":[" : ",", stdout);
                const std::string row = jsonLine(fieldsToJson(unitFields(u)));
                std::fwrite(row.data(), 1, row.size(), stdout);
                ++listed_;
            }
            return;
        }
        if (o_.csv) {
            if (listed_ == 0)
                printUnitCsv({}, stdout);  // the heading row
            for (const UnitRecord& u : units) {
                const std::string row = unitCsvRow(u);
                std::fwrite(row.data(), 1, row.size(), stdout);
            }
        } else {
            printUnitLines(units, stdout);
        }
        listed_ += units.size();
    }

    size_t listed() const { return listed_; }

    // No unit matched: the heading alone, as the local log prints it.
    void headingIfEmpty()
    {
        if (listed_ > 0 || o_.json)
            return;
        if (o_.csv)
            printUnitCsv({}, stdout);
        else
            printUnitLines({}, stdout);
    }

    // The JSON object's end: the units' array closed, then the summary and what was left off.
    void endJson(nlohmann::ordered_json rest)
    {
        const std::string empty = "{\"units\":[]";
        std::string line = jsonLine(rest);
        if (listed_ > 0)
            line = "]" + line.substr(empty.size());
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputs("\n", stdout);
    }

private:
    const CentralLogOptions& o_;
    size_t listed_ = 0;
};

}  // namespace

int runCentralLog(const CentralLogOptions& o, const UnitFilter& filter)
{
    CentralTarget target;
    std::string error;
    if (!resolveCentral(o.central, o.passwordFile, &target, &error))
        return fail(kExitUsage, error);
    OdbcError e;
    auto db = connectCentral(target, 10, &e);
    if (!db)
        return fail(kExitCentralFailed, "cannot reach the central database: " + e.text());
    const CentralQuery query{filter, o.stationId, o.limit};
    UnitSummary summary;
    std::vector<StationSummary> stations;
    // The summary first: a listing that fails half-way has printed nothing of it, and the
    // error says so.
    if (!centralSummary(*db, query, &summary, &stations, &e))
        return fail(kExitCentralFailed, "cannot read the central database: " + e.text());
    if (o.csv)
        keepStdoutBytes();
    ListingWriter writer(o);
    if (!o.summaryOnly &&
        !centralUnitPages(*db, query, [&writer](const std::vector<UnitRecord>& units) { writer.page(units); }, &e)) {
        std::fflush(stdout);
        return fail(kExitCentralFailed, "cannot read the central database (the listing above is cut short): " +
                                            e.text());
    }
    if (!o.summaryOnly)
        writer.headingIfEmpty();
    const int64_t leftOff = o.summaryOnly ? 0 : summary.units - static_cast<int64_t>(writer.listed());
    if (o.json) {
        // The local log's object, with the stations' summaries beside its own.
        nlohmann::ordered_json j = unitJsonObject({}, summary);
        j["summary"]["by_station"] = stationsJson(stations);
        if (!o.summaryOnly)
            j["units_left_off"] = std::max<int64_t>(leftOff, 0);
        writer.endJson(j);
    } else if (o.csv) {
        printLeftOff(leftOff, writer.listed(), stderr);
        printSummary(summary, stderr);
        printStations(stations, stderr);
    } else {
        if (!o.summaryOnly) {
            printLeftOff(leftOff, writer.listed(), stdout);
            std::printf("\n");
        }
        printSummary(summary, stdout);
        printStations(stations, stdout);
    }
    return 0;
}
