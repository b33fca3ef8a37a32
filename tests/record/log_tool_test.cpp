// `tarvolo log` run as a program on a record made here: what each option selects, the CSV
// and JSON forms, the missing file, and a JSON Lines record exported into SQLite.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "record/production_record.h"
#include "record/utc_time.h"
#include "tests/record/samples.h"

namespace {

struct ToolRun {
    int code = -1;
    std::string out, err;
};

ToolRun runLog(const ScratchDir& dir, const std::string& args)
{
    const std::string errPath = dir.file("stderr.txt");
    ToolRun r;
    FILE* pipe = ::popen((std::string(TARVOLO_TOOL) + " log " + args + " 2>" + errPath).c_str(), "r");
    char buffer[4096];
    size_t n;
    while (pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        r.out.append(buffer, n);
    const int status = pipe ? ::pclose(pipe) : -1;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errPath);
    r.err.assign(std::istreambuf_iterator<char>(err), {});
    return r;
}

// Sequences of the units a --json run lists.
std::vector<int64_t> listed(const ToolRun& r)
{
    std::vector<int64_t> s;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    for (const auto& u : j["units"])
        s.push_back(u["sequence"].get<int64_t>());
    return s;
}

// Four units: 1 completed 3 h ago on port 0, 2 failed 2 h ago on port 1, 3 completed 30 min
// ago on port 1, 4 lost its port 10 min ago on port 0.
void makeRecord(const std::string& path)
{
    std::string error;
    auto record = openProductionRecord(path, RecordAccess::Write, &error);
    ASSERT_TRUE(record) << error;
    StationRun run = sampleRun();
    ASSERT_TRUE(record->beginRun(run, &error)) << error;
    const auto now = std::chrono::system_clock::now();
    const int agoMinutes[] = {180, 120, 30, 10};
    for (int i = 1; i <= 4; ++i) {
        UnitRecord u = i % 2 ? sampleUnit(run.runId, i, i <= 2 ? 0 : 1) : failedUnit(run.runId, i, i <= 2 ? 1 : 0);
        u.startedUtc = formatUtc(now - std::chrono::minutes(agoMinutes[i - 1]));
        if (i == 4) {
            u.outcome = UnitOutcome::PortLost;
            u.resultCode = 12;
            u.resultMeaning = "the port \"went\" away, unplugged";
        }
        ASSERT_TRUE(record->recordUnit(u, &error)) << error;
    }
}

TEST(LogTool, ListsSelectsAndSumsUpUnits)
{
    ScratchDir dir;
    const std::string db = dir.file("production.db");
    makeRecord(db);
    const std::string base = "--db " + db + " ";

    ToolRun plain = runLog(dir, base);
    ASSERT_EQ(plain.code, 0) << plain.err;
    EXPECT_NE(plain.out.find("units: 4\ncompleted: 2\nfailed: 2\ninterrupted: 0\npass rate: 50.0%\n"),
              std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("  usb:1-1.0: 1\n  usb:1-1.1: 1\n"), std::string::npos) << plain.out;

    EXPECT_EQ(listed(runLog(dir, base + "--json --failed")), (std::vector<int64_t>{2, 4}));
    EXPECT_EQ(listed(runLog(dir, base + "--json --port /dev/ttyUSB1")), (std::vector<int64_t>{2, 3}));
    EXPECT_EQ(listed(runLog(dir, base + "--json --port usb:1-1.0")), (std::vector<int64_t>{1, 4}));
    EXPECT_EQ(listed(runLog(dir, base + "--json --since 1h")), (std::vector<int64_t>{3, 4}));
    const std::string since = formatUtc(std::chrono::system_clock::now() - std::chrono::minutes(150));
    EXPECT_EQ(listed(runLog(dir, base + "--json --since " + since.substr(0, 19) + "Z")),
              (std::vector<int64_t>{2, 3, 4}));
    const nlohmann::json summary = nlohmann::json::parse(runLog(dir, base + "--json").out)["summary"];
    EXPECT_EQ(summary["failures_by_result"][0]["result_code"], 6);
    EXPECT_DOUBLE_EQ(summary["pass_rate"].get<double>(), 0.5);

    const ToolRun csv = runLog(dir, base + "--csv --failed");
    ASSERT_EQ(csv.code, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("run_id,sequence,station_id,operator,lot,port_selector,", 0), 0u);
    EXPECT_NE(csv.out.find(",\"the port \"\"went\"\" away, unplugged\",port-lost,"), std::string::npos)
        << csv.out;
    EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 3);
    EXPECT_NE(csv.err.find("units: 2\n"), std::string::npos) << csv.err;

    const std::string jsonl = dir.file("production.jsonl");
    makeRecord(jsonl);
    EXPECT_EQ(listed(runLog(dir, "--json --failed --db " + jsonl)), (std::vector<int64_t>{2, 4}));
    // The JSON Lines record moved into SQLite lists the same; a second export is refused.
    const std::string moved = dir.file("moved.db");
    const ToolRun exported = runLog(dir, "--db " + jsonl + " --export " + moved);
    EXPECT_EQ(exported.out, "exported 1 runs and 4 units from " + jsonl + " to " + moved + "\n")
        << exported.err;
    EXPECT_EQ(listed(runLog(dir, "--json --failed --db " + moved)), (std::vector<int64_t>{2, 4}));
    EXPECT_EQ(runLog(dir, "--db " + jsonl + " --export " + moved).code, 1);
    EXPECT_EQ(runLog(dir, "--db " + jsonl + " --failed --export " + dir.file("x.db")).code, 64);

    const ToolRun missing = runLog(dir, "--db " + dir.file("none.db"));
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "tarvolo log: no production record at " + dir.file("none.db") + "\n");
    EXPECT_EQ(runLog(dir, base + "--since yesterday").code, 64);
}

}  // namespace
