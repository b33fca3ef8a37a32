// What the service manager hears of the station (see service_notify.h).
#include "station/service_notify.h"

#include <algorithm>

#include "station/station_view.h"

std::string stationStatusLine(const std::vector<PortView>& ports, const StationTotals& totals)
{
    const auto flashing = std::count_if(ports.begin(), ports.end(),
                                        [](const PortView& p) { return p.kind == PortState::Flashing; });
    return "units done " + std::to_string(totals.units) + ", failed " + std::to_string(totals.failed) +
           ", interrupted " + std::to_string(totals.interrupted) + "; " + std::to_string(flashing) + " of " +
           std::to_string(ports.size()) + " ports flashing";
}

void ServiceNotifier::runStarted(const StationRun&, const std::vector<std::string>& selectors)
{
    started_ = true;
    send_("STATUS=starting the workers of " + std::to_string(selectors.size()) + " ports");
}

void ServiceNotifier::portsNow(const std::vector<PortView>& ports, const StationTotals& totals)
{
    const auto now = std::chrono::steady_clock::now();
    if (watchdogPeriod_.count() > 0 && now - lastWatchdog_ >= watchdogPeriod_) {
        lastWatchdog_ = now;
        send_("WATCHDOG=1");
    }
    std::string message;
    // Ready once every worker has said where its port is (an absent adapter is an answer too).
    if (started_ && !ready_ &&
        std::none_of(ports.begin(), ports.end(), [](const PortView& p) { return p.kind == PortState::Starting; })) {
        ready_ = true;
        message = "READY=1\n";
    }
    // Every worker gone for good: the station is ending (finishing its record, reaching the
    // central database one last time). The manager then waits out TimeoutStopSec= rather than
    // the watchdog, which this last stretch does not feed.
    if (ready_ && !stopping_ && !ports.empty() &&
        std::all_of(ports.begin(), ports.end(), [](const PortView& p) { return p.kind == PortState::Stopped; })) {
        stopping_ = true;
        message += "STOPPING=1\n";
    }
    const std::string status = stationStatusLine(ports, totals);
    if (status != status_ || !message.empty()) {
        status_ = status;
        send_(message + "STATUS=" + status);
    }
}
