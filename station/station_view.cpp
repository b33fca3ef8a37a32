// The station's display (see station_view.h).
#include "station/station_view.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr auto kRedrawPeriod = std::chrono::milliseconds(250);
constexpr size_t kNotesShown = 4;

std::string clockNow()
{
    // Only the station's main thread asks for the time of day.
    const std::time_t t = std::time(nullptr);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&t));
    return text;
}

std::string fit(const std::string& text, size_t width)
{
    if (text.size() <= width)
        return text + std::string(width - text.size(), ' ');
    return text.substr(0, width - 1) + "~";
}

std::string bar(int32_t block, int32_t total, int width)
{
    const int filled = total > 0 ? static_cast<int>(static_cast<int64_t>(block) * width / total) : 0;
    std::string text = "[";
    for (int i = 0; i < width; ++i)
        text += i < filled ? '#' : '-';
    return text + "]";
}

std::string duration(double seconds)
{
    const long s = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

}  // namespace

void StationView::event(const PortView* port, nlohmann::json object, const std::string& text)
{
    if (mode_ == StationViewMode::Json) {
        if (port)
            object["port"] = port->selector;
        std::printf("%s\n", object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
        std::fflush(stdout);
    } else {
        const std::string line = clockNow() + " " + (port ? port->selector + ": " : "") + text;
        if (mode_ == StationViewMode::Plain) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        } else if (!text.empty()) {
            notes_.push_back(line);
            if (notes_.size() > kNotesShown)
                notes_.erase(notes_.begin());
        }
    }
}

std::string StationView::row(const PortView& p) const
{
    char unit[16] = "";
    if (p.unit > 0)
        std::snprintf(unit, sizeof unit, "#%lld", static_cast<long long>(p.unit));
    char rate[24] = "";
    if (p.bytesPerSecond > 0)
        std::snprintf(rate, sizeof rate, "%.0f B/s", p.bytesPerSecond);
    const std::string doing = p.unit > 0 ? p.phase : p.state;
    return fit(p.selector, 22) + " " + fit(p.identity, 24) + " " + fit(unit, 6) + " " +
           fit(doing, 20) + " " + bar(p.block, p.total, 20) + " " + fit(rate, 10) + " " +
           fit(p.lastResult, 26);
}

void StationView::draw(const std::vector<PortView>& ports, const StationTotals& totals, bool now)
{
    if (mode_ != StationViewMode::Terminal)
        return;
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - lastDraw_ < kRedrawPeriod)
        return;
    lastDraw_ = at;
    std::vector<std::string> lines;
    const std::string header = fit("port", 22) + " " + fit("device", 24) + " " + fit("unit", 6) + " " +
                               fit("phase", 20) + " " + fit("progress", 22) + " " + fit("speed", 10) +
                               " last unit";
    lines.push_back(header);
    for (const PortView& p : ports)
        lines.push_back(row(p));
    const double hours = totals.elapsedSeconds / 3600.0;
    char footer[200];
    std::snprintf(footer, sizeof footer,
                  "units done %lld, failed %lld, interrupted %lld, %.1f units/hour, elapsed %s",
                  static_cast<long long>(totals.done), static_cast<long long>(totals.failed),
                  static_cast<long long>(totals.interrupted),
                  hours > 0 ? totals.done / hours : 0.0, duration(totals.elapsedSeconds).c_str());
    lines.push_back(footer);
    lines.insert(lines.end(), notes_.begin(), notes_.end());
    // Every line fits the terminal: a wrapped line would throw the redraw out of place.
    std::string block;
    const size_t width = columns_ > 1 ? static_cast<size_t>(columns_ - 1) : 79;
    for (const std::string& line : lines)
        block += (line.size() > width ? line.substr(0, width) : line) + "\n";
    if (drawnLines_ > 0)
        std::printf("\x1b[%dA\x1b[J", drawnLines_);
    std::fputs(block.c_str(), stdout);
    std::fflush(stdout);
    drawnLines_ = static_cast<int>(lines.size());
}
