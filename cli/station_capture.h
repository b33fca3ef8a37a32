// The station's capture options (--capture-all, the bounds of one capture and of the folder)
// and how they reach its workers: the station passes them on each worker's command line, the
// worker's command turns them back into a CaptureStorePolicy.
#ifndef TARVOLO_CLI_STATION_CAPTURE_H
#define TARVOLO_CLI_STATION_CAPTURE_H

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "capture/capture_store.h"

struct StationCaptureArguments {
    bool all = false;
    bool none = false;
    double unitMaxMib = 32;
    double totalMaxMib = 1024;
    double maxAgeDays = 30;
};

void addStationCaptureOptions(CLI::App* station, StationCaptureArguments& a);
// The policy for a record at `recordPath` (its folder's captures/), empty folder for --no-captures.
CaptureStorePolicy capturePolicy(const StationCaptureArguments& a, const std::string& recordPath);
// The worker's arguments for `policy`; none when it keeps no captures.
std::vector<std::string> workerCaptureArguments(const CaptureStorePolicy& policy);
void addWorkerCaptureOptions(CLI::App* worker, CaptureStorePolicy& policy);

#endif
