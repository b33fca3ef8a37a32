// The adapter the handset plays with --adapter-latency-ms holds a short answer for its latency
// timer and lets full 62-byte packets through at once, as an FTDI chip does.
#include <gtest/gtest.h>

#include <vector>

#include "handset/adapter_hold.h"

TEST(AdapterHold, ShortAnswersWaitForTheTimerFullPacketsDoNot)
{
    const std::vector<uint8_t> ack = {'>', 'w'};
    AdapterHold ftdi(16);
    ftdi.add(ack.data(), ack.size(), 1000);
    EXPECT_EQ(ftdi.nextDueUs(), 17000);
    EXPECT_EQ(ftdi.release(16999), 0u);
    EXPECT_EQ(ftdi.release(17000), 2u);
    EXPECT_EQ(std::vector<uint8_t>(ftdi.released(), ftdi.released() + 2), ack);
    ftdi.consume(2);
    EXPECT_TRUE(ftdi.empty());

    // 70 bytes: one packet leaves as it fills, the 8 after it wait a timer of their own.
    const std::vector<uint8_t> record(70, 0x55);
    ftdi.add(record.data(), 40, 100000);
    EXPECT_EQ(ftdi.release(100000), 0u);
    ftdi.add(record.data() + 40, 30, 103000);
    EXPECT_EQ(ftdi.release(103000), 62u);
    ftdi.consume(62);
    EXPECT_EQ(ftdi.release(118999), 0u);
    EXPECT_EQ(ftdi.release(119000), 8u);

    // No adapter: every byte passes at once.
    AdapterHold none(0);
    none.add(ack.data(), ack.size(), 5);
    EXPECT_EQ(none.release(5), 2u);
    EXPECT_EQ(none.nextDueUs(), INT64_MAX);
}
