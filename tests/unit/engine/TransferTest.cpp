// RETR, STOR, APPE, REST and ABOR: restart points, truncation, quota, speed limits, counters and the
// control connection while a transfer runs.
#include <gtest/gtest.h>

#include <chrono>

#include "tests/unit/engine/FtpTestServer.h"
#include "engine/Messages.h"

using namespace std::chrono_literals;

namespace tw::test {
namespace {

class Transfer : public ::testing::Test {
protected:
    int Counter(int kind) {
        return server.OnServer([kind](CFtpServer& s) { return s.Counter(kind); });
    }
    TempDir home;
    TestServer server{home.Path()};
};

TEST_F(Transfer, RestartOffsetsOfADownload) {
    const std::string body = Pattern(1000);
    WriteFile(home / "f.bin", body);
    Session s(server.Port());
    EXPECT_EQ(s.Cmd("REST 100"), "350 Restarting at byte offset 100.");
    auto r = s.Download("RETR f.bin");
    EXPECT_EQ(r.first, "150 File status okay; about to open data connection.");
    EXPECT_EQ(r.data, body.substr(100));
    EXPECT_EQ(r.last, "226 Transfer complete.");
    EXPECT_EQ(s.Download("RETR f.bin").data, body);  // forgotten after the transfer
    for (const char* rest : {"REST 1000", "REST 5000", "REST -5", "REST 99999999999999999999999", "REST x"}) {
        EXPECT_EQ(s.Cmd(rest).substr(0, 4), "350 ") << rest;
        EXPECT_EQ(s.Download("RETR f.bin").data, body) << rest;
    }
    EXPECT_EQ(s.Cmd("REST -5"), "350 Restarting at byte offset -5.");
    EXPECT_EQ(s.Cmd("REST 3000000000"), "350 Restarting at byte offset 3000000000.");
    EXPECT_EQ(Counter(COUNTER_FILE_SENT), 7);
}

TEST_F(Transfer, MissingFilesAndEmptyFiles) {
    WriteFile(home / "empty", "");
    std::filesystem::create_directory(home / "dir");
    Session s(server.Port());
    EXPECT_EQ(s.Cmd("RETR nothere"), "550 File not found.");
    EXPECT_EQ(s.Cmd("RETR dir"), "550 File not found.");
    EXPECT_EQ(s.Cmd("APPE nothere"), "550 Filename unavailable.");
    EXPECT_EQ(s.Cmd("STOR nodir/x"), "550 Filename unavailable.");
    auto r = s.Download("RETR empty");
    EXPECT_EQ(r.data, "");
    EXPECT_EQ(r.last, "226 Transfer complete.");
    server.Accounts().Update("user", [](Account& a) { a.rights.read = false; });
    EXPECT_EQ(s.Cmd("RETR empty"), "550 No permission.");
}

TEST_F(Transfer, StorAfterRestKeepsTheFirstBytes) {
    WriteFile(home / "f.txt", "old content that is long");  // 24 bytes
    Session s(server.Port());
    EXPECT_EQ(s.Cmd("REST 5"), "350 Restarting at byte offset 5.");
    auto r = s.Upload("STOR f.txt", "new");
    EXPECT_EQ(r.first, "150 File status okay; about to open data connection.");
    EXPECT_EQ(r.last, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(home / "f.txt"), "old cnew");  // cut at the restart point, written from there
    EXPECT_EQ(s.Cmd("REST 8"), "350 Restarting at byte offset 8.");
    EXPECT_EQ(s.Upload("STOR f.txt", "!").last, "226 Transfer complete.");  // at the very end
    EXPECT_EQ(ReadFile(home / "f.txt"), "old cnew!");

    // Beyond the end, or any restart point on a missing file: refused before the data connection.
    for (const char* name : {"f.txt", "missing.txt"}) {
        EXPECT_EQ(s.Cmd("REST 10"), "350 Restarting at byte offset 10.");
        EXPECT_EQ(s.Cmd(std::string("STOR ") + name), "554 Restart position beyond the end of the file.");
    }
    EXPECT_EQ(ReadFile(home / "f.txt"), "old cnew!");
    EXPECT_FALSE(std::filesystem::exists(home / "missing.txt"));
    // A resumed upload consumes its restart point: the STOR after it truncates.
    EXPECT_EQ(s.Cmd("REST 0"), "350 Restarting at byte offset 0.");
    EXPECT_EQ(s.Upload("STOR f.txt", "new").last, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(home / "f.txt"), "new");
    EXPECT_EQ(s.Cmd("REST 2"), "350 Restarting at byte offset 2.");
    EXPECT_EQ(s.Upload("STOR f.txt", "w").last, "226 Transfer complete.");
    EXPECT_EQ(s.Upload("STOR f.txt", "plain").last, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(home / "f.txt"), "plain");
    EXPECT_EQ(s.Cmd("REST -4"), "350 Restarting at byte offset -4.");  // no position: the whole file
    EXPECT_EQ(s.Upload("STOR f.txt", "neg").last, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(home / "f.txt"), "neg");
}

TEST_F(Transfer, ResumedUploadCountsOnlyTheBytesSent) {
    const std::string body = Pattern(300 * 1024);
    WriteFile(home / "big.bin", body.substr(0, 100 * 1024));
    server.Accounts().Update("user", [](Account& a) { a.quotaMax = 1000, a.quotaCurrent = 100; });
    Session s(server.Port());
    EXPECT_EQ(s.Cmd("REST 102400"), "350 Restarting at byte offset 102400.");
    EXPECT_EQ(s.Upload("STOR big.bin", body.substr(100 * 1024)).last, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(home / "big.bin"), body);
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");  // the drop has happened
    EXPECT_DOUBLE_EQ(server.Accounts().QuotaCurrent("user"), 300.0);
    // The quota stops a resumed upload like any other; what came before the restart point stays.
    server.Accounts().Update("user", [](Account& a) { a.quotaMax = 310; });
    EXPECT_EQ(s.Cmd("REST 307200"), "350 Restarting at byte offset 307200.");
    EXPECT_EQ(s.Upload("STOR big.bin", Pattern(64 * 1024)).last, "452 Disk quota exceeded. Transfer aborted.");
    EXPECT_EQ(ReadFile(home / "big.bin").substr(0, body.size()), body);
}

TEST_F(Transfer, StorTruncatesAppeAppends) {
    WriteFile(home / "f.txt", "old content that is long");
    Session s(server.Port());
    EXPECT_EQ(s.Upload("STOR f.txt", "new").last, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(home / "f.txt"), "new");
    EXPECT_EQ(s.Upload("APPE f.txt", " and more").last, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(home / "f.txt"), "new and more");
    const std::string big = Pattern(3 * 1024 * 1024 + 17);
    EXPECT_EQ(s.Upload("STOR big.bin", big).last, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(home / "big.bin"), big);
    EXPECT_EQ(s.Download("RETR big.bin").data, big);
    EXPECT_EQ(Counter(COUNTER_FILE_RECEIVED), 3);
    EXPECT_EQ(server.Accounts().QuotaCurrent("user"), 0.0);  // no quota set, nothing counted
}

TEST_F(Transfer, QuotaIsCheckedBeforeAndDuringAnUpload) {
    WriteFile(home / "keep.txt", "untouched");
    Session s(server.Port());
    server.Accounts().Update("user", [](Account& a) { a.quotaMax = 100, a.quotaCurrent = 100; });
    auto full = s.Upload("STOR keep.txt", "xyz");
    EXPECT_EQ(full.first, "150 File status okay; about to open data connection.");
    EXPECT_EQ(full.last, "452 Disk quota exceeded. Transfer aborted.");
    EXPECT_EQ(ReadFile(home / "keep.txt"), "untouched");

    // 99.5 KB used: the first 4096-byte block reaches 100 KB and is not written; nothing stays, nothing is billed.
    server.Accounts().Update("user", [](Account& a) { a.quotaCurrent = 99.5; });
    auto over = s.Upload("STOR over.bin", Pattern(64 * 1024));
    EXPECT_EQ(over.last, "452 Disk quota exceeded. Transfer aborted.");
    EXPECT_FALSE(std::filesystem::exists(home / "over.bin"));
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");  // the drop has happened
    EXPECT_DOUBLE_EQ(server.Accounts().QuotaCurrent("user"), 99.5);

    // A started KB counts in full, so small files cannot slip past the quota.
    server.Accounts().Update("user", [](Account& a) { a.quotaMax = 1000, a.quotaCurrent = 0; });
    EXPECT_EQ(s.Upload("STOR ten.bin", Pattern(10000)).last, "226 Transfer complete.");
    EXPECT_EQ(ReadFile(home / "ten.bin"), Pattern(10000));
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");
    EXPECT_DOUBLE_EQ(server.Accounts().QuotaCurrent("user"), 10.0);
    for (size_t size : {1u, 1023u, 1024u, 1025u})
        EXPECT_EQ(s.Upload("STOR small.bin", Pattern(size)).last, "226 Transfer complete.") << size;
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");
    // Each upload after the first replaces small.bin and bills only what it adds: 1, 0, 0, 1 KB.
    EXPECT_DOUBLE_EQ(server.Accounts().QuotaCurrent("user"), 10.0 + 1 + 0 + 0 + 1);
    // A smaller replacement gives back what it frees: 2 KB become 1.
    EXPECT_EQ(s.Upload("STOR small.bin", Pattern(1)).last, "226 Transfer complete.");
    s.Download("RETR ten.bin");  // downloads never count
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");
    EXPECT_DOUBLE_EQ(server.Accounts().QuotaCurrent("user"), 11.0);
}

TEST_F(Transfer, AnUploadIsBilledToTheAccountThatStartedIt) {
    server.Accounts().Update("user", [](Account& a) { a.quotaMax = 1000, a.quotaCurrent = 0; });
    server.Accounts().Update("other", [](Account& a) { a.quotaMax = 1000, a.quotaCurrent = 0; });
    Session s(server.Port());
    Conn data = s.Passive();
    EXPECT_EQ(s.Cmd("STOR up.bin"), "150 File status okay; about to open data connection.");
    data.Send(Pattern(5000));
    EXPECT_EQ(s.Cmd("USER other"), "331 username ok, need password.");  // no PASS needed to switch names
    data.Close();
    EXPECT_EQ(s.Line(), "226 Transfer complete.");
    EXPECT_EQ(s.Cmd("NOOP"), "530 Please login with USER and PASS.");  // the drop has happened
    EXPECT_DOUBLE_EQ(server.Accounts().QuotaCurrent("user"), 5.0);
    EXPECT_DOUBLE_EQ(server.Accounts().QuotaCurrent("other"), 0.0);
}

TEST_F(Transfer, LimitedDownloadIsPacedAndTheControlConnectionStaysResponsive) {
    const std::string body = Pattern(30 * 1024);
    WriteFile(home / "slow.bin", body);
    server.Accounts().Update("user", [](Account& a) { a.downloadLimit = true, a.downloadSpeed = 10; });
    Session s(server.Port());
    Conn data = s.Passive();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.Cmd("RETR slow.bin"), "150 File status okay; about to open data connection.");
    // Commands are answered while the transfer waits out its windows; a second transfer is refused.
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");
    EXPECT_EQ(s.Cmd("RETR slow.bin"), "425 Can't build data connection.");
    EXPECT_EQ(s.Cmd("STOR slow.bin"), "425 Can't build data connection.");
    EXPECT_EQ(data.All(), body);
    EXPECT_EQ(s.Line(), "226 Transfer complete.");
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 2900ms);  // three 10 KB windows, the last one waited out as well
    EXPECT_LT(took, 6000ms);
}

TEST_F(Transfer, LimitedUploadIsPaced) {
    server.Accounts().Update("user", [](Account& a) { a.uploadLimit = true, a.uploadSpeed = 8; });
    Session s(server.Port());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.Upload("STOR up.bin", Pattern(24 * 1024)).last, "226 Transfer complete.");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);
    EXPECT_EQ(ReadFile(home / "up.bin"), Pattern(24 * 1024));
}

TEST_F(Transfer, AborStopsARunningDownload) {
    WriteFile(home / "slow.bin", Pattern(100 * 1024));
    server.Accounts().Update("user", [](Account& a) { a.downloadLimit = true, a.downloadSpeed = 10; });
    Session s(server.Port());
    Conn data = s.Passive();
    EXPECT_EQ(s.Cmd("RETR slow.bin"), "150 File status okay; about to open data connection.");
    char first[1024];
    EXPECT_GT(recv(data.Fd(), first, sizeof first, 0), 0);
    EXPECT_EQ(s.Cmd("ABOR"), "426 Data connection closed.");
    EXPECT_EQ(s.Line(), "226 ABOR command successful.");
    std::string rest = data.All();
    EXPECT_LT(rest.size(), 20u * 1024);  // closed, not sent to the end
    EXPECT_EQ(s.Cmd("RETR slow.bin"), "150 File status okay; about to open data connection.");
    EXPECT_EQ(s.Line(), "425 Can't build data connection.");  // the passive socket went with the drop
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");
}

TEST_F(Transfer, AborAfterADroppedTransferHasNothingToAbort) {
    WriteFile(home / "slow.bin", Pattern(100 * 1024));
    std::filesystem::create_directory(home / "empty");
    server.Accounts().Update("user", [](Account& a) { a.downloadLimit = true, a.downloadSpeed = 10; });
    Session s(server.Port());
    {
        // Aborted: the drop ends the transfer, and the next ABOR (with a new passive socket) finds none.
        Conn data = s.Passive();
        EXPECT_EQ(s.Cmd("RETR slow.bin"), "150 File status okay; about to open data connection.");
        EXPECT_EQ(s.Cmd("ABOR"), "426 Data connection closed.");
        EXPECT_EQ(s.Line(), "226 ABOR command successful.");
    }
    Conn listener = s.Passive();
    EXPECT_EQ(s.Cmd("ABOR"), "226 ABOR command successful.");
    {
        // A PASV during the transfer is refused and leaves it running for the ABOR.
        Conn data = s.Passive();
        EXPECT_EQ(s.Cmd("RETR slow.bin"), "150 File status okay; about to open data connection.");
        EXPECT_EQ(s.Cmd("PASV"), "425 Can't build data connection.");
        EXPECT_EQ(s.Cmd("ABOR"), "426 Data connection closed.");
        EXPECT_EQ(s.Line(), "226 ABOR command successful.");
    }
    // An empty listing ends its transfer too.
    auto r = s.Download("LIST empty");
    EXPECT_EQ(r.first, "150 Accepted data connection.");
    EXPECT_EQ(r.data, "");
    EXPECT_EQ(r.last, "226 Transfer complete.");
    Conn last = s.Passive();
    EXPECT_EQ(s.Cmd("ABOR"), "226 ABOR command successful.");
}

TEST_F(Transfer, ClientClosingEarlyFailsTheTransfer) {
    WriteFile(home / "big.bin", Pattern(64 * 1024 * 1024));
    Session s(server.Port());
    Conn data = s.Passive();
    EXPECT_EQ(s.Cmd("RETR big.bin"), "150 File status okay; about to open data connection.");
    char some[4096];
    EXPECT_GT(recv(data.Fd(), some, sizeof some, 0), 0);
    data.Close();
    EXPECT_EQ(s.Line(), "426 Connection closed.");
    EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");
    EXPECT_EQ(Counter(COUNTER_SEND_FAILED) + Counter(COUNTER_TRANSFER_FAILED), 1);
}

TEST_F(Transfer, ADownloadToAReaderThatKeepsFallingBehindArrivesWhole) {
    // The client reads in small pieces and talks on the control connection in between: its window fills
    // again and again, and the sender must be woken each time room opens.
    const std::string body = Pattern(64 * 1024 * 1024 + 123);
    WriteFile(home / "big.bin", body);
    Session s(server.Port());
    Conn data = s.Passive();
    EXPECT_EQ(s.Cmd("RETR big.bin"), "150 File status okay; about to open data connection.");
    std::string got;
    char piece[4096];
    for (long n; (n = recv(data.Fd(), piece, sizeof piece, 0)) > 0;) {
        got.append(piece, static_cast<size_t>(n));
        // The control connection is served in between, on the thread that also feeds the data connection
        // (long before the last bytes, which the socket buffers may hold once the 226 has been sent).
        if (got.size() % (1024 * 1024) < sizeof piece && got.size() < body.size() / 4) {
            EXPECT_EQ(s.Cmd("NOOP"), "200 NOOP command successful.");
        }
    }
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body);
    EXPECT_EQ(s.Line(), "226 Transfer complete.");
}

TEST_F(Transfer, UserDuringATransferStaysLoggedOut) {
    WriteFile(home / "slow.bin", Pattern(20 * 1024));
    server.Accounts().Update("user", [](Account& a) { a.downloadLimit = true, a.downloadSpeed = 10; });
    Session s(server.Port());
    Conn data = s.Passive();
    EXPECT_EQ(s.Cmd("RETR slow.bin"), "150 File status okay; about to open data connection.");
    EXPECT_EQ(s.Cmd("USER other"), "331 username ok, need password.");
    EXPECT_EQ(data.All().size(), 20u * 1024);
    EXPECT_EQ(s.Line(), "226 Transfer complete.");
    EXPECT_EQ(s.Cmd("NOOP"), "530 Please login with USER and PASS.");
}

}  // namespace
}  // namespace tw::test
