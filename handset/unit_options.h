// A stream of units (--units): one virtual handset after another on the same pty, the way an
// operator plugs one handset after another into a station's cable. This file holds the
// stream's settings and turns the per-unit ones (--unit-faults, --scenario) into each unit's own
// options; stream.h plays the stream. Used on the main thread, at start-up (to check every
// unit's settings before the pty opens) and when a unit attaches.
//
// A unit's settings are items named like the command-line options without their dashes:
// the fault options ("completion-refusals=2", "silent=block=1@3", "unanswered-abort"; a schedule
// option without a value means "all") and "noise-bytes", the record ("product-id", "protocol",
// "download-code", "block-size", "image-blocks"), timing ("erase-ms", "write-ms",
// "turnaround-ms"), "vanish-after-blocks=N" (the adapter is pulled once the unit has taken
// N blocks) and "leave-after-blocks=N" (the handset alone is pulled off the cable then; the
// adapter stays). A unit's item replaces the global setting for that unit only.
#ifndef TARVOLO_HANDSET_UNIT_OPTIONS_H
#define TARVOLO_HANDSET_UNIT_OPTIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "handset/options.h"

// One setting of a unit as given: the option's name and its value ("product-id", "XY99").
struct UnitItem {
    std::string name;
    std::string value;
    bool hasValue = false;

    std::string text() const { return hasValue ? name + "=" + value : name; }
};

struct StreamOptions {
    uint32_t units = 0;          // 0: one handset for the whole run, no stream
    double stayMs = 3000;        // a finished unit stays connected this long after its last download
    double gapMs = 3000;         // from one unit's detach to the next one's attach
    double maxMs = 0;            // a unit whose download has not ended by then detaches (0: no limit)
    double replugMs = 1000;      // after a unit vanished: the port comes back this much later
    std::vector<std::string> unitFaults;                // --unit-faults as given
    std::string scenario;                               // --scenario as given
    std::map<uint32_t, std::vector<UnitItem>> items;    // by unit number, from 1
};

// One unit as it plays: the global options with its own items applied.
struct UnitSetup {
    HandsetOptions options;
    uint32_t vanishAfterBlocks = 0;       // 0: never
    uint32_t leaveAfterBlocks = 0;        // 0: never
    std::vector<std::string> settings;    // its items as given
};

// Reads --scenario and --unit-faults into stream.items (the command line after the scenario),
// takes the unit count from the scenario when --units is not given, and checks every unit's
// items. Returns an error text, empty when all is well.
std::string applyStream(StreamOptions& stream, const HandsetOptions& options);
// "UNITS:ITEM[,ITEM...]": UNITS is N, N-M or a comma-separated list of those, ITEM is NAME or
// NAME=VALUE.
std::string parseUnitFaults(const std::string& text, StreamOptions& stream);
// JSON lines, one object per unit in order; blank lines and lines starting with '#' are
// skipped. Keys are item names; a value is a string, a number, true (a bare item; false
// leaves it out) or an array of strings (the item repeated, as for "silent").
std::string parseScenario(const std::string& text, StreamOptions& stream);

// The unit's options, its vanish point and its settings. Returns an error text naming the
// unit and the item, empty when all is well.
std::string setupUnit(const HandsetOptions& global, const StreamOptions& stream, uint32_t unit, UnitSetup& setup);

// The unit's flash file: `flashOut` with "%d" or "{unit}" replaced by the unit number, or,
// without either, `flashOut` followed by "." and the number. Empty when flashOut is.
std::string unitFlashPath(const std::string& flashOut, uint32_t unit);

#endif
