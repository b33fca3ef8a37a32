// Both back ends of the production record through the one interface: every field of a run
// and of a unit comes back as written, a unit is readable from a second connection while
// its writer keeps the file open, no unit goes in twice, filters select what they name; and
// a JSON Lines file cut off in the middle of a line stays readable and writable.
#include <gtest/gtest.h>

#include <fstream>
#include <tuple>

#include "record/production_record.h"
#include "tests/record/samples.h"

namespace {

auto tied(const AnnouncedRecord& a)
{
    return std::tie(a.productId, a.downloadCode, a.blockSize, a.blankByte, a.checksumKind);
}

void expectSame(const UnitRecord& a, const UnitRecord& b)
{
    const auto retries = [](const PhaseRetries& r) {
        return std::tie(r.exchange, r.erase, r.blocks, r.checksum, r.abort);
    };
    EXPECT_EQ(std::tie(a.runId, a.sequence, a.stationId, a.operatorName, a.lot, a.portSelector,
                       a.device, a.usbId, a.usbSerial, a.usbLocation, a.startedUtc, a.endedUtc,
                       a.durationMs, a.releaseFile, a.releaseSha256, a.fileProductId),
              std::tie(b.runId, b.sequence, b.stationId, b.operatorName, b.lot, b.portSelector,
                       b.device, b.usbId, b.usbSerial, b.usbLocation, b.startedUtc, b.endedUtc,
                       b.durationMs, b.releaseFile, b.releaseSha256, b.fileProductId));
    ASSERT_EQ(a.announced.has_value(), b.announced.has_value());
    if (a.announced) {
        EXPECT_EQ(tied(*a.announced), tied(*b.announced));
    }
    EXPECT_EQ(std::tie(a.mode, a.speed, a.resultCode, a.resultMeaning, a.outcome,
                       a.expectedChecksum, a.reportedChecksum, a.toolVersion, a.toolSha256),
              std::tie(b.mode, b.speed, b.resultCode, b.resultMeaning, b.outcome,
                       b.expectedChecksum, b.reportedChecksum, b.toolVersion, b.toolSha256));
    EXPECT_EQ(retries(a.retries), retries(b.retries));
}

std::unique_ptr<ProductionRecord> open(const std::string& path, RecordAccess access)
{
    std::string error;
    auto record = openProductionRecord(path, access, &error);
    EXPECT_TRUE(record) << error;
    return record;
}

std::vector<UnitRecord> unitsOf(ProductionRecord& record, const UnitFilter& filter = {})
{
    std::vector<UnitRecord> units;
    std::string error;
    EXPECT_TRUE(record.listUnits(filter, &units, &error)) << error;
    return units;
}

std::vector<std::string> builtExtensions()
{
    return {".db", ".jsonl"};
}

class RecordBackend : public ::testing::TestWithParam<std::string> {
protected:
    ScratchDir dir_;
    std::string path_ = dir_.file("production" + GetParam());
};

TEST_P(RecordBackend, KeepsEveryFieldOnceAndReadsWhileWriterIsOpen)
{
    auto writer = open(path_, RecordAccess::Write);
    ASSERT_TRUE(writer);
    StationRun run = sampleRun();
    std::string error;
    ASSERT_TRUE(writer->beginRun(run, &error)) << error;
    EXPECT_GT(run.runId, 0);

    UnitRecord full = sampleUnit(run.runId, 1, 2, 5);
    UnitRecord bare = failedUnit(run.runId, 2, 1, 3);  // no parameter record, no checksums
    bare.announced.reset();
    bare.expectedChecksum.reset();
    bare.reportedChecksum.reset();
    bare.outcome = UnitOutcome::PortLost;
    ASSERT_TRUE(writer->recordUnit(full, &error)) << error;
    ASSERT_TRUE(writer->recordUnit(bare, &error)) << error;
    EXPECT_FALSE(writer->recordUnit(full, &error));
    EXPECT_NE(error.find("already recorded"), std::string::npos) << error;
    UnitRecord stray = sampleUnit(run.runId + 7, 1);
    EXPECT_FALSE(writer->recordUnit(stray, &error)) << "a unit of a run never begun";

    // A second connection sees both units (in order of start) while the writer is open.
    auto reader = open(path_, RecordAccess::Read);
    ASSERT_TRUE(reader);
    const std::vector<UnitRecord> units = unitsOf(*reader);
    ASSERT_EQ(units.size(), 2u);
    expectSame(units[0], bare);
    expectSame(units[1], full);
    EXPECT_TRUE(reader->takeWarnings().empty());

    std::vector<StationRun> runs;
    ASSERT_TRUE(reader->listRuns(&runs, &error)) << error;
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].portSelectors, run.portSelectors);
    EXPECT_TRUE(runs[0].endedUtc.empty());
    EXPECT_FALSE(runs[0].exitCode);

    run.endedUtc = "2026-12-07T10:00:00.000Z";
    run.unitsDone = 2;
    run.unitsFailed = 1;
    run.ending = "units-failed";
    run.exitCode = 1;
    ASSERT_TRUE(writer->endRun(run, &error)) << error;
    runs.clear();
    ASSERT_TRUE(reader->listRuns(&runs, &error)) << error;
    ASSERT_EQ(runs.size(), 1u);
    const StationRun& r = runs[0];
    EXPECT_EQ(std::tie(r.runId, r.stationId, r.operatorName, r.lot, r.startedUtc, r.endedUtc,
                       r.releaseFile, r.releaseSha256, r.fileProductId, r.mode, r.speed,
                       r.toolVersion, r.toolSha256, r.unitsDone, r.unitsFailed, r.ending,
                       r.exitCode),
              std::tie(run.runId, run.stationId, run.operatorName, run.lot, run.startedUtc,
                       run.endedUtc, run.releaseFile, run.releaseSha256, run.fileProductId,
                       run.mode, run.speed, run.toolVersion, run.toolSha256, run.unitsDone,
                       run.unitsFailed, run.ending, run.exitCode));

    // A second run gets an id of its own, also after the file was closed and opened again.
    writer.reset();
    writer = open(path_, RecordAccess::Write);
    StationRun next = sampleRun();
    ASSERT_TRUE(writer->beginRun(next, &error)) << error;
    EXPECT_GT(next.runId, run.runId);
}

TEST_P(RecordBackend, FiltersBySinceTimePortAndFailure)
{
    auto writer = open(path_, RecordAccess::Write);
    StationRun run = sampleRun();
    std::string error;
    ASSERT_TRUE(writer->beginRun(run, &error)) << error;
    for (int i = 1; i <= 6; ++i) {
        const UnitRecord u = i % 3 == 0 ? failedUnit(run.runId, i, i % 2, i * 10)
                                        : sampleUnit(run.runId, i, i % 2, i * 10);
        ASSERT_TRUE(writer->recordUnit(u, &error)) << error;
    }
    const auto sequences = [&](const UnitFilter& f) {
        std::vector<int64_t> s;
        for (const UnitRecord& u : unitsOf(*writer, f))
            s.push_back(u.sequence);
        return s;
    };
    EXPECT_EQ(sequences({}), (std::vector<int64_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(sequences({"2026-12-07T09:40:00.250Z", "", false, ""}), (std::vector<int64_t>{4, 5, 6}));
    EXPECT_EQ(sequences({"", "usb:1-1.1", false, ""}), (std::vector<int64_t>{1, 3, 5}));
    EXPECT_EQ(sequences({"", "/dev/ttyUSB0", false, ""}), (std::vector<int64_t>{2, 4, 6}));
    EXPECT_EQ(sequences({"", "", true, ""}), (std::vector<int64_t>{3, 6}));
    EXPECT_EQ(sequences({"2026-12-07T09:25:00.000Z", "/dev/ttyUSB1", true, ""}),
              (std::vector<int64_t>{3}));
}

INSTANTIATE_TEST_SUITE_P(Built, RecordBackend, ::testing::ValuesIn(builtExtensions()),
                         [](const auto& p) { return p.param.substr(1); });

TEST(JsonLinesRecord, TornLastLineIsSkippedAndClosedByTheNextWriter)
{
    ScratchDir dir;
    const std::string path = dir.file("production.jsonl");
    std::string error;
    StationRun run = sampleRun();
    {
        auto writer = open(path, RecordAccess::Write);
        ASSERT_TRUE(writer->beginRun(run, &error)) << error;
        ASSERT_TRUE(writer->recordUnit(sampleUnit(run.runId, 1), &error)) << error;
    }
    // The power went while the second unit's line was being written.
    std::ofstream(path, std::ios::app | std::ios::binary) << R"({"type":"unit","run_id":1,"seq)";

    auto reader = open(path, RecordAccess::Read);
    EXPECT_EQ(unitsOf(*reader).size(), 1u);
    const std::vector<std::string> warnings = reader->takeWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("line 4: skipped a torn last line"), std::string::npos) << warnings[0];

    auto writer = open(path, RecordAccess::Write);
    ASSERT_TRUE(writer->recordUnit(sampleUnit(run.runId, 2), &error)) << error;
    const std::vector<UnitRecord> units = unitsOf(*reader);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[1].sequence, 2);
    EXPECT_NE(reader->takeWarnings().at(0).find("line 4: skipped an unreadable line"),
              std::string::npos);
}

TEST(ProductionRecordFile, ReadingNeedsAnExistingRecordOfItsOwnKind)
{
    ScratchDir dir;
    std::string error;
    EXPECT_FALSE(openProductionRecord(dir.file("none.db"), RecordAccess::Read, &error));
    EXPECT_EQ(error, "no production record at " + dir.file("none.db"));
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.db")));

    std::ofstream(dir.file("notes.db")) << "not a database\n";
    EXPECT_FALSE(openProductionRecord(dir.file("notes.db"), RecordAccess::Read, &error));
    EXPECT_FALSE(openProductionRecord(dir.file("notes.db"), RecordAccess::Write, &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
