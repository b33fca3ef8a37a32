// The station's display (see station_view.h).
#include "station/station_view.h"

#include <cstdio>
#include <ctime>

#include "output/json_line.h"
#include "output/shown_text.h"

namespace {

constexpr auto kRedrawPeriod = std::chrono::milliseconds(250);
constexpr size_t kNotesShown = 4;
constexpr size_t kLabelColumns = 18;  // an IMEI, a serial number

std::string clockNow()
{
    // Only the station's main thread asks for the time of day.
    const std::time_t t = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&t));
    return text;
}

}  // namespace

void StationView::show(const PortView* port, const StationFact& fact)
{
    if (mode_ == StationViewMode::Json) {
        nlohmann::json object = factJson(fact);
        if (port)
            object["port"] = port->selector;
        writeJsonLine(stdout, object);
        return;
    }
    const std::string text = factText(fact);
    if (text.empty())
        return;
    const std::string told = (port ? port->selector + ": " : "") + text;
    // A unit that failed, or could not be recorded, is an error the journal can be asked for
    // alone (journalctl -p err); every other fact is information.
    const std::string line = mode_ == StationViewMode::Journal ? (factIsError(fact) ? "<3>" : "<6>") + told
                                                               : clockNow() + " " + told;
    if (mode_ != StationViewMode::Terminal) {
        std::printf("%s\n", terminalSafe(line).c_str());
        std::fflush(stdout);
        return;
    }
    notes_.push_back(line);
    if (notes_.size() > kNotesShown)
        notes_.erase(notes_.begin());
}

std::string StationView::row(const PortView& p, const std::string& name, const std::string& identity) const
{
    char unit[16] = "";
    if (p.sequence > 0)
        std::snprintf(unit, sizeof unit, "#%lld", static_cast<long long>(p.sequence));
    const std::string doing = p.sequence > 0 ? p.phase : p.state;
    const std::string label = labels_ ? fitColumn(p.label, kLabelColumns) + " " : "";
    return fitColumn(name, 22) + " " + fitColumn(identity, 24, true) + " " + fitColumn(unit, 6) + " " + label +
           fitColumn(doing, 20) + " " + progressBar(p.block, p.total, 20) + " " +
           fitColumn(formatRate(p.bytesPerSecond), 10) + " " + fitColumn(p.lastResult, 26);
}

void StationView::draw(const std::vector<PortView>& ports, const StationTotals& totals, bool now)
{
    if (mode_ != StationViewMode::Terminal)
        return;
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - lastDraw_ < kRedrawPeriod)
        return;
    lastDraw_ = at;
    std::vector<std::string> selectors, identities;
    for (const PortView& p : ports) {
        selectors.push_back(p.selector);
        identities.push_back(p.identity);
    }
    const std::vector<std::string> names = distinctNames(selectors, 22);
    const std::vector<std::string> devices = distinctNames(identities, 24);
    std::vector<std::string> lines = {fitColumn("port", 22) + " " + fitColumn("device", 24) + " " +
                                      fitColumn("unit", 6) + " " +
                                      (labels_ ? fitColumn("label", kLabelColumns) + " " : "") +
                                      fitColumn("phase", 20) + " " +
                                      fitColumn("progress", 22) + " " + fitColumn("speed", 10) +
                                      " last unit"};
    for (size_t i = 0; i < ports.size(); ++i)
        lines.push_back(row(ports[i], names[i], devices[i]));
    const double hours = totals.elapsedSeconds / 3600.0;
    char footer[200];
    std::snprintf(footer, sizeof footer,
                  "units done %lld, failed %lld, interrupted %lld, %.1f units/hour, elapsed %s",
                  static_cast<long long>(totals.units), static_cast<long long>(totals.failed),
                  static_cast<long long>(totals.interrupted),
                  hours > 0 ? totals.units / hours : 0.0, formatDuration(totals.elapsedSeconds).c_str());
    lines.push_back(footer);
    if (!totals.central.empty())
        lines.push_back(totals.central);
    lines.insert(lines.end(), notes_.begin(), notes_.end());
    live_.draw(lines);
}
