// What a service manager (systemd, Type=notify) hears of a station it started: READY=1 once
// the run is recorded and every port's worker has reported, a one-line STATUS= whenever the
// units done or the ports flashing change, STOPPING=1 once every worker has ended for good,
// and WATCHDOG=1 at half the manager's watchdog
// timeout, sent from the station's main loop (the listener's portsNow is called on each of its
// turns), so that a loop that hangs or is stopped falls silent and the manager restarts it.
//
// The protocol is one datagram per message to the AF_UNIX socket named by $NOTIFY_SOCKET; it
// is a few lines, written here rather than linked from libsystemd, which the Windows build
// could not link and which the station needs nothing else of.
//
// Station's main thread only.
#ifndef TARVOLO_STATION_SERVICE_NOTIFY_H
#define TARVOLO_STATION_SERVICE_NOTIFY_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/station_listener.h"

class ServiceNotifier : public StationListener {
public:
    using Send = std::function<void(const std::string& message)>;
    // `send` delivers one message and returns at once; `watchdogPeriod` is how often WATCHDOG=1
    // is due (zero: the manager keeps no watchdog).
    ServiceNotifier(Send send, std::chrono::milliseconds watchdogPeriod)
        : send_(std::move(send)), watchdogPeriod_(watchdogPeriod)
    {
    }

    void runStarted(const StationRun& run, const std::vector<std::string>& selectors) override;
    void portsNow(const std::vector<PortView>& ports, const StationTotals& totals) override;
    void unitEnded(size_t, const UnitRecord&, bool) override {}

private:
    Send send_;
    std::chrono::milliseconds watchdogPeriod_;
    std::chrono::steady_clock::time_point lastWatchdog_{};
    bool started_ = false;
    bool ready_ = false;
    bool stopping_ = false;
    std::string status_;
};

// The STATUS= text: "units done 3, failed 1, interrupted 0; 2 of 4 ports flashing".
std::string stationStatusLine(const std::vector<PortView>& ports, const StationTotals& totals);

// The notifier for the manager that started this process ($NOTIFY_SOCKET, $WATCHDOG_USEC,
// $WATCHDOG_PID), or nullptr when none listens (always on Windows). One file per platform.
std::unique_ptr<ServiceNotifier> serviceNotifierFromEnvironment();

#endif
