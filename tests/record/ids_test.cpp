// Ids that let rows of many stations meet: UUIDv7 made by many workers at once are unique
// and sort by time; a JSON Lines record exported into SQLite keeps every row and its ids.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "record/production_record.h"
#include "record/record_export.h"
#include "record/uuid7.h"
#include "tests/record/samples.h"

namespace {

int64_t unixMsOf(UtcTime t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

TEST(Uuid7, UniqueAcrossSixteenWorkersAndOrderedByTime)
{
    constexpr int kWorkers = 16;
    constexpr int kPerWorker = 6250;  // 100,000 units in all
    struct Made {
        std::string id;
        int64_t unixMs;
    };
    std::vector<std::vector<Made>> made(kWorkers);
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&made, w] {
            for (int i = 0; i < kPerWorker; ++i) {
                const UtcTime now = std::chrono::system_clock::now();
                made[w].push_back({newUuid7(now), unixMsOf(now)});
            }
        });
    }
    for (std::thread& t : workers)
        t.join();

    std::vector<Made> all;
    for (const auto& m : made)
        all.insert(all.end(), m.begin(), m.end());
    std::set<std::string> distinct;
    for (const Made& m : all) {
        int64_t carried = 0;
        ASSERT_TRUE(uuid7UnixMs(m.id, &carried)) << m.id;
        ASSERT_EQ(carried, m.unixMs) << m.id;
        distinct.insert(m.id);
    }
    EXPECT_EQ(distinct.size(), all.size());
    // Text order is time order: sorted by id, the times never go back.
    std::sort(all.begin(), all.end(), [](const Made& a, const Made& b) { return a.id < b.id; });
    EXPECT_TRUE(std::is_sorted(all.begin(), all.end(),
                               [](const Made& a, const Made& b) { return a.unixMs < b.unixMs; }));
    int64_t ignored = 0;
    EXPECT_FALSE(uuid7UnixMs("0190a1b2-c3d4-4e5f-8a9b-0c1d2e3f4a5b", &ignored)) << "a version 4 id";
}

TEST(RecordExport, MovesJsonLinesIntoSqliteKeepingEveryRowAndItsIds)
{
    ScratchDir dir;
    const std::string from = dir.file("old.jsonl");
    const std::string to = dir.file("new.db");
    std::string error;
    {
        auto writer = openProductionRecord(from, RecordAccess::Write, &error);
        ASSERT_TRUE(writer) << error;
        for (int r = 0; r < 2; ++r) {
            StationRun run = sampleRun();
            ASSERT_TRUE(writer->beginRun(run, &error)) << error;
            UnitRecord unit = sampleUnit(run.runId, 1, r, 10 - r);
            unit.parameterRecord = std::string(120, '0') + "4b4d3532";
            ASSERT_TRUE(writer->recordUnit(unit, &error)) << error;
            ASSERT_TRUE(writer->recordUnit(failedUnit(run.runId, 2, r, 20), &error)) << error;
            run.endedUtc = "2026-12-07T11:00:00.000Z";
            run.ending = "units-failed";
            run.exitCode = 1;
            ASSERT_TRUE(writer->endRun(run, &error)) << error;
        }
    }
    ExportCounts counts;
    std::vector<std::string> warnings;
    ASSERT_TRUE(exportRecord(from, to, &counts, &warnings, &error)) << error;
    EXPECT_EQ(counts.runs, 2);
    EXPECT_EQ(counts.units, 4);

    auto before = openProductionRecord(from, RecordAccess::Read, &error);
    auto after = openProductionRecord(to, RecordAccess::Read, &error);
    ASSERT_TRUE(before && after) << error;
    std::vector<UnitRecord> oldUnits, newUnits;
    std::vector<StationRun> oldRuns, newRuns;
    ASSERT_TRUE(before->listUnits({}, &oldUnits, &error) && after->listUnits({}, &newUnits, &error));
    ASSERT_TRUE(before->listRuns(&oldRuns, &error) && after->listRuns(&newRuns, &error));
    ASSERT_EQ(newRuns.size(), 2u);
    for (size_t i = 0; i < newRuns.size(); ++i) {
        EXPECT_EQ(newRuns[i].runUuid, oldRuns[i].runUuid);
        EXPECT_EQ(std::tie(newRuns[i].endedUtc, newRuns[i].ending, newRuns[i].exitCode),
                  std::tie(oldRuns[i].endedUtc, oldRuns[i].ending, oldRuns[i].exitCode));
    }
    ASSERT_EQ(newUnits.size(), 4u);
    for (size_t i = 0; i < newUnits.size(); ++i) {
        const UnitRecord& o = oldUnits[i];
        const UnitRecord& n = newUnits[i];
        int64_t unixMs = 0;
        EXPECT_TRUE(uuid7UnixMs(n.attemptUuid, &unixMs)) << n.attemptUuid;
        EXPECT_EQ(std::tie(n.attemptUuid, n.parameterRecord, n.sequence, n.startedUtc, n.resultCode),
                  std::tie(o.attemptUuid, o.parameterRecord, o.sequence, o.startedUtc, o.resultCode));
        EXPECT_EQ(newRuns[n.runId - 1].runUuid, oldRuns[o.runId - 1].runUuid) << "unit in its own run";
    }

    // A target that exists is never written into; a failed export leaves nothing behind.
    EXPECT_FALSE(exportRecord(from, to, &counts, &warnings, &error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_FALSE(exportRecord(dir.file("none.jsonl"), dir.file("other.db"), &counts, &warnings, &error));
    EXPECT_FALSE(std::filesystem::exists(dir.file("other.db")));
}

}  // namespace
