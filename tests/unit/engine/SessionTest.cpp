#include "engine/Session.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

using Kind = Session::TransferKind;

TEST(Session, LoginTimeOutRunsFromTheLastLogoutNotFromEachUser) {
    Session s(1000);
    EXPECT_FALSE(s.LoginTimedOut(1029, 30));
    EXPECT_TRUE(s.LoginTimedOut(1030, 30));
    EXPECT_FALSE(s.LoginTimedOut(99999, 0));  // no time-out
    // Another USER before login does not buy more time.
    s.LoggedOut(1020);
    EXPECT_TRUE(s.LoginTimedOut(1030, 30));

    s.LoggedIn();
    EXPECT_FALSE(s.LoginTimedOut(5000, 30));
    s.LoggedOut(5000);  // USER after a login: the clock starts again
    EXPECT_FALSE(s.IsLoggedIn());
    EXPECT_FALSE(s.LoginTimedOut(5029, 30));
    EXPECT_TRUE(s.LoginTimedOut(5030, 30));
}

TEST(Session, CommandsBeforeLoginAreCountedPerLogin) {
    Session s(0);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(s.CountCommandBeforeLogin(3));
    s.LoggedOut(0);  // a USER while not logged in starts nothing afresh
    EXPECT_FALSE(s.CountCommandBeforeLogin(3));

    s.LoggedIn();
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(s.CountCommandBeforeLogin(3));
    s.LoggedOut(0);  // the USER that ended the login is the first of the next
    EXPECT_TRUE(s.CountCommandBeforeLogin(3));
    EXPECT_TRUE(s.CountCommandBeforeLogin(3));
    EXPECT_FALSE(s.CountCommandBeforeLogin(3));
}

TEST(Session, LoginFailuresCountForTheWholeConnection) {
    Session s(0);
    EXPECT_EQ(s.CountLoginFailure(), 1);
    s.LoggedIn();
    s.LoggedOut(0);
    EXPECT_EQ(s.CountLoginFailure(), 2);
}

TEST(Session, OnlyItsOwnEndEndsTheWaitForADataConnection) {
    Session s(0);
    s.LoggedIn();
    s.DataWaitStarted();
    EXPECT_TRUE(s.AwaitingDataConnection());
    // A data connection dropped during the wait (a posted close) leaves the wait to its caller.
    s.TransferEnded();
    EXPECT_TRUE(s.AwaitingDataConnection());
    EXPECT_FALSE(s.Transferring());
    s.DataWaitEnded();
    EXPECT_EQ(s.Transfer(), Kind::NONE);

    s.TransferStarted(Kind::UPLOAD);
    s.DataWaitEnded();  // no wait to end: the upload goes on
    EXPECT_TRUE(s.Transferring());
    s.TransferEnded();
    EXPECT_EQ(s.Transfer(), Kind::NONE);
}

TEST(Session, UserDuringATransferLogsOutAndTheEndDoesNotLogBackIn) {
    Session s(0);
    s.LoggedIn();
    s.TransferStarted(Kind::DOWNLOAD);
    s.LoggedOut(10);
    EXPECT_FALSE(s.IsLoggedIn());
    EXPECT_FALSE(s.Transferring());
    s.TransferEnded();
    EXPECT_FALSE(s.IsLoggedIn());
}

}  // namespace
}  // namespace tw
