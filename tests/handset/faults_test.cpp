// Each injected fault as the host sees it, and the schedules that decide when faults fire.
#include <gtest/gtest.h>

#include "machine_harness.h"

namespace {

FaultSchedule schedule(const std::string& text)
{
    FaultSchedule s;
    std::string error;
    EXPECT_TRUE(parseFaultSchedule(text, s, error)) << error;
    return s;
}

// A host past the parameter exchange at 115200, erased, block size 16.
HostSide connected(Fault fault, const std::string& when)
{
    HostSide host;
    host.options.blockSize = 16;
    host.options.faults.set(fault, schedule(when));
    host.connect('0');
    return host;
}

const Bytes kBlock(16, 0x5A);

}  // namespace

TEST(FaultSchedules, CountsFromTheFirstOrTheKthChanceAlwaysOrByProbability)
{
    auto fired = [](const std::string& text, int chances, uint64_t seed = 1) {
        FaultPlan plan;
        plan.seed(seed);
        plan.set(Fault::Noise, schedule(text));
        std::string pattern;
        for (int i = 0; i < chances; ++i)
            pattern += plan.fire(Fault::Noise) ? 'x' : '.';
        return pattern;
    };
    EXPECT_EQ(fired("2", 5), "xx...");
    EXPECT_EQ(fired("2@3", 6), "..xx..");
    EXPECT_EQ(fired("all", 3), "xxx");
    const std::string a = fired("0.3", 400, 7);
    EXPECT_EQ(a, fired("30%", 400, 7)) << "the same seed gives the same run";
    EXPECT_NE(a, fired("0.3", 400, 8));
    const auto hits = std::count(a.begin(), a.end(), 'x');
    EXPECT_GT(hits, 80);
    EXPECT_LT(hits, 160);

    FaultSchedule s;
    std::string error;
    for (const char* bad : {"", "x", "2@0", "1.5", "0%", "-1", "3@"})
        EXPECT_FALSE(parseFaultSchedule(bad, s, error)) << bad;
}

TEST(HandsetFaults, EraseRefusals)
{
    HostSide host = connected(Fault::EraseRefusal, "2");
    EXPECT_EQ(host.exchange(str("<e")), str(">E"));
    EXPECT_EQ(host.exchange(str("<e")), str(">E"));
    EXPECT_EQ(host.exchange(str("<e"), 400000), str(">e"));
    EXPECT_EQ(host.m().faults().injected(Fault::EraseRefusal), 2u);
}

TEST(HandsetFaults, BlockRefusalLeavesTheBlockUnwritten)
{
    HostSide host = connected(Fault::BlockRefusal, "1");
    EXPECT_EQ(host.exchange(writeFrame(0x0102, kBlock)), Bytes({'>', 'W', 0x02}));
    EXPECT_EQ(host.m().flash().block(0x0102), Bytes(16, 0xFF));
    EXPECT_EQ(host.exchange(writeFrame(0x0102, kBlock)), Bytes({'>', 'w', 0x01, 0x02}));
    EXPECT_EQ(host.m().flash().block(0x0102), kBlock);
}

TEST(HandsetFaults, WrongBlockNumberAndDroppedAcknowledgement)
{
    HostSide host = connected(Fault::WrongBlockNumber, "1");
    EXPECT_EQ(host.exchange(writeFrame(5, kBlock)), Bytes({'>', 'w', 0, 6}));
    EXPECT_EQ(host.exchange(writeFrame(5, kBlock)), Bytes({'>', 'w', 0, 5}));

    HostSide dropped = connected(Fault::DroppedAck, "1");
    EXPECT_TRUE(dropped.exchange(writeFrame(0, kBlock), 500000).empty());
    EXPECT_EQ(dropped.m().flash().block(0), kBlock) << "written, only the answer was lost";
    EXPECT_EQ(dropped.exchange(writeFrame(0, kBlock)), Bytes({'>', 'w', 0, 0}));
}

TEST(HandsetFaults, NoiseComesBeforeTheAnswerAndNeverHoldsAnAnswerMark)
{
    HostSide host;
    host.options.faults.set(Fault::Noise, schedule("all"));
    host.options.faults.noiseBytes = 200;
    const Bytes got = host.exchange(str("<i"), 200000);
    ASSERT_EQ(got.size(), 202u);
    EXPECT_EQ(std::count(got.begin(), got.end(), '>'), 1);
    EXPECT_EQ(Bytes(got.end() - 2, got.end()), str(">i"));
}

TEST(HandsetFaults, CompletionRefusalEndsTheDownload)
{
    HostSide host = connected(Fault::CompletionRefusal, "all");
    EXPECT_EQ(host.exchange(checksumFrame(0)), str(">C"));
    EXPECT_EQ(host.m().downloadsEnded(), 1u);
}

TEST(HandsetFaults, WrongChecksumIsTheOwnOneInvertedAndTheAbortEndsTheDownload)
{
    HostSide host = connected(Fault::WrongChecksum, "1");
    host.exchange(writeFrame(0, kBlock));
    const uint16_t sum = hostChecksum(false, {kBlock});
    EXPECT_EQ(host.exchange(checksumFrame(sum)),
              Bytes({'>', 'c', static_cast<uint8_t>(~sum >> 8), static_cast<uint8_t>(~sum)}));
    EXPECT_EQ(host.m().downloadsEnded(), 0u);
    EXPECT_EQ(host.exchange(str("<a")), str(">a"));
    EXPECT_EQ(host.m().downloadsEnded(), 1u);
}

TEST(HandsetFaults, SilenceAtEachPhase)
{
    HostSide inquiry;
    inquiry.options.faults.set(Fault::SilentInquiry, schedule("1"));
    EXPECT_TRUE(inquiry.exchange(str("<i")).empty());
    EXPECT_EQ(inquiry.exchange(str("<i")), str(">i"));

    HostSide parameter;
    parameter.options.faults.set(Fault::SilentParameter, schedule("all"));
    EXPECT_TRUE(parameter.connect('0').empty());
    EXPECT_EQ(parameter.m().speed(), 19200u) << "a request not heard switches nothing";

    const std::pair<Fault, Bytes> phases[] = {
        {Fault::SilentErase, str("<e")}, {Fault::SilentBlock, writeFrame(0, kBlock)}, {Fault::SilentChecksum, checksumFrame(0)}};
    for (const auto& [fault, frame] : phases) {
        HostSide host = connected(fault, "all");
        EXPECT_TRUE(host.exchange(frame, 500000).empty()) << faultName(fault);
    }
    HostSide block = connected(Fault::SilentBlock, "all");
    block.exchange(writeFrame(0, kBlock));
    EXPECT_EQ(block.m().flash().block(0), Bytes(16, 0xFF)) << "a frame not heard is not written";
}

TEST(HandsetFaults, UnansweredAbortStillEndsTheDownload)
{
    HostSide host = connected(Fault::SilentAbort, "all");
    EXPECT_TRUE(host.exchange(str("<a"), 500000).empty());
    EXPECT_EQ(host.m().downloadsEnded(), 1u);
    EXPECT_EQ(host.m().report().downloads.at(0).outcome, "aborted, abort not answered (fault)");
    // The host's second abort, 10 s later at the same speed, is heard (and not answered either).
    EXPECT_TRUE(host.exchange(str("<a"), 500000).empty());
    EXPECT_EQ(host.m().downloadsEnded(), 1u);
    EXPECT_EQ(host.m().report().retries.at("abort"), 1u);
    EXPECT_EQ(host.m().report().violationCount, 0u);
}
