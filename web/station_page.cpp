// The station's live page (see station_page.h).
#include "web/station_page.h"

#include <cmath>

#include "record/record_fields.h"
#include "record/record_json.h"
#include "station/station_view.h"
#include "web/live_feed.h"

namespace {

nlohmann::json tile(const PortView& p)
{
    return {{"selector", p.selector}, {"identity", p.identity}, {"state", p.state},
            {"kind", portStateWord(p.kind)}, {"sequence", p.sequence}, {"phase", p.phase},
            {"block", p.block}, {"total", p.total}, {"bps", std::lround(p.bytesPerSecond)},
            {"label", p.label}};
}

nlohmann::json counts(const StationTotals& t)
{
    const int64_t judged = t.units - t.interrupted;  // an interrupted unit says nothing of the line
    const double hours = t.elapsedSeconds / 3600.0;
    return {{"units", t.units}, {"failed", t.failed}, {"interrupted", t.interrupted},
            {"pass_rate", judged > 0 ? nlohmann::json(static_cast<double>(judged - t.failed) / judged) : nlohmann::json()},
            {"per_hour", hours > 0 ? std::round(t.units / hours * 10) / 10 : 0.0},
            {"elapsed_s", std::llround(std::floor(t.elapsedSeconds))}};
}

int64_t nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

// Every message carries when the station sent it: the page shows how far behind it is.
void StationPage::send(nlohmann::json patch)
{
    patch["sent_ms"] = nowMs();
    feed_.patch(patch);
}

void StationPage::runStarted(const StationRun& run, const std::vector<std::string>& selectors)
{
    started_ = std::chrono::steady_clock::now();
    nlohmann::json ports = nlohmann::json::object();
    ports_.assign(selectors.size(), nlohmann::json());
    for (size_t i = 0; i < selectors.size(); ++i)
        ports[std::to_string(i)] = {{"selector", selectors[i]}, {"last", nullptr}};
    send({{"run", {{"run_id", run.runId}, {"station_id", run.stationId}, {"operator", run.operatorName},
                   {"lot", run.lot}, {"started_utc", run.startedUtc}, {"release_file", run.releaseFile},
                   {"release_sha256", run.releaseSha256}, {"mode", run.mode}, {"speed", run.speed},
                   {"central", nullptr}}},
          {"ports", ports}});
}

void StationPage::portsNow(const std::vector<PortView>& ports, const StationTotals& totals)
{
    nlohmann::json patch = nlohmann::json::object();
    ports_.resize(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        nlohmann::json now = tile(ports[i]);
        if (now != ports_[i])
            patch["ports"][std::to_string(i)] = ports_[i] = std::move(now);
    }
    nlohmann::json run = counts(totals);
    if (run != totals_)
        patch["run"] = totals_ = std::move(run);
    if (!patch.empty())
        send(std::move(patch));
}

void StationPage::unitEnded(size_t port, const UnitRecord& unit, bool recorded)
{
    nlohmann::json last = nlohmann::json(fieldsToJson(unitFields(unit)));
    last["recorded"] = recorded;
    send({{"ports", {{std::to_string(port), {{"last", last}}}}}});
    // A chart's item: a few of the same row's fields, under the same names.
    const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    nlohmann::json item = {{"port", port}, {"at_s", std::round(at * 10) / 10}, {"sent_ms", nowMs()}};
    for (const char* name : {"sequence", "outcome", "result_code", "result_meaning", "duration_ms"})
        item[name] = last[name];
    feed_.append(item);
}

void StationPage::centralNow(const nlohmann::json& state) { send({{"run", {{"central", state}}}}); }
