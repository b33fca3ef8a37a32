// Several listeners where the station takes one (station_listener.h): the web page and the
// service manager may both watch a station. Station's main thread; each is told in turn.
#ifndef TARVOLO_STATION_STATION_LISTENERS_H
#define TARVOLO_STATION_STATION_LISTENERS_H

#include <vector>

#include "station/station_listener.h"

class StationListeners : public StationListener {
public:
    void add(StationListener* listener)
    {
        if (listener)
            listeners_.push_back(listener);
    }
    // What the station is given: nullptr when nobody listens.
    StationListener* any() { return listeners_.empty() ? nullptr : this; }

    void runStarted(const StationRun& run, const std::vector<std::string>& selectors) override
    {
        for (StationListener* l : listeners_)
            l->runStarted(run, selectors);
    }
    void portsNow(const std::vector<PortView>& ports, const StationTotals& totals) override
    {
        for (StationListener* l : listeners_)
            l->portsNow(ports, totals);
    }
    void unitEnded(size_t port, const UnitRecord& unit, bool recorded) override
    {
        for (StationListener* l : listeners_)
            l->unitEnded(port, unit, recorded);
    }
    void centralNow(const nlohmann::json& state) override
    {
        for (StationListener* l : listeners_)
            l->centralNow(state);
    }

private:
    std::vector<StationListener*> listeners_;
};

#endif
