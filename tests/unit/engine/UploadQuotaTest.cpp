// The quota ledger of uploads in flight: parallel uploads of one user are checked together, and an
// upload that began before another settled still sees that settlement.
#include <gtest/gtest.h>

#include "tests/unit/engine/FtpTestServer.h"
#include "engine/UploadQuota.h"

namespace tw {
namespace {

constexpr uint64_t KB = 1024;

TEST(UploadQuota, ParallelUploadsAndSettlementsCountTogether) {
    test::MemoryAccounts accounts;
    accounts.Update("u", [](Account& a) { a.quotaMax = 100; });
    CUploadQuota ledger;
    CUploadQuota::Ticket a, b, c;
    ASSERT_TRUE(ledger.Begin(accounts, "u", a));
    ASSERT_TRUE(ledger.Begin(accounts, "u", b));
    EXPECT_TRUE(ledger.Charge(a, 60 * KB));
    EXPECT_TRUE(ledger.Charge(b, 30 * KB));
    EXPECT_FALSE(ledger.Charge(b, 10 * KB));  // 100 KB in flight: refused, and counted
    EXPECT_EQ(b.counted, 40 * KB);

    // a settles: quota_current grows and b, which read it as 0, still counts those 60 KB.
    ledger.End(accounts, "u", a, 60);
    EXPECT_DOUBLE_EQ(accounts.QuotaCurrent("u"), 60);
    EXPECT_FALSE(ledger.Charge(b, 0));

    // c reads 60 KB stored and sees b's 40 KB in flight, then b's settlement in its place.
    ASSERT_TRUE(ledger.Begin(accounts, "u", c));
    EXPECT_FALSE(ledger.Charge(c, 0));
    ledger.End(accounts, "u", b, 40);
    EXPECT_FALSE(ledger.Charge(c, 0));
    ledger.End(accounts, "u", c, 0);
    EXPECT_DOUBLE_EQ(accounts.QuotaCurrent("u"), 100);

    // A DELE that frees room is seen by the next upload.
    accounts.AddUsedQuota("u", -50);
    CUploadQuota::Ticket d;
    ASSERT_TRUE(ledger.Begin(accounts, "u", d));
    EXPECT_TRUE(ledger.Charge(d, 49 * KB));
    ledger.End(accounts, "u", d, 49);
}

TEST(UploadQuota, WithoutAQuotaNothingIsCountedOrBilled) {
    test::MemoryAccounts accounts;
    accounts.Update("u", [](Account& a) { a.quotaCurrent = 5; });
    CUploadQuota ledger;
    CUploadQuota::Ticket t;
    ASSERT_TRUE(ledger.Begin(accounts, "u", t));
    EXPECT_TRUE(ledger.Charge(t, 1 << 30));
    ledger.End(accounts, "u", t, 0);
    EXPECT_DOUBLE_EQ(accounts.QuotaCurrent("u"), 5);
    EXPECT_FALSE(ledger.Begin(accounts, "nobody", t));
}

}  // namespace
}  // namespace tw
