#include "engine/LogBudget.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

using Held = std::vector<std::pair<std::string, uint64_t>>;

// Admits `n` lines of `address` in `second`; returns how many were admitted.
int Offer(CLogBudget& budget, const std::string& address, int64_t second, int n) {
    int admitted = 0;
    for (int i = 0; i < n; ++i) admitted += budget.Admit(address, second);
    return admitted;
}

TEST(LogBudget, EachAddressHasItsLinesPerSecondAndWhatIsHeldBackIsCountedOnce) {
    constexpr int kLimit = CLogBudget::kLinesPerSecond;
    CLogBudget budget;
    EXPECT_EQ(Offer(budget, "10.0.0.1", 100, kLimit + 51), kLimit);
    EXPECT_EQ(Offer(budget, "10.0.0.2", 100, kLimit), kLimit);  // its own budget
    EXPECT_EQ(budget.TakeHeldBack(101), (Held{{"10.0.0.1", 51}}));
    EXPECT_EQ(budget.TakeHeldBack(101), Held{});
    // A flood that goes on is counted at every hand-out, its budget restarting each second.
    EXPECT_EQ(Offer(budget, "10.0.0.1", 101, kLimit + 7), kLimit);
    EXPECT_EQ(Offer(budget, "10.0.0.2", 101, 2 * kLimit), kLimit);
    EXPECT_EQ(Offer(budget, "10.0.0.1", 102, kLimit + 3), kLimit);
    EXPECT_EQ(budget.TakeHeldBack(102), (Held{{"10.0.0.1", 10}, {"10.0.0.2", kLimit}}));
    EXPECT_EQ(Offer(budget, "10.0.0.2", 102, kLimit + 1), kLimit);
    EXPECT_EQ(budget.TakeHeldBack(103), (Held{{"10.0.0.2", 1}}));
    // A second that is not the next one (the budget is per second, not per tick) also restarts it.
    EXPECT_EQ(Offer(budget, "10.0.0.1", 500, kLimit), kLimit);
    EXPECT_EQ(budget.TakeHeldBack(501), Held{});
}

}  // namespace
}  // namespace tw
