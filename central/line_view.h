// What the line's dashboard reads from the central database: each station's state and when it
// was last heard from, a period's figures per station and per lot, and a unit search. Every
// value crosses as a parameter; every list is bounded (a search returns at most one page).
// Needs only the reader role. One thread at a time per connection, as OdbcConnection.
#ifndef TARVOLO_CENTRAL_LINE_VIEW_H
#define TARVOLO_CENTRAL_LINE_VIEW_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "central/odbc.h"
#include "record/unit_record.h"

// A station silent this long (its heartbeat comes every 30 s) is shown as silent.
constexpr int64_t kStationSilentSeconds = 120;

// A station's clock this far from the server's is off: its units count in a period by when
// the server received them. Wider than any wait of a connected station's shipping (its link
// retries within 60 s), narrower than anything that moves a unit between the page's periods
// in a way one would notice (8 h and longer).
constexpr int64_t kStationClockOffSeconds = 120;

struct LineStation {
    std::string stationId;
    std::string lastHeardUtc;
    int64_t silentSeconds = 0;  // since the last heartbeat, by the server's clock
    std::string toolVersion;
    // Its latest run (empty when none has been shipped) and how it ended (empty: not yet).
    std::string runStartedUtc, operatorName, lot, releaseFile, runEnding;
    // How far its clock is ahead of the server's (behind: negative), from its latest units:
    // the largest of (its time at a unit's end - the server's receive time). A unit shipped
    // late only lowers that, so a clock behind shows until a unit ships live. None without units.
    std::optional<int64_t> clockAheadSeconds;
    std::string state() const;  // "running", "stopped" or "silent"
    bool clockOff() const;
};

struct LineFigures {
    std::string key;  // the station's or the lot's name; empty for the whole line
    int64_t units = 0, completed = 0, failed = 0, interrupted = 0;
    std::optional<double> passRate;  // completed of completed and failed
};

// The lots listed at most: those flashed most recently in the period, newest first.
constexpr size_t kMostLots = 500;

struct LineFigureSet {
    LineFigures line;
    std::vector<LineFigures> stations, lots;
    int64_t lotsLeftOff = 0;
};

// Units started in [fromUtc, toUtc) (either empty: unbounded), the record's time form; the
// units of the stations in `byReceived` (those whose clock is off) received by the server in it.
struct LinePeriod {
    std::string fromUtc, toUtc;
    std::vector<std::string> byReceived;
};

// The stations of `stations` whose clock is off.
std::vector<std::string> clockOffStations(const std::vector<LineStation>& stations);

struct UnitSearch {
    LinePeriod period;
    std::string station, port, result, lot, release, attemptUuid, label;  // empty: any
    int64_t offset = 0;
    int64_t limit = 200;
};

bool lineStations(OdbcConnection& db, std::vector<LineStation>* stations, OdbcError* error);
bool lineFigures(OdbcConnection& db, const LinePeriod& period, LineFigureSet* figures, OdbcError* error);
// Newest first. `result` is an outcome word (completed, failed, interrupted, port-lost) or a
// result code; `port` a selector or a device; `release` a SHA-256 or a release file's name.
bool searchUnits(OdbcConnection& db, const UnitSearch& search, std::vector<UnitRecord>* units, OdbcError* error);

#endif
