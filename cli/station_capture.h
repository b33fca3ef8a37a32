// The station's capture options (--capture-all, the bounds of one capture and of the folder)
// as the CaptureStorePolicy each worker is given (through the worker's options).
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

#endif
