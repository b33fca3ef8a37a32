// A writer killed with SIGKILL in the middle of recording units: the file opens again, a
// SQLite file passes integrity_check, and every unit the writer had reported as recorded (its
// recordUnit had returned) is in it exactly once.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "record/production_record.h"
#include "tests/record/samples.h"

namespace {

using UnitKey = std::pair<int64_t, int64_t>;  // run id, sequence

// Records units until killed; after each recordUnit returns, writes its key to `report`.
[[noreturn]] void writeUnitsUntilKilled(const std::string& path, int report)
{
    std::string error;
    auto record = openProductionRecord(path, RecordAccess::Write, &error);
    StationRun run = sampleRun();
    if (!record || !record->beginRun(run, &error))
        _exit(2);
    for (int64_t sequence = 1;; ++sequence) {
        if (!record->recordUnit(sampleUnit(run.runId, sequence, static_cast<int>(sequence % 4)), &error))
            _exit(3);
        const int64_t key[2] = {run.runId, sequence};
        if (write(report, key, sizeof key) != sizeof key)
            _exit(4);
    }
}

// Starts a writer, kills it after `count` reports, and returns every unit it reported.
std::vector<UnitKey> killWriterAfter(const std::string& path, size_t count)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        writeUnitsUntilKilled(path, fds[1]);
    }
    close(fds[1]);
    std::vector<UnitKey> reported;
    int64_t key[2];
    while (reported.size() < count && read(fds[0], key, sizeof key) == sizeof key)
        reported.push_back({key[0], key[1]});
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself, status " << status;
    while (read(fds[0], key, sizeof key) == sizeof key)
        reported.push_back({key[0], key[1]});  // reports written just before the kill
    close(fds[0]);
    return reported;
}

std::string integrityOf(const std::string& path)
{
    sqlite3* db = nullptr;
    std::string answer = "cannot open";
    sqlite3_stmt* check = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW)
        answer = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
    sqlite3_finalize(check);
    sqlite3_close(db);
    return answer;
}

class KilledWriter : public ::testing::TestWithParam<std::string> {};

TEST_P(KilledWriter, LeavesEveryReportedUnitOnceInASoundFile)
{
    ScratchDir dir;
    const std::string path = dir.file("production" + GetParam());
    // Three writers in turn, each killed in the middle of its units, each opening the file
    // the one before left behind.
    std::vector<UnitKey> reported;
    for (int round = 0; round < 3; ++round) {
        const std::vector<UnitKey> keys = killWriterAfter(path, 40);
        ASSERT_GE(keys.size(), 40u) << "round " << round;
        reported.insert(reported.end(), keys.begin(), keys.end());
    }

    if (GetParam() == ".db") {
        EXPECT_EQ(integrityOf(path), "ok");
    }
    std::string error;
    auto record = openProductionRecord(path, RecordAccess::Read, &error);
    ASSERT_TRUE(record) << error;
    std::vector<UnitRecord> units;
    ASSERT_TRUE(record->listUnits({}, &units, &error)) << error;
    std::map<UnitKey, int> copies;
    for (const UnitRecord& u : units)
        ++copies[{u.runId, u.sequence}];
    for (const UnitKey& k : reported)
        EXPECT_EQ(copies[k], 1) << "unit " << k.second << " of run " << k.first;
    // At most the unit in flight at each kill is there without its report.
    EXPECT_LE(units.size(), reported.size() + 3);
    EXPECT_EQ(copies.size(), units.size());
    // The file takes new units after the kill.
    auto writer = openProductionRecord(path, RecordAccess::Write, &error);
    ASSERT_TRUE(writer) << error;
    StationRun run = sampleRun();
    EXPECT_TRUE(writer->beginRun(run, &error) && writer->recordUnit(sampleUnit(run.runId, 1), &error))
        << error;
}

INSTANTIATE_TEST_SUITE_P(Native, KilledWriter, ::testing::Values(".db", ".jsonl"),
                         [](const auto& p) { return p.param.substr(1); });

}  // namespace
