// The station's capture options (see station_capture.h).
#include "cli/station_capture.h"

namespace {

constexpr double kMib = 1024.0 * 1024.0;

}  // namespace

void addStationCaptureOptions(CLI::App* station, StationCaptureArguments& a)
{
    const std::string group = "Captures of the line";
    station->add_flag("--capture-all", a.all,
                      "Keep the capture of every unit, not only of the failed ones")->group(group);
    station->add_flag("--no-captures", a.none, "Keep no captures at all")->group(group);
    station->add_option("--capture-max-mib", a.unitMaxMib,
                        "One unit's capture keeps at most this many MiB (its start; later chunks are "
                        "counted in a comment), held in memory while the unit runs")
        ->capture_default_str()->check(CLI::Range(0.01, 4096.0))->group(group);
    station->add_option("--captures-max-mib", a.totalMaxMib,
                        "Captures beyond this many MiB in all are removed, oldest first (0: no limit)")
        ->capture_default_str()->check(CLI::Range(0.0, 1048576.0))->group(group);
    station->add_option("--captures-max-days", a.maxAgeDays,
                        "Captures older than this are removed (0: no limit)")
        ->capture_default_str()->check(CLI::Range(0.0, 36500.0))->group(group);
}

CaptureStorePolicy capturePolicy(const StationCaptureArguments& a, const std::string& recordPath)
{
    CaptureStorePolicy p;
    p.folder = a.none ? std::string() : captureFolderFor(recordPath);
    p.keepAll = a.all;
    p.unitLimitBytes = static_cast<uint64_t>(a.unitMaxMib * kMib);
    p.totalLimitBytes = static_cast<uint64_t>(a.totalMaxMib * kMib);
    p.maxAgeDays = a.maxAgeDays;
    return p;
}
