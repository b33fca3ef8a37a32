// What happens at a station, one typed fact each, with one set of field names
// (docs/station-facts.md lists them). Every output is a rendering of the same fact: the line
// for people (factText), the `--json` object (factJson), the table's and the page's view of a
// port (PortView, station_view.h) and the unit's row in the record (record_fields.h), whose
// names the unit facts take. A fact is made where it happens and shown at once; none is kept.
// Plain values and pure functions: any thread.
#ifndef TARVOLO_STATION_STATION_FACTS_H
#define TARVOLO_STATION_STATION_FACTS_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "central/central_link.h"
#include "record/unit_record.h"
#include "station/port_state.h"
#include "station/worker_messages.h"

// ---- A unit --------------------------------------------------------------------------------

struct UnitStarted {      // unit_start
    int64_t sequence = 0;
    std::string label;    // scanning labels: the label of the handset on the port
    int64_t attempt = 0;
};
struct UnitProgress {     // progress: --json only, the worker's own object
    ProgressEvent progress;
};
struct UnitUnsent {       // unsent: the image's end that no whole block carries
    UnsentEvent unsent;
};
struct UnitEnded {        // unit_end: the record's row, whether the record took it, and why not
    UnitRecord unit;
    bool recorded = true;
    std::string reason;
};
struct RecordFailed {     // record_failed
    std::string reason;
};

// ---- A port --------------------------------------------------------------------------------

struct PortMoved {        // the port's new state; `said`, when the worker's words moved it
    PortState state = PortState::Starting;
    std::optional<WorkerEvent> said;
};
struct PortPlace {        // port: where the port is, as its worker says
    PortState state = PortState::Starting;
    PresenceEvent presence;
};
struct AwaitingLabel {    // awaiting_label
    PortState state = PortState::AwaitingLabel;
};
struct HandsetGone {};    // handset_gone
struct WorkerSaid {       // error: the worker's message
    ErrorEvent error;
};
struct WorkerFailed {     // worker_failed: it could not be started
    std::string reason;
};
struct WorkerHung {       // worker_hung
    int64_t silentMs = 0;
};
struct WorkerEnded {      // worker_ended: a fresh one follows
    std::string reason;
};

// ---- Labels --------------------------------------------------------------------------------

enum class LabelState { Given, Waiting, Refused, Dropped };
struct LabelFact {        // label
    LabelState state = LabelState::Given;
    std::string label;
    int64_t attempt = 0;  // Given
    std::string reason;   // Refused
    int64_t windowMs = 0; // Waiting, Dropped: how long a label waits for its handset
};
struct LabelsEnded {};    // labels_ended

// ---- The run -------------------------------------------------------------------------------

struct RunStarted {       // station_start
    int64_t run = 0;
    std::string release;
    std::string sha256;
    std::vector<std::string> ports;
};
struct CentralFact {      // central: the link to the central database
    CentralState state;
    int64_t oldestUnconfirmedS = 0;  // the age of state.backlog.oldestEndedUtc
};
struct ArmingHold {       // central_hold / central_resume, revocation_hold / revocation_resume
    std::string source;   // "central" or "revocation"
    std::string reason;   // empty: arming again
};
struct Stopping {         // stopping
    std::string reason;
};
struct RunEnded {         // station_end
    int code = 0;
    int64_t units = 0;
    int64_t failed = 0;
    int64_t interrupted = 0;
};

using StationFact = std::variant<UnitStarted, UnitProgress, UnitUnsent, UnitEnded, RecordFailed, PortMoved,
                                 PortPlace, AwaitingLabel, HandsetGone, WorkerSaid, WorkerFailed, WorkerHung,
                                 WorkerEnded, LabelFact, LabelsEnded, RunStarted, CentralFact, ArmingHold,
                                 Stopping, RunEnded>;

// The `--json` object, without its `port` (the view adds it).
nlohmann::json factJson(const StationFact& fact);
// The line for people, without its port; empty for a fact shown in --json alone.
std::string factText(const StationFact& fact);
// A failed unit and a record that refused one are errors (the journal's priority 3).
bool factIsError(const StationFact& fact);

// The link's state under the names the page and `--json` share (the page adds no age: it
// counts it from the time).
nlohmann::json centralFields(const CentralState& state);
// A unit's result as the table's last-unit column shows it: "#3 completed 12.4 s".
std::string lastUnitCell(const UnitRecord& unit);
// Whole seconds, to a tenth: "12.4 s".
std::string secondsText(double seconds);

#endif
