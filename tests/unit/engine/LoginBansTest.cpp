#include "engine/LoginBans.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(LoginBans, FailuresWithinTheWindowBanForTheBanTime) {
    CLoginBans bans;
    const std::time_t t = 1'000'000, window = CLoginBans::kFailureWindow;
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", t, 3, 60));
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", t + window - 1, 3, 60));
    // The first failure has left the window: still two.
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", t + window + 1, 3, 60));
    EXPECT_FALSE(bans.IsBanned("10.0.0.1", t + window + 1));
    EXPECT_FALSE(bans.RecordFailure("10.0.0.2", t + window + 1, 3, 60));  // counted per address
    EXPECT_TRUE(bans.RecordFailure("10.0.0.1", t + window + 2, 3, 60));
    EXPECT_TRUE(bans.IsBanned("10.0.0.1", t + window + 61));
    EXPECT_FALSE(bans.IsBanned("10.0.0.2", t + window + 61));
    // Failures while banned neither extend the ban nor count towards the next one.
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", t + window + 30, 3, 60));
    EXPECT_FALSE(bans.IsBanned("10.0.0.1", t + window + 62));
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", t + window + 62, 3, 60));
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", t + window + 63, 3, 60));
    EXPECT_TRUE(bans.RecordFailure("10.0.0.1", t + window + 64, 3, 60));
}

TEST(LoginBans, ASuccessClearsAndZeroSwitchesBansOff) {
    CLoginBans bans;
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", 100, 2, 60));
    bans.Clear("10.0.0.1");
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", 101, 2, 60));
    EXPECT_TRUE(bans.RecordFailure("10.0.0.1", 102, 2, 60));
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(bans.RecordFailure("10.0.0.9", 200 + i, 0, 60));
    EXPECT_FALSE(bans.IsBanned("10.0.0.9", 250));
}

}  // namespace
}  // namespace tw
