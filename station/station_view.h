// What the operator of a station sees. On a terminal: a table redrawn in place, one row per
// port (the port and its identity, the unit on it, its phase, a progress bar, bytes per
// second, the last unit's result and time) and a footer (units done, failed and interrupted,
// units per hour, elapsed time), with the latest events under it. Without a terminal: one plain
// line per fact. With --json: one object per line, each carrying its port. Each line is a
// rendering of a fact (station_facts.h); the view adds only the port and the time. Station's
// main thread.
#ifndef TARVOLO_STATION_STATION_VIEW_H
#define TARVOLO_STATION_STATION_VIEW_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "output/terminal_view.h"
#include "station/port_state.h"
#include "station/station.h"
#include "station/station_facts.h"

struct PortView {
    std::string selector;
    std::string identity;       // the device and what it is, once present
    std::string state;          // what the port is doing, for people
    PortState kind = PortState::Starting;  // the same, for a program (the web page)
    int64_t sequence = 0;       // the unit on the port now (0: none)
    std::string label;          // scanning labels: the label of the handset on the port
    std::string phase;
    int32_t block = 0;
    int32_t total = 0;
    double bytesPerSecond = 0;
    std::string lastResult;     // the last unit: "#3 completed 12.4 s"
};

struct StationTotals {
    int64_t units = 0;         // ended, whatever their outcome
    int64_t failed = 0;        // not completed, and not interrupted
    int64_t interrupted = 0;   // stopped by the operator: they say nothing of the handset
    double elapsedSeconds = 0;
    std::string central;       // the central database's line; empty: none
};

class StationView {
public:
    // `labels`: the table has a column for each unit's scanned label.
    StationView(StationViewMode mode, int columns, bool labels = false) : mode_(mode), live_(columns), labels_(labels) {}

    // A fact about one port (nullptr: the station), rendered for the mode: its line for people
    // (none for a fact that has none), or its object.
    void show(const PortView* port, const StationFact& fact);
    // Redraws the table (terminal only), at most a few times a second unless `now`.
    void draw(const std::vector<PortView>& ports, const StationTotals& totals, bool now = false);

private:
    // `name` and `identity`: the port's, cut so that the rows stay told apart.
    std::string row(const PortView& port, const std::string& name, const std::string& identity) const;
    StationViewMode mode_;
    LiveBlock live_;
    bool labels_;
    std::vector<std::string> notes_;  // the latest events, under the table on a terminal
    std::chrono::steady_clock::time_point lastDraw_{};
};

#endif
