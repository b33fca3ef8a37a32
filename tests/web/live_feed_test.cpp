// A page that does not read must cost the station nothing and lose nothing it could not get
// back: its queue is bounded, and once over the bound it gets one fresh snapshot holding
// every patch and item it missed, then the messages that follow.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "web/live_feed.h"

namespace {

using std::chrono::milliseconds;

// The events of one next(): [name, data] each.
std::vector<std::pair<std::string, nlohmann::json>> events(LiveFeed::Subscription& s)
{
    std::string text;
    EXPECT_TRUE(s.next(milliseconds(0), &text));
    std::vector<std::pair<std::string, nlohmann::json>> out;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find("\n\n", at);
        const std::string block = text.substr(at, end - at);
        const size_t data = block.find("\ndata: ");
        out.emplace_back(block.substr(7, data - 7), nlohmann::json::parse(block.substr(data + 7)));
        at = end + 2;
    }
    return out;
}

TEST(LiveFeed, APageThatFallsBehindGetsAFreshSnapshotInsteadOfAQueue)
{
    LiveFeed feed(4, 3);
    feed.patch({{"ports", {{"0", {{"kind", "waiting"}}}}}});
    auto slow = feed.subscribe();
    auto first = events(*slow);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].first, "snapshot");
    EXPECT_EQ(first[0].second["ports"]["0"]["kind"], "waiting");

    for (int block = 1; block <= 10; ++block)  // more than the page's queue holds
        feed.patch({{"ports", {{"0", {{"kind", "flashing"}, {"block", block}}}}}});
    for (int unit = 1; unit <= 5; ++unit)
        feed.append({{"sequence", unit}});
    feed.patch({{"ports", {{"0", {{"phase", nullptr}}}}}});
    auto caughtUp = events(*slow);
    ASSERT_EQ(caughtUp.size(), 1u);
    EXPECT_EQ(caughtUp[0].first, "snapshot");
    const nlohmann::json& state = caughtUp[0].second;
    EXPECT_EQ(state["ports"]["0"]["block"], 10);
    EXPECT_EQ(state["items"].size(), 3u);  // the item bound keeps the newest
    EXPECT_EQ(state["items"][0]["sequence"], 3);

    feed.patch({{"run", {{"done", 5}}}});
    feed.append({{"sequence", 6}});
    auto after = events(*slow);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].first, "patch");
    EXPECT_EQ(after[1].first, "item");

    feed.close();
    std::string text;
    EXPECT_FALSE(slow->next(milliseconds(1000), &text));  // a closed feed wakes its pages at once
}

}  // namespace
