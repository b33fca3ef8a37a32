// One record copied into another (record_export.h).
#include "record/record_export.h"

#include <filesystem>
#include <map>
#include <memory>

#include "record/production_record.h"

namespace {

// Runs first, each under the id the new record gives it, then the units of each under it.
bool copyRows(ProductionRecord& source, ProductionRecord& target, ExportCounts* counts,
              std::string* error)
{
    std::vector<StationRun> runs;
    std::vector<UnitRecord> units;
    if (!source.listRuns(&runs, error) || !source.listUnits(UnitFilter(), &units, error))
        return false;
    std::map<int64_t, int64_t> newIds;
    for (StationRun& run : runs) {
        const int64_t oldId = run.runId;
        if (!target.beginRun(run, error))
            return false;
        newIds[oldId] = run.runId;
        ++counts->runs;
    }
    for (UnitRecord& unit : units) {
        const auto it = newIds.find(unit.runId);
        if (it == newIds.end()) {
            *error = "unit " + std::to_string(unit.sequence) + " of run " +
                     std::to_string(unit.runId) + " belongs to no recorded run";
            return false;
        }
        unit.runId = it->second;
        if (!target.recordUnit(unit, error))
            return false;
        ++counts->units;
    }
    return true;
}

}  // namespace

bool exportRecord(const std::string& from, const std::string& to, ExportCounts* counts,
                  std::vector<std::string>* warnings, std::string* error)
{
    std::error_code ec;
    if (std::filesystem::exists(to, ec)) {
        *error = to + " already exists: export writes a new record only";
        return false;
    }
    std::unique_ptr<ProductionRecord> source = openProductionRecord(from, RecordAccess::Read, error);
    if (!source)
        return false;
    std::unique_ptr<ProductionRecord> target = openProductionRecord(to, RecordAccess::Write, error);
    bool ok = target && copyRows(*source, *target, counts, error);
    for (std::string& warning : source->takeWarnings())
        warnings->push_back(std::move(warning));
    target.reset();
    if (!ok) {
        for (const char* suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(to + suffix, ec);
    }
    return ok;
}
