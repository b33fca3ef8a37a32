// What the station tells those who watch it besides its own view (the web page): the run as
// it began, every port as the table shows it, and each unit as recorded. Called on the
// station's main thread; an implementation must return at once (it may queue, never wait on a
// network or a disk), since the station's loop waits for nothing but its workers.
#ifndef TARVOLO_STATION_STATION_LISTENER_H
#define TARVOLO_STATION_STATION_LISTENER_H

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "record/unit_record.h"

struct PortView;
struct StationTotals;

class StationListener {
public:
    virtual ~StationListener() = default;
    // The run is recorded and its workers are starting; `selectors` in port order.
    virtual void runStarted(const StationRun& run, const std::vector<std::string>& selectors) = 0;
    // Every turn of the station's loop: the ports as they stand now (unchanged ones too).
    virtual void portsNow(const std::vector<PortView>& ports, const StationTotals& totals) = 0;
    // A unit's row, as written to the record (or not: `recorded` false).
    virtual void unitEnded(size_t port, const UnitRecord& unit, bool recorded) = 0;
    // The central database's state when it changes (with --central), under the names of the
    // `central` fact (centralFields, station_facts.h).
    virtual void centralNow(const nlohmann::json& state) { (void)state; }
};

#endif
