// What the virtual handset saw and did, kept for the JSON report (--report): frames by kind,
// repeated frames, line speeds, the speed switches, each download's checksums and outcome, the
// faults injected and every protocol violation of the host; for a stream of units (--units)
// the same summed over the units, and each unit's own record.
#ifndef TARVOLO_HANDSET_REPORT_H
#define TARVOLO_HANDSET_REPORT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct Violation {
    double atMs;
    std::string what;
};

struct SpeedSwitch {
    uint32_t to = 0;
    double hostSwitchedAfterMs = -1;   // after the request's line time; -1: never seen
    bool answered = false;
};

struct DownloadRecord {
    uint32_t speed = 0;
    bool erased = false;
    uint32_t blocksWritten = 0;        // write frames taken into the flash, repeats included
    int64_t highestBlock = -1;
    bool checksumSeen = false;
    uint16_t hostChecksum = 0;
    uint16_t ownChecksum = 0;          // before any wrong-checksum fault
    uint32_t checksumBlocks = 0;
    uint32_t trailingBlankBlocks = 0;
    std::string outcome = "in progress";
};

struct Report {
    std::map<std::string, uint32_t> frames;    // by kind
    std::map<std::string, uint32_t> retries;   // a frame repeating the one before it
    std::vector<uint32_t> speeds;              // host line speeds seen, in order of first sight
    std::vector<SpeedSwitch> switches;
    std::vector<DownloadRecord> downloads;
    uint32_t restarts = 0;                     // inquiries that started the handset over
    uint32_t repeatedDownloads = 0;            // downloads started after an earlier one had ended
    uint32_t violationCount = 0;
    std::vector<Violation> violations;         // the first kMaxViolations of them

    static constexpr size_t kMaxViolations = 1000;
};

struct HandsetOptions;
class FaultPlan;

// The faults switched on and how often each was injected, by fault name.
using FaultCounts = std::map<std::string, uint32_t>;
void addFaultCounts(FaultCounts& counts, const FaultPlan& plan);

// Adds what a later unit saw to `into`.
void mergeReport(Report& into, const Report& from);

namespace handset {

// One unit of a stream (a station's production record has a UnitRecord of its own).
struct UnitRecord {
    uint32_t unit = 0;                      // from 1
    double attachedMs = 0;                  // since the handset started
    double detachedMs = -1;                 // -1: still attached
    std::vector<DownloadRecord> downloads;
    uint32_t repeatedDownloads = 0;         // started after one of its downloads had ended
    bool vanished = false;                  // its port went away with it
    std::string flashOut;                   // its flash file; empty without --flash-out
    FaultCounts faults;
    std::vector<std::string> settings;      // its own settings as given
};

}  // namespace handset

// The unit's result as the handset saw it: the first of its downloads that ended decides
// ("completed", "refused", "aborted"); otherwise "vanished", "abandoned" (a download cut short),
// "never started", or while it is attached "in progress" or "waiting".
std::string unitResult(const handset::UnitRecord& unit);

// The report as JSON text; `units` adds the per-unit array (a stream), null leaves it out.
std::string reportJson(const Report& report, const HandsetOptions& options, const FaultCounts& faults,
                       const std::vector<handset::UnitRecord>* units);
// Writes `text` to `path` through a temporary file. Returns an error text, empty on success.
std::string saveReport(const std::string& text, const std::string& path);

#endif
