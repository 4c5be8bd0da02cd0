// The administration program's plain classes: the event-sink adapter, the log-page and online-list
// models, the account pages' rows and filter, the settings it reads, the IP list additions and the daily log step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "admin/AccountRows.h"
#include "admin/AdminHost.h"
#include "admin/AdminSettings.h"
#include "admin/EventSinkAdapter.h"
#include "admin/LogPageModel.h"
#include "admin/OnlineListModel.h"
#include "accounts/AccountStore.h"
#include "accounts/AccountTables.h"
#include "platform/ProgramDir.h"
#include "tests/common/LocalTime.h"
#include "tests/common/TempDirTest.h"

namespace tw::admin {
namespace {

namespace fs = std::filesystem;

using test::LocalTime;

using TempDir = test::TempDirTest;

TEST(LogPageModel, KeepsTheNewest1201LinesOneByOneAndInBatches) {
    CLogPageModel log;
    for (int i = 0; i < 1201; ++i) log.Append({{EventLevel::EVENT, std::to_string(i)}});
    ASSERT_EQ(log.Size(), 1201u);
    EXPECT_EQ(log.At(0).text, "0");
    log.Append({{EventLevel::COMMAND, "1201"}});
    ASSERT_EQ(log.Size(), 1201u);
    EXPECT_EQ(log.At(0).text, "1");
    EXPECT_EQ(log.At(1200).text, "1201");

    std::vector<CLogPageModel::Line> batch;
    for (int i = 0; i < 3000; ++i) batch.push_back({EventLevel::REPLY, "b" + std::to_string(i)});
    log.Append(std::move(batch));
    ASSERT_EQ(log.Size(), 1201u);
    EXPECT_EQ(log.At(0).text, "b1799");
    EXPECT_EQ(log.At(1200).text, "b2999");
    log.Clear();
    EXPECT_EQ(log.Size(), 0u);
}

TEST(LogPageModel, ColoursByLevel) {
    EXPECT_EQ(LevelColour(EventLevel::COMMAND), (Rgb{0, 0, 150}));
    EXPECT_EQ(LevelColour(EventLevel::REPLY), (Rgb{0, 150, 0}));
    for (int level : {0, 3, -1, 7}) EXPECT_EQ(LevelColour(static_cast<EventLevel>(level)), (Rgb{128, 0, 0}));
}

TEST(OnlineListModel, AConnectionThatSentUserTwiceHasTwoRowsAndLosesBoth) {
    COnlineListModel rows;
    const std::time_t t = LocalTime(2026, 12, 8, 9, 5, 3);
    rows.Add(101, "alice", "127.0.0.1", t);
    rows.Add(202, "bob", "127.0.0.2", t);
    rows.Add(101, "alice2", "127.0.0.1", t);
    EXPECT_EQ(rows.At(0).loginTime, "2026-12-08 09:05:03");
    EXPECT_EQ(rows.RowsOf(101), (std::vector<int>{0, 2}));
    EXPECT_TRUE(rows.RowsOf(303).empty());
    rows.RemoveRow(2);
    rows.RemoveRow(0);
    rows.RemoveRow(5);  // out of range: nothing
    ASSERT_EQ(rows.Size(), 1);
    EXPECT_EQ(rows.At(0).user, "bob");
}

TEST(EventSinkAdapter, KeepsEveryThreadsOrderAndWakesOncePerBatch) {
    std::atomic<int> wakes{0};
    CEventSinkAdapter sink([&] { ++wakes; }, [] { return std::time_t(42); });
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) sink.OnMessage(static_cast<EventLevel>(t), std::to_string(i));
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wakes, 1);
    std::vector<int> next(kThreads, 0);
    auto events = sink.Take();
    ASSERT_EQ(events.size(), size_t(kThreads * kLines));
    for (const ServerEvent& e : events) EXPECT_EQ(e.line, std::to_string(next[static_cast<int>(e.level)]++));
    EXPECT_TRUE(sink.Take().empty());

    // A user's row is queued before the disconnect of the same connection, whatever thread reports it.
    sink.OnUser(7, "alice", "127.0.0.1");
    sink.OnBytesSent(10);  // statistics are not queued
    sink.OnDisconnect(7, "alice");
    EXPECT_EQ(wakes, 2);
    events = sink.Take();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, ServerEvent::USER);
    EXPECT_EQ(events[0].when, 42);
    EXPECT_EQ(events[1].kind, ServerEvent::DISCONNECT);
    EXPECT_EQ(events[1].thread, 7);
}

TEST_F(TempDir, SettingsFallBackToDefaultsForAMissingFileAndForNonNumbers) {
    AdminSettings missing = ReadAdminSettings(Dir() + "option.ini");
    EXPECT_EQ(missing.port, 21);
    EXPECT_EQ(missing.tlsPort, 990);
    EXPECT_EQ(missing.maxUsers, 20);
    EXPECT_EQ(missing.timeout, 10);
    EXPECT_EQ(missing.minPort, 1024);
    EXPECT_EQ(missing.maxPort, 65535);
    EXPECT_FALSE(missing.autoActive || missing.minimize || missing.saveLog || missing.startup);

    std::ofstream(dir / "option.ini") << "[server]\r\nPORT=abc\r\nsslport= 2990x\r\nmaxusers=\r\ntimeout=-3\r\n"
                                         "AutoActive=1\r\nMinimize=yes\r\nPassiveIP=internet\r\n";
    AdminSettings s = ReadAdminSettings(Dir() + "option.ini");
    EXPECT_EQ(s.port, 21);
    EXPECT_EQ(s.tlsPort, 2990);
    EXPECT_EQ(s.maxUsers, 20);
    EXPECT_EQ(s.timeout, -3);
    EXPECT_TRUE(s.autoActive);
    EXPECT_FALSE(s.minimize);
    EXPECT_EQ(s.passiveIp, "internet");
}

TEST(IpListAddition, AppendsOnlyAddressesNotYetCovered) {
    std::string list;
    EXPECT_TRUE(AddAddressToList(list, "10.0.0.12"));
    EXPECT_EQ(list, "10.0.0.12");
    // Not a substring match: 10.0.0.1 is a different address.
    EXPECT_TRUE(AddAddressToList(list, "10.0.0.1"));
    EXPECT_EQ(list, "10.0.0.12,10.0.0.1");
    EXPECT_FALSE(AddAddressToList(list, "10.0.0.1"));
    list = "192.168.*.*";
    EXPECT_FALSE(AddAddressToList(list, "192.168.3.4"));
    EXPECT_EQ(list, "192.168.*.*");
    // An IPv6 client of the online page, once, and not when a prefix covers it.
    EXPECT_TRUE(AddAddressToList(list, "2001:db8::7"));
    EXPECT_FALSE(AddAddressToList(list, "2001:db8::7"));
    EXPECT_EQ(list, "192.168.*.*,2001:db8::7");
    list = "2001:db8::/32";
    EXPECT_FALSE(AddAddressToList(list, "2001:db8:1::1"));
}

class HostTest : public TempDir {
protected:
    void SetUp() override {
        TempDir::SetUp();
        setenv("TARNWICK_HOME", dir.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TARNWICK_HOME");
        TempDir::TearDown();
    }
    MessageLoop loop;
    std::time_t now = LocalTime(2026, 12, 8, 23, 59, 58);
    CEventSinkAdapter sink{[] {}, [this] { return now; }};
};

// One option.ini, both hosts: the service host's path (CFtpServer::LoadSettings) and the desktop
// program's (CAdminHost) give the server object the same values and do the same start-up work.
TEST_F(HostTest, BothHostsApplyOneSettingsFileAlike) {
    std::ofstream(dir / "option.ini") << "[Server]\nport=abc\nSSLPORT=2990\nmaxusers=7x\ntimeout=3\nMinPort=6000\n"
                                         "MaxPort=5000\nPassiveIP=10.9.8.7\nFilterMode=1\nLoginFailDelay=5\n"
                                         "MaxLoginFails=4\nBanAfterFails=6\nBanMinutes=8\nAccountFailLimit=9\n"
                                         "AccountLockMinutes=11\nLoginTimeout=12\nMaxPerIP=1\nftpservice=0\n"
                                         "Savelog=1\nAutoActive=1\n";
    std::ofstream(dir / "rejectip.txt") << "10.1.1.1";
    std::string error;
    ASSERT_TRUE(CreateUserTable(UserTablePath(Dir()), error)) << error;
    ASSERT_TRUE(CreateGroupTable(GroupTablePath(Dir()), error)) << error;
    fs::permissions(UserTablePath(Dir()), fs::perms::others_read, fs::perm_options::add);
    fs::create_directories(dir / "home");
    CAccountStore store(Dir());
    int id = 0;
    ASSERT_TRUE(store.AddUser({.userid = "old", .homedir = (dir / "home").string(), .enabled = true,
                               .expiry = Expiry{true, "2020-01-01"}},
                              nullptr, id));
    const fs::path hidden = dir / "home" / ".tarnwick-upload.left";

    // Checks the start-up work of one host and makes it undone for the next.
    auto expectStartupWork = [&](const char* host) {
        SCOPED_TRACE(host);
        EXPECT_FALSE(fs::exists(hidden));
        Account user;
        ASSERT_TRUE(store.FindUser("old", user));
        EXPECT_FALSE(user.enabled);
        bool warned = false;
        for (const ServerEvent& e : sink.Take())
            warned |= e.line.find(UserTablePath(Dir()) + " is readable by other users.") != std::string::npos;
        EXPECT_TRUE(warned);
        EXPECT_TRUE(fs::exists(dir / "log"));
        fs::remove_all(dir / "log");
        ASSERT_TRUE(store.ChangeUser(id, {.enabled = true}, nullptr));
    };

    ServerSettings service, desktop;
    std::ofstream(hidden) << "partial";
    {
        CFtpServer server;
        server.LoadSettings(&sink);
        service = server.AppliedSettings();
        EXPECT_FALSE(server.IsAllowedAddress("10.1.1.1"));
        expectStartupWork("service host");
    }
    std::ofstream(hidden) << "partial";
    {
        CFtpServer server;
        CAdminHost host(server, sink, [this] { return now; });
        host.LoadSettings();
        desktop = server.AppliedSettings();
        EXPECT_FALSE(server.IsAllowedAddress("10.1.1.1"));
        EXPECT_EQ(host.DenyList(), "10.1.1.1");
        EXPECT_TRUE(host.Settings().autoActive);
        expectStartupWork("desktop program");
    }
    EXPECT_EQ(service, desktop);
    ServerSettings expected;
    expected.saveLog = true;
    expected.filterMode = 1;
    expected.tlsPort = 2990;
    expected.maxUsers = 7;
    expected.timeout = 3;
    expected.minPort = expected.maxPort = 6000;  // a range below its start is raised to it
    expected.passiveIp = "10.9.8.7";
    expected.loginFailDelay = 5;
    expected.maxLoginFails = 4;
    expected.banAfterFails = 6;
    expected.banMinutes = 8;
    expected.accountFailLimit = 9;
    expected.accountLockMinutes = 11;
    expected.loginTimeout = 12;
    expected.maxPerIp = 1;
    expected.ftpService = false;
    EXPECT_EQ(desktop, expected);
    EXPECT_EQ(desktop.port, 21);
}

TEST_F(HostTest, ListAdditionsWriteTheFileOnlyWhenTheListChanges) {
    std::ofstream(dir / "acceptip.txt") << "127.0.0.1";
    CFtpServer server;
    CAdminHost host(server, sink, [this] { return now; });
    host.LoadSettings();
    EXPECT_FALSE(host.AddToList(CAdminHost::IpList::Allow, "127.0.0.1"));
    fs::remove(dir / "acceptip.txt");
    EXPECT_FALSE(host.AddToList(CAdminHost::IpList::Allow, "127.0.0.1"));
    EXPECT_FALSE(fs::exists(dir / "acceptip.txt"));  // nothing written for an address already present
    EXPECT_TRUE(host.AddToList(CAdminHost::IpList::Deny, "10.1.2.3"));
    EXPECT_EQ(ReadSmallFile(Dir() + "rejectip.txt"), "10.1.2.3");
    server.SetFilterMode(1);
    EXPECT_FALSE(server.IsAllowedAddress("10.1.2.3"));  // the running filter has it at once
}

TEST_F(HostTest, TheFirstLineAfterMidnightStartsANewDayAndItsFile) {
    std::ofstream(dir / "option.ini") << "[Server]\nSavelog=1\n";
    CFtpServer server;
    CAdminHost host(server, sink, [this] { return now; });
    host.LoadSettings();
    EXPECT_FALSE(host.LogLine("before midnight"));
    now += 3;
    EXPECT_TRUE(host.LogLine("after midnight"));
    EXPECT_FALSE(host.LogLine("same day"));
    EXPECT_EQ(ReadSmallFile(Dir() + "log/20261208.txt"), "before midnight\r\n");
    EXPECT_EQ(ReadSmallFile(Dir() + "log/20261209.txt"), "after midnight\r\nsame day\r\n");
}

TEST_F(HostTest, WithoutSavelogNothingIsWrittenAndNoDayIsCounted) {
    CFtpServer server;
    CAdminHost host(server, sink, [this] { return now; });
    host.LoadSettings();
    now += 3;
    EXPECT_FALSE(host.LogLine("line"));
    EXPECT_FALSE(fs::exists(dir / "log"));
}

// The users page shows names for group ids and never a password; the filter narrows by every word typed.
TEST(AccountRows, ColumnsAndFilter) {
    Account alice{.id = 3, .userid = "Alice", .password = "$y$j9T$salt$hash", .email = "alice@example.org",
                  .homedir = "/srv/ftp/alice", .groups = {2, 9}, .enabled = true};
    Account bob{.id = 4, .userid = "bob", .homedir = "/srv/ftp/bob"};
    const std::vector<AccountRow> rows = UserRows({alice, bob}, {{2, "staff", ""}, {5, "guests", ""}});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].id, 3);
    EXPECT_EQ(rows[0].columns, (std::vector<std::string>{"Alice", "******", "alice@example.org", "staff,9", "Enable",
                                                          "/srv/ftp/alice"}));
    EXPECT_EQ(rows[1].columns[1], "");  // no password set
    EXPECT_EQ(rows[1].columns[4], "Disable");
    EXPECT_EQ(GroupRows({{5, "guests", "n"}})[0].columns, (std::vector<std::string>{"5", "guests"}));

    EXPECT_TRUE(RowMatches(rows[0], ""));
    EXPECT_TRUE(RowMatches(rows[0], "  "));
    EXPECT_TRUE(RowMatches(rows[0], "ALI"));
    EXPECT_TRUE(RowMatches(rows[0], "staff example"));  // words in different columns
    EXPECT_FALSE(RowMatches(rows[0], "staff bob"));
    EXPECT_FALSE(RowMatches(rows[1], "srv/ftp/alice"));
    EXPECT_FALSE(RowMatches(rows[0], "hash"));  // a hidden password is not searched
    EXPECT_TRUE(RowMatches({1, {"用户甲"}}, "甲"));
}

}  // namespace
}  // namespace tw::admin
