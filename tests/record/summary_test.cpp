// The summary figures on a hand-made set of units, worked out by hand below.
#include <gtest/gtest.h>

#include "record/summary.h"
#include "tests/record/samples.h"

TEST(Summary, CountsRatesDurationsAndFailures)
{
    // 20 units of 1 s to 20 s: 14 completed, 3 failed on port 1 (result 6), 1 port lost on
    // port 2 (result 12), 2 interrupted.
    std::vector<UnitRecord> units;
    for (int i = 1; i <= 20; ++i) {
        UnitRecord u = sampleUnit(1, i, 0);
        u.durationMs = i * 1000;
        if (i <= 3) {
            u = failedUnit(1, i, 1);
            u.durationMs = i * 1000;
        } else if (i == 4) {
            u.outcome = UnitOutcome::PortLost;
            u.portSelector = "usb:1-1.2";
            u.resultCode = 12;
            u.resultMeaning = "the port went away";
        } else if (i >= 19) {
            u.outcome = UnitOutcome::Interrupted;
        }
        units.push_back(u);
    }
    const UnitSummary s = summarise(units);
    EXPECT_EQ(s.units, 20);
    EXPECT_EQ(s.completed, 14);
    EXPECT_EQ(s.failed, 4);
    EXPECT_EQ(s.interrupted, 2);
    EXPECT_DOUBLE_EQ(*s.passRate, 14.0 / 18.0);
    EXPECT_DOUBLE_EQ(*s.meanSeconds, 10.5);
    EXPECT_DOUBLE_EQ(*s.p95Seconds, 19.0);  // rank ceil(0.95 * 20) = 19
    ASSERT_EQ(s.failuresByPort.size(), 2u);
    EXPECT_EQ(s.failuresByPort[0].port, "usb:1-1.1");
    EXPECT_EQ(s.failuresByPort[0].count, 3);
    EXPECT_EQ(s.failuresByPort[1].port, "usb:1-1.2");
    ASSERT_EQ(s.failuresByResult.size(), 2u);
    EXPECT_EQ(s.failuresByResult[0].resultCode, 6);
    EXPECT_EQ(s.failuresByResult[0].count, 3);
    EXPECT_EQ(s.failuresByResult[1].meaning, "the port went away");

    // Nearest rank at the edges: one value; 21 values (rank ceil(19.95) = 20).
    EXPECT_EQ(nearestRank({7}, 95), 7);
    std::vector<int64_t> values;
    for (int i = 21; i >= 1; --i)
        values.push_back(i);
    EXPECT_EQ(nearestRank(values, 95), 20);
    EXPECT_FALSE(summarise({}).passRate);
    EXPECT_FALSE(summarise({}).p95Seconds);
}
