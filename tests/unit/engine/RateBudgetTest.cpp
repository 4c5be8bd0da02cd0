// The shared speed limit of an account: one budget per account and direction, split fairly between the
// account's connections, renewed each second and gone with the last connection.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "engine/RateBudget.h"

namespace tw {
namespace {

using Clock = CRateBudget::Clock;
using Share = CRateBudget::Share;
using std::chrono::milliseconds;
constexpr auto DOWN = CRateBudget::Direction::DOWNLOAD;
constexpr auto UP = CRateBudget::Direction::UPLOAD;

TEST(RateBudget, ASingleConnectionGetsTheWholeRateEachWindow) {
    CRateBudget budget;
    Share s(budget, "u", DOWN, 10000);
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(s.Take(4096, t0), 4096u);
    EXPECT_EQ(s.Take(8192, t0 + milliseconds(10)), 5904u);
    EXPECT_EQ(s.Take(1, t0 + milliseconds(999)), 0u);
    EXPECT_EQ(s.WindowEnd(), t0 + milliseconds(1000));
    // Unmoved bytes come back into the window.
    s.Return(904);
    EXPECT_EQ(s.Take(5000, t0 + milliseconds(999)), 904u);

    // The next window opens at the first request after the last one ended, not on a fixed grid.
    const Clock::time_point t1 = t0 + milliseconds(1700);
    EXPECT_EQ(s.Take(20000, t1), 10000u);
    EXPECT_EQ(s.WindowEnd(), t1 + milliseconds(1000));
}

TEST(RateBudget, ConnectionsOfOneAccountShareItsRateFairly) {
    CRateBudget budget;
    const Clock::time_point t0 = Clock::now();
    auto first = std::make_unique<Share>(budget, "Bob", DOWN, 9000);
    Share second(budget, "bob", DOWN, 9000);  // names in any case are one account
    Share third(budget, "BOB", DOWN, 9000);
    EXPECT_EQ(first->Take(9000, t0), 3000u);
    EXPECT_EQ(first->Take(1, t0), 0u);  // its share is used up while the others' are not
    EXPECT_EQ(second.Take(1000, t0), 1000u);
    EXPECT_EQ(second.Take(9000, t0), 2000u);
    EXPECT_EQ(third.Take(9000, t0), 3000u);

    // One connection ends: in the next window the two left take half each.
    first.reset();
    const Clock::time_point t1 = t0 + milliseconds(1000);
    EXPECT_EQ(second.Take(9000, t1), 4500u);
    EXPECT_EQ(third.Take(9000, t1), 4500u);

    // A connection that joins in the middle of a window gets its share only of what is left.
    const Clock::time_point t2 = t1 + milliseconds(1000);
    EXPECT_EQ(second.Take(9000, t2), 4500u);
    EXPECT_EQ(third.Take(9000, t2), 4500u);
    Share late(budget, "bob", DOWN, 9000);
    EXPECT_EQ(late.Take(9000, t2 + milliseconds(500)), 0u);
    EXPECT_EQ(late.WindowEnd(), t2 + milliseconds(1000));
    EXPECT_EQ(late.Take(9000, t2 + milliseconds(1000)), 3000u);
}

TEST(RateBudget, BytesReturnedAfterTheWindowEndedDoNotFreeTheNextOne) {
    CRateBudget budget;
    const Clock::time_point t0 = Clock::now();
    Share x(budget, "u", DOWN, 9000), y(budget, "u", DOWN, 9000);
    EXPECT_EQ(x.Take(9000, t0), 4500u);
    EXPECT_EQ(y.Take(9000, t0 + milliseconds(1000)), 4500u);  // opens the next window
    x.Return(4500);                                           // too late: its window is over
    Share z(budget, "u", DOWN, 9000);
    EXPECT_EQ(z.Take(9000, t0 + milliseconds(1000)), 3000u);
    EXPECT_EQ(x.Take(9000, t0 + milliseconds(1000)), 1500u);  // what is left of the account's 9000
}

TEST(RateBudget, AccountsAndDirectionsHaveTheirOwnBudgets) {
    CRateBudget budget;
    const Clock::time_point t0 = Clock::now();
    {
        Share aliceDown(budget, "alice", DOWN, 5000);
        Share aliceUp(budget, "alice", UP, 2000);
        Share carolDown(budget, "carol", DOWN, 7000);
        EXPECT_EQ(budget.Size(), 3u);
        EXPECT_EQ(aliceDown.Take(99999, t0), 5000u);
        EXPECT_EQ(aliceUp.Take(99999, t0), 2000u);
        EXPECT_EQ(carolDown.Take(99999, t0), 7000u);
        {
            Share again(budget, "alice", DOWN, 5000);
            EXPECT_EQ(budget.Size(), 3u);
        }
        EXPECT_EQ(budget.Size(), 3u);  // alice's downloads still run
    }
    EXPECT_EQ(budget.Size(), 0u);
    // A new connection finds a fresh budget, not the used-up window of the one that went away.
    Share aliceDown(budget, "alice", DOWN, 5000);
    EXPECT_EQ(aliceDown.Take(99999, t0), 5000u);
}

TEST(RateBudget, ConnectionThreadsTogetherNeverExceedTheRate) {
    CRateBudget budget;
    const Clock::time_point t0 = Clock::now();
    constexpr int kThreads = 4;
    std::vector<std::unique_ptr<Share>> shares;
    for (int i = 0; i < kThreads; ++i) shares.push_back(std::make_unique<Share>(budget, "u", UP, 100000));
    std::atomic<uint64_t> granted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 10000; ++round) {
                uint64_t got = shares[i]->Take(7, t0);
                if (round % 3 == 0) shares[i]->Return(got / 2), got -= got / 2;
                granted += got;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(granted.load(), 100000u);
}

}  // namespace
}  // namespace tw
