// Where scanned labels go when the end-to-end test cannot wait for it: rescans with
// --allow-rescan numbered as attempts, labels dropped after the window, a label given back
// when its handset went, ports served longest-waiting first.
#include <gtest/gtest.h>

#include "station/label_queue.h"

using std::chrono::seconds;

TEST(LabelQueue, AttemptsWindowAndGivingBack)
{
    const LabelQueue::Clock::time_point t0{};
    LabelQueue queue(seconds(30), true);
    EXPECT_FALSE(queue.handsetAppeared(2));
    EXPECT_FALSE(queue.handsetAppeared(0));
    ScannedLabel a = queue.scan(" 3569380356 \r", t0);
    ASSERT_EQ(a.kind, ScannedLabel::Kind::Given);
    EXPECT_EQ(a.given.label, "3569380356");
    EXPECT_EQ(a.given.port, 2u);  // waited longest
    ScannedLabel again = queue.scan("3569380356", t0);
    ASSERT_EQ(again.kind, ScannedLabel::Kind::Given);
    EXPECT_EQ(again.given.attempt, 2);
    EXPECT_EQ(again.given.port, 0u);

    // No port waits: the label waits, goes to the next handset, or is dropped after the window.
    EXPECT_EQ(queue.scan("A1", t0).kind, ScannedLabel::Kind::Waiting);
    EXPECT_EQ(queue.scan("A1", t0).kind, ScannedLabel::Kind::Refused);  // already waiting
    EXPECT_EQ(queue.scan("B2", t0 + seconds(10)).kind, ScannedLabel::Kind::Waiting);
    const auto given = queue.handsetAppeared(1);
    ASSERT_TRUE(given);
    EXPECT_EQ(given->label, "A1");
    queue.giveBack(*given, t0 + seconds(20));  // its handset went before the unit began
    EXPECT_EQ(queue.expire(t0 + seconds(40)), (std::vector<std::string>{"B2"}));
    EXPECT_EQ(queue.handsetAppeared(3)->attempt, 1);  // A1 again, still its first attempt

    // Without --allow-rescan a label given once is refused; empty and control bytes always.
    LabelQueue strict(seconds(30), false);
    EXPECT_EQ(strict.scan("X", t0).kind, ScannedLabel::Kind::Waiting);
    EXPECT_TRUE(strict.handsetAppeared(0));
    EXPECT_EQ(strict.scan("X", t0).kind, ScannedLabel::Kind::Refused);
    EXPECT_EQ(strict.scan(" \r", t0).reason, "an empty label");
    EXPECT_EQ(strict.scan("a\tb", t0).reason, "it holds control characters");
    EXPECT_EQ(strict.scan("\xff\xfe", t0).reason, "not UTF-8 text");
}
