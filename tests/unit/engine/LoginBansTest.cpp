#include "engine/LoginBans.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace tw {
namespace {

constexpr std::time_t kWindow = CLoginBans::kFailureWindow;

LoginLimits Bans(int after, std::time_t seconds) { return {after, seconds, 0, 0}; }
LoginLimits Locks(int after, std::time_t seconds) { return {0, 0, after, seconds}; }

std::string Address(int i) {
    return "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." + std::to_string(i & 255);
}

TEST(LoginBans, FailuresWithinTheWindowBanForTheBanTime) {
    CLoginBans bans;
    const std::time_t t = 1'000'000;
    const LoginLimits limits = Bans(3, 60);
    auto fail = [&](const char* address, std::time_t when) {
        return bans.RecordFailure(address, "alice", when, limits).addressBanned;
    };
    EXPECT_FALSE(fail("10.0.0.1", t));
    EXPECT_FALSE(fail("10.0.0.1", t + kWindow - 1));
    // The first failure has left the window: still two.
    EXPECT_FALSE(fail("10.0.0.1", t + kWindow + 1));
    EXPECT_FALSE(bans.IsBanned("10.0.0.1", t + kWindow + 1));
    EXPECT_FALSE(fail("10.0.0.2", t + kWindow + 1));  // counted per address
    EXPECT_TRUE(fail("10.0.0.1", t + kWindow + 2));
    EXPECT_TRUE(bans.IsBanned("10.0.0.1", t + kWindow + 61));
    EXPECT_FALSE(bans.IsBanned("10.0.0.2", t + kWindow + 61));
    // Failures while banned neither extend the ban nor count towards the next one.
    EXPECT_FALSE(fail("10.0.0.1", t + kWindow + 30));
    EXPECT_FALSE(bans.IsBanned("10.0.0.1", t + kWindow + 62));
    EXPECT_FALSE(fail("10.0.0.1", t + kWindow + 62));
    EXPECT_FALSE(fail("10.0.0.1", t + kWindow + 63));
    EXPECT_TRUE(fail("10.0.0.1", t + kWindow + 64));
    // Zero switches bans off.
    for (int i = 0; i < 50; ++i) EXPECT_FALSE(bans.RecordFailure("10.0.0.9", "alice", t + i, Bans(0, 60)).addressBanned);
    EXPECT_FALSE(bans.IsBanned("10.0.0.9", t + 50));
}

TEST(LoginBans, AnIpv6AddressCountsAndIsBannedWithItsWholeSlash64) {
    CLoginBans bans;
    const LoginLimits limits = Bans(3, 60);
    auto fail = [&](const char* address, std::time_t when) {
        return bans.RecordFailure(address, "alice", when, limits).addressBanned;
    };
    EXPECT_FALSE(fail("2001:db8:1:2::1", 10));
    EXPECT_FALSE(fail("2001:db8:1:2:aaaa:bbbb:cccc:dddd", 11));
    EXPECT_FALSE(fail("2001:db8:1:3::1", 12));  // the next /64 counts apart
    EXPECT_TRUE(fail("2001:db8:1:2::ffff", 13));
    EXPECT_TRUE(bans.IsBanned("2001:db8:1:2::77", 14));
    EXPECT_FALSE(bans.IsBanned("2001:db8:1:3::1", 14));
    EXPECT_FALSE(bans.IsBanned("2001:db8:1:1::1", 14));
    // IPv4 addresses stay one each.
    EXPECT_FALSE(fail("10.0.0.1", 20));
    EXPECT_FALSE(fail("10.0.0.2", 21));
    EXPECT_FALSE(fail("10.0.0.3", 22));
    EXPECT_FALSE(bans.IsBanned("10.0.0.1", 23));
}

TEST(LoginBans, ASuccessClearsOnlyTheFailuresOfThatAddressOnThatAccount) {
    CLoginBans bans;
    const LoginLimits limits{3, 60, 3, 60};
    // Guesses on alice between logins as anonymous: the successes leave alice's failures standing.
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", "alice", 100, limits).addressBanned);
    bans.RecordSuccess("10.0.0.1", "anonymous", 101);
    EXPECT_FALSE(bans.RecordFailure("10.0.0.1", "alice", 102, limits).addressBanned);
    bans.RecordSuccess("10.0.0.1", "anonymous", 103);
    EXPECT_TRUE(bans.RecordFailure("10.0.0.1", "nobody", 104, limits).addressBanned);

    // A typing error of the owner is cleared by the owner's success, on the address and on the account;
    // the failures of other addresses on the account stay.
    const LoginLimits locks{3, 60, 4, 60};
    auto outcome = [&](const char* address, const char* account, std::time_t when) {
        const LoginFailureOutcome o = bans.RecordFailure(address, account, when, locks);
        return std::pair(o.addressBanned, o.accountLocked);
    };
    const auto nothing = std::pair(false, false);
    EXPECT_EQ(outcome("10.0.0.2", "bob", 200), nothing);
    EXPECT_EQ(outcome("10.0.0.2", "bob", 201), nothing);
    EXPECT_EQ(outcome("10.0.0.3", "Bob", 202), nothing);
    bans.RecordSuccess("10.0.0.2", "BOB", 203);
    EXPECT_EQ(outcome("10.0.0.2", "bob", 204), nothing);
    EXPECT_EQ(outcome("10.0.0.2", "bob", 205), nothing);
    // 10.0.0.3 once, 10.0.0.2 twice since its success, and this one.
    EXPECT_EQ(outcome("10.0.0.4", "bob", 206), std::pair(false, true));
}

TEST(LoginBans, FailuresFromManyAddressesLockTheAccountForAddressesItDoesNotKnow) {
    CLoginBans bans;
    const LoginLimits limits{10, 600, 5, 120};
    bans.RecordSuccess("10.0.0.1", "alice", 50);  // the owner's usual address
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(bans.RecordFailure(Address(100 + i), "alice", 100 + i, limits).accountLocked);
    EXPECT_FALSE(bans.IsLocked("alice", "10.9.9.9", 104));
    // One guess each from many addresses: no address is banned, the account is locked once.
    EXPECT_TRUE(bans.RecordFailure(Address(200), "alice", 104, limits).accountLocked);
    EXPECT_FALSE(bans.RecordFailure(Address(201), "alice", 105, limits).accountLocked);
    EXPECT_TRUE(bans.IsLocked("alice", "10.9.9.9", 105));
    EXPECT_TRUE(bans.IsLocked("ALICE", Address(200), 105));
    EXPECT_FALSE(bans.IsLocked("alice", "10.0.0.1", 105));  // the owner still logs in
    EXPECT_FALSE(bans.IsLocked("bob", "10.9.9.9", 105));
    EXPECT_FALSE(bans.IsLocked("", "10.9.9.9", 105));
    EXPECT_FALSE(bans.IsBanned(Address(200), 105));
    // Failures while locked do not stretch the lock; it ends after its time and the count starts anew.
    for (int i = 0; i < 20; ++i) EXPECT_FALSE(bans.RecordFailure(Address(300 + i), "alice", 110 + i, limits).accountLocked);
    EXPECT_TRUE(bans.IsLocked("alice", "10.9.9.9", 104 + 119));
    EXPECT_FALSE(bans.IsLocked("alice", "10.9.9.9", 104 + 120));
    for (int i = 0; i < 4; ++i) EXPECT_FALSE(bans.RecordFailure(Address(400 + i), "alice", 230 + i, limits).accountLocked);
    EXPECT_TRUE(bans.RecordFailure(Address(404), "alice", 234, limits).accountLocked);
    // Names that are no account never lock; zero switches locks off.
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(bans.RecordFailure(Address(500 + i), "", 300 + i, limits).accountLocked);
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(bans.RecordFailure(Address(600 + i), "carol", 300 + i, Locks(0, 120)).accountLocked);
    EXPECT_FALSE(bans.IsLocked("carol", "10.9.9.9", 310));
}

TEST(LoginBans, AnAccountKnowsOnlyItsLatestAddresses) {
    CLoginBans bans;
    for (size_t i = 0; i <= CLoginBans::kKnownAddresses; ++i) bans.RecordSuccess(Address(int(i)), "alice", 10);
    bans.RecordSuccess(Address(1), "alice", 11);  // seen again: the latest now
    for (int i = 0; i < 3; ++i) bans.RecordFailure(Address(1000 + i), "alice", 20, Locks(3, 60));
    EXPECT_TRUE(bans.IsLocked("alice", Address(0), 21));  // the oldest has gone
    EXPECT_FALSE(bans.IsLocked("alice", Address(1), 21));
    EXPECT_FALSE(bans.IsLocked("alice", Address(2), 21));
    EXPECT_FALSE(bans.IsLocked("alice", Address(int(CLoginBans::kKnownAddresses)), 21));
}

TEST(LoginBans, TheAddressTableIsBoundedAndItsOldestEntriesGoFirst) {
    CLoginBans bans;
    const LoginLimits limits = Bans(1, 3600);
    const int n = static_cast<int>(CLoginBans::kMaxAddresses);
    for (int i = 0; i < n; ++i) ASSERT_TRUE(bans.RecordFailure(Address(i), "", 1000, limits).addressBanned);
    EXPECT_TRUE(bans.IsBanned(Address(0), 1001));
    EXPECT_TRUE(bans.RecordFailure(Address(n), "", 1001, limits).addressBanned);
    EXPECT_FALSE(bans.IsBanned(Address(0), 1001));
    EXPECT_TRUE(bans.IsBanned(Address(1), 1001));
    EXPECT_TRUE(bans.IsBanned(Address(n), 1001));
}

}  // namespace
}  // namespace tw
