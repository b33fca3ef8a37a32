// The station's live page: what the station tells its listeners, as the page's state (one
// JSON snapshot, then merge patches and items through a LiveFeed). The state holds:
//   run:     the run's facts and totals, and `central` (null until a central record reports);
//   ports:   {"0": a tile's facts, ...}, with `last`, the last unit's row under the record's
//            own field names (so a field the record gains reaches the page with no change here);
//   items:   the units of the run, a few facts each, for the charts.
// Station's main thread; every call returns at once (the feed never waits for a browser).
#ifndef TARVOLO_WEB_STATION_PAGE_H
#define TARVOLO_WEB_STATION_PAGE_H

#include <nlohmann/json.hpp>

#include <chrono>
#include <vector>

#include "station/station_listener.h"

class LiveFeed;

class StationPage : public StationListener {
public:
    explicit StationPage(LiveFeed& feed) : feed_(feed) {}

    void runStarted(const StationRun& run, const std::vector<std::string>& selectors) override;
    void portsNow(const std::vector<PortView>& ports, const StationTotals& totals) override;
    void unitEnded(size_t port, const UnitRecord& unit, bool recorded) override;
    // The central record's state (connected, units not yet confirmed, the oldest of them), as
    // its owner words it; shown in the run's panel.
    void centralNow(const nlohmann::json& state) override;

private:
    void send(nlohmann::json patch);

    LiveFeed& feed_;
    std::vector<nlohmann::json> ports_;  // each tile as last sent, `last` aside
    nlohmann::json totals_;              // the run's counts as last sent
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

#endif
