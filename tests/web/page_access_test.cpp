// A session outlives neither its twelve hours nor a logout, and wrong tokens from one address
// make it wait, longer each time up to a cap, while another address and the right token later
// are not held back: all on a clock the test moves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "web/page_access.h"

namespace {

using std::chrono::hours;
using std::chrono::seconds;
using Verdict = PageAccess::Verdict;

const std::string kToken = "tk-session-test-0123456789";

std::vector<std::string> cookie(const std::string& id) { return {"other=1; tarvolo_session=" + id}; }

TEST(PageAccess, SessionsExpireAndEndAtLogout)
{
    PageAccess access(kToken);
    const auto t0 = PageAccess::Clock::now();
    const PageAccess::Answer login = access.login("10.0.0.1", "Bearer " + kToken, t0);
    ASSERT_EQ(login.verdict, Verdict::admitted);
    EXPECT_EQ(login.sessionId.size(), 64u);  // 256 bits
    EXPECT_EQ(login.sessionId.find(kToken), std::string::npos);
    EXPECT_NE(access.login("10.0.0.1", "Bearer " + kToken, t0).sessionId, login.sessionId);

    EXPECT_EQ(access.check("10.0.0.9", "", cookie(login.sessionId), t0 + hours(11)).verdict, Verdict::admitted);
    EXPECT_EQ(access.check("10.0.0.9", "", cookie(login.sessionId), t0 + hours(12)).verdict, Verdict::refused);
    EXPECT_EQ(access.check("10.0.0.9", "", {"tarvolo_session=" + kToken}, t0).verdict, Verdict::refused);

    const std::string second = access.login("10.0.0.1", "Bearer " + kToken, t0).sessionId;
    EXPECT_EQ(access.check("10.0.0.1", "", cookie(second), t0).verdict, Verdict::admitted);
    access.logout(cookie(second));
    EXPECT_EQ(access.check("10.0.0.1", "", cookie(second), t0).verdict, Verdict::refused);
}

TEST(PageAccess, WrongTokensWaitLongerEachTimeUpToTheCap)
{
    PageAccess access(kToken);
    auto now = PageAccess::Clock::now();
    std::vector<int> waits;
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(access.login("10.0.0.2", "Bearer wrong-token-000000", now).verdict, Verdict::refused);
        const PageAccess::Answer held = access.login("10.0.0.2", "Bearer " + kToken, now);
        EXPECT_EQ(held.verdict, Verdict::wait);  // even the right token, unheard
        EXPECT_TRUE(held.sessionId.empty());
        waits.push_back(held.waitSeconds);
        now += seconds(held.waitSeconds);
    }
    EXPECT_EQ(waits, (std::vector<int>{1, 2, 4, 8, 16, 30, 30}));
    // Another address is not held back; a Bearer header on any request counts as a try.
    EXPECT_EQ(access.check("10.0.0.3", "Bearer " + kToken, {}, now).verdict, Verdict::admitted);
    EXPECT_EQ(access.check("10.0.0.3", "Bearer nope", {}, now).verdict, Verdict::refused);
    EXPECT_EQ(access.check("10.0.0.3", "Bearer " + kToken, {}, now).verdict, Verdict::wait);
    // Once its wait is over, the right token is heard and the count starts again.
    EXPECT_EQ(access.login("10.0.0.2", "Bearer " + kToken, now).verdict, Verdict::admitted);
    access.login("10.0.0.2", "Bearer wrong-token-000000", now);
    EXPECT_EQ(access.login("10.0.0.2", "Bearer " + kToken, now).waitSeconds, 1);
}

TEST(PageAccess, WithoutTokenEveryoneIsAdmittedAndNoOneLogsIn)
{
    PageAccess access("");
    EXPECT_EQ(access.check("10.0.0.1", "", {}, PageAccess::Clock::now()).verdict, Verdict::admitted);
    EXPECT_EQ(access.login("10.0.0.1", "Bearer x", PageAccess::Clock::now()).verdict, Verdict::refused);
}

}  // namespace
