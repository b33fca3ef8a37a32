// What the virtual handset saw and did, kept for the JSON report (--report): frames by kind,
// repeated frames, line speeds, the speed switches, each download's checksums and outcome, the
// faults injected and every protocol violation of the host.
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
    uint32_t violationCount = 0;
    std::vector<Violation> violations;         // the first kMaxViolations of them

    static constexpr size_t kMaxViolations = 1000;
};

struct HandsetOptions;
class FaultPlan;

// Writes the report as JSON to `path` through a temporary file. Returns an error text, empty
// on success.
std::string saveReport(const Report& report, const HandsetOptions& options, const FaultPlan& faults,
                       const std::string& path);
std::string reportJson(const Report& report, const HandsetOptions& options, const FaultPlan& faults);

#endif
