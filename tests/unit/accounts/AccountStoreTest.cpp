// The account library: encodings, checks, changes that keep what they do not name, folder tables replaced
// whole, group deletion and concurrent editors.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>

#include "accounts/AccountStore.h"
#include "accounts/AccountTables.h"
#include "recordengine/RecordTable.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class AccountStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/accounts-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = std::string(pattern) + "/";
        home_ = dir_ + "home";
        fs::create_directory(home_);
        std::string error;
        ASSERT_TRUE(CreateUserTable(UserTablePath(dir_), error)) << error;
        ASSERT_TRUE(CreateGroupTable(GroupTablePath(dir_), error)) << error;
        store_ = CAccountStore(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    int AddUser(const std::string& name, UserChange change = {}, const std::vector<VirtualFolder>* folders = nullptr) {
        change.userid = name;
        if (!change.homedir) change.homedir = home_;
        int id = 0;
        AccountStatus s = store_.AddUser(change, folders, id);
        EXPECT_TRUE(s) << s.text;
        return id;
    }
    int AddGroup(const std::string& name, const std::vector<VirtualFolder>* folders = nullptr) {
        int id = 0;
        AccountStatus s = store_.AddGroup({.name = name}, folders, id);
        EXPECT_TRUE(s) << s.text;
        return id;
    }
    Account User(const std::string& name) {
        Account a;
        AccountStatus s = store_.FindUser(name, a);
        EXPECT_TRUE(s) << s.text;
        return a;
    }
    std::vector<VirtualFolder> FoldersOf(FolderOwner owner, int id) {
        std::vector<VirtualFolder> folders;
        EXPECT_TRUE(store_.Folders(owner, id, folders));
        return folders;
    }
    VirtualFolder Folder(const std::string& name) { return {name, home_, *RightsSet::FromString(kNewRights)}; }

    std::string dir_, home_;
    CAccountStore store_{""};
};

TEST(AccountEncodings, StoredTextsDecodeAndEncodeBack) {
    EXPECT_EQ(DecodeGroupIds("2,5, 9,,"), (std::vector<int>{2, 5, 9}));
    EXPECT_EQ(DecodeGroupIds(""), std::vector<int>());
    EXPECT_EQ(EncodeGroupIds({2, 5, 9}), "2,5,9");
    EXPECT_EQ(DecodeExpiry("1,2030-01-31"), (Expiry{true, "2030-01-31"}));
    EXPECT_EQ(DecodeExpiry("0,2030-01-31"), (Expiry{false, "2030-01-31"}));
    EXPECT_EQ(DecodeExpiry("7,2030-01-31"), (Expiry{false, "2030-01-31"}));
    EXPECT_EQ(DecodeExpiry(""), Expiry{});
    EXPECT_EQ(EncodeExpiry({true, "2030-01-31"}), "1,2030-01-31");
    EXPECT_EQ(EncodeExpiry({false, "2030-01-31"}), "0,2030-01-31");  // the date is kept when off
    EXPECT_EQ(EncodeExpiry({}), "0,");
    EXPECT_EQ(NormalizeDirectory("/"), "/");
    EXPECT_EQ(NormalizeDirectory(" /srv/ftp// "), "/srv/ftp");
    EXPECT_EQ(NormalizeDirectory("///"), "/");
    EXPECT_TRUE(ValidDate("2024-02-29"));
    EXPECT_FALSE(ValidDate("2023-02-29"));
    EXPECT_FALSE(ValidDate("2024-4-30"));
    int speed = 0;
    double kb = 0;
    EXPECT_TRUE(ParseSpeed("2147483647", speed));
    EXPECT_FALSE(ParseSpeed("2147483648", speed));
    EXPECT_FALSE(ParseSpeed("-1", speed));
    EXPECT_FALSE(ParseSpeed("12 ", speed));
    EXPECT_TRUE(ParseKb("1e3", kb));
    EXPECT_EQ(kb, 1000);
    EXPECT_FALSE(ParseKb("inf", kb));
    EXPECT_FALSE(ParseKb("-0.5", kb));
}

TEST_F(AccountStoreTest, NewUsersGetTheirValuesAndTheDefaults) {
    const int staff = AddGroup("staff");
    const std::vector<VirtualFolder> folders = {Folder("pub"), {"up", home_, *RightsSet::FromString("RW--ALC--")}};
    AddUser("  alice  ", {.email = "a@example.org",
                          .password = PasswordText{"s3cret", true},
                          .groups = std::vector<int>{staff},
                          .expiry = Expiry{true, "2031-01-02"},
                          .download = SpeedLimit{true, 512},
                          .quotaMax = 2048.0},
            &folders);
    const Account a = User("ALICE");  // login names match without regard to case
    EXPECT_EQ(a.userid, "alice");     // trimmed
    EXPECT_EQ(a.password.rfind("$y$", 0), 0u) << a.password;
    EXPECT_TRUE(PasswordMatches("s3cret", a.password));
    EXPECT_EQ(a.groups, std::vector<int>{staff});
    EXPECT_TRUE(a.enabled);
    EXPECT_EQ(a.expiry, (Expiry{true, "2031-01-02"}));
    EXPECT_EQ(a.rights.ToString(), kNewRights);
    EXPECT_TRUE(a.downloadLimit);
    EXPECT_EQ(a.downloadSpeed, 512);
    EXPECT_FALSE(a.uploadLimit);
    EXPECT_EQ(a.quotaMax, 2048);
    EXPECT_EQ(a.quotaCurrent, 0);
    EXPECT_EQ(FoldersOf(FolderOwner::User, a.id), folders);

    // A password as text is stored as text; an empty one stays empty whichever way it is asked for.
    AddUser("bob", {.password = PasswordText{"plain", false}});
    EXPECT_EQ(User("bob").password, "plain");
    AddUser("carol", {.password = PasswordText{"", true}});
    EXPECT_EQ(User("carol").password, "");
}

TEST_F(AccountStoreTest, RefusedValuesNameTheirFieldAndStoreNothing) {
    AddUser("bob");
    AddGroup("staff");
    struct Case {
        UserChange change;
        AccountFault fault;
        AccountField field;
        int limit;
        std::string text;
    };
    const std::string home = home_;
    const Case cases[] = {
        {{.userid = "   ", .homedir = home}, AccountFault::Empty, AccountField::UserName, 0, "user name must not be empty"},
        {{.userid = std::string(65, 'u'), .homedir = home}, AccountFault::TooLong, AccountField::UserName, 64,
         "userid takes at most 64 characters"},
        {{.userid = "zed", .email = std::string(129, 'e'), .homedir = home}, AccountFault::TooLong, AccountField::Email,
         128, "email takes at most 128 characters"},
        {{.userid = "BOB", .homedir = home}, AccountFault::Exists, AccountField::UserName, 0, "user 'BOB' exists"},
        {{.userid = "zed", .homedir = " "}, AccountFault::Empty, AccountField::Home, 0, "home directory must not be empty"},
        {{.userid = "zed", .homedir = home, .download = SpeedLimit{true, -1}}, AccountFault::Invalid,
         AccountField::DownloadSpeed, 0, "download speed must be 0 or more"},
        {{.userid = "zed", .homedir = home, .quotaMax = std::nan("")}, AccountFault::Invalid, AccountField::QuotaMax, 0,
         "quota is a number of KB, 0 or more"},
        {{.userid = "zed", .homedir = home, .expiry = Expiry{true, ""}}, AccountFault::Invalid, AccountField::Expiry, 0,
         "an expiry that is on needs a date"},
        {{.userid = "zed", .homedir = home, .groups = std::vector<int>(40, 1234)}, AccountFault::TooLong,
         AccountField::Groups, 128, "group takes at most 128 characters"},
    };
    for (const Case& c : cases) {
        int id = 0;
        AccountStatus s = store_.AddUser(c.change, nullptr, id);
        EXPECT_EQ(s.fault, c.fault) << c.text;
        EXPECT_EQ(s.field, c.field) << c.text;
        EXPECT_EQ(s.limit, c.limit) << c.text;
        EXPECT_EQ(s.text, c.text);
    }
    const std::vector<std::pair<std::vector<VirtualFolder>, std::string>> badFolders = {
        {{Folder("..")}, "a folder name is one path piece"},
        {{Folder("a/b")}, "a folder name is one path piece"},
        {{Folder(std::string(65, 'f'))}, "folder name takes at most 64 characters"},
        {{Folder("pub"), Folder("PUB")}, "folder 'PUB' exists"},
        {{{"rel", "relative/dir", {}}}, "folder directory 'relative/dir' is not an absolute path"},
        {{{"long", "/" + std::string(512, 'd'), {}}}, "folder directory takes at most 512 characters"},
    };
    for (const auto& [folders, text] : badFolders) {
        int id = 0;
        AccountStatus s = store_.AddUser({.userid = "zed", .homedir = home}, &folders, id);
        EXPECT_FALSE(s);
        EXPECT_EQ(s.text.rfind(text, 0), 0u) << s.text;
    }
    int id = 0;
    EXPECT_EQ(store_.AddGroup({.name = " "}, nullptr, id).text, "group name must not be empty");
    EXPECT_EQ(store_.AddGroup({.name = std::string(65, 'g')}, nullptr, id).limit, 64);
    EXPECT_EQ(store_.AddGroup({.name = "Staff"}, nullptr, id).fault, AccountFault::Exists);
    EXPECT_EQ(store_.ChangeGroup(1, {.notes = std::string(257, 'n')}, nullptr).text, "notes takes at most 256 characters");

    std::vector<Account> users;
    ASSERT_TRUE(store_.Users(users));
    ASSERT_EQ(users.size(), 1u);
    EXPECT_EQ(users[0].userid, "bob");
    EXPECT_FALSE(fs::exists(FolderTablePath(dir_, FolderOwner::User, 2)));
}

// An editor opened before the server billed an upload saves without taking the bill back.
TEST_F(AccountStoreTest, AChangeKeepsWhatItDoesNotName) {
    const int id = AddUser("alice", {.quotaMax = 1000.0});
    ASSERT_TRUE(CSdbAccounts(dir_).AddUsedQuota("alice", 300));
    ASSERT_TRUE(store_.ChangeUser(id, {.email = "new@example.org", .quotaMax = 2000.0}, nullptr));
    Account a = User("alice");
    EXPECT_EQ(a.quotaCurrent, 300);
    EXPECT_EQ(a.quotaMax, 2000);
    EXPECT_EQ(a.email, "new@example.org");
    EXPECT_EQ(a.rights.ToString(), kNewRights);

    const std::string hash = a.password;
    ASSERT_TRUE(store_.ChangeUser(id, {.userid = "Alice"}, nullptr));  // a change of case is no clash with itself
    EXPECT_EQ(User("alice").userid, "Alice");
    AddUser("bob");
    EXPECT_EQ(store_.ChangeUser(id, {.userid = "bob"}, nullptr).fault, AccountFault::Exists);
    EXPECT_EQ(store_.ChangeUser(99, {.email = "x"}, nullptr).fault, AccountFault::Unknown);
    EXPECT_EQ(User("alice").password, hash);
}

// A folder table is written beside and moved over: a failed write leaves the old list, and a new user whose
// table cannot be written is taken out again.
TEST_F(AccountStoreTest, FolderTablesAreReplacedWhole) {
    const std::vector<VirtualFolder> first = {Folder("a"), Folder("b"), Folder("c")};
    const int id = AddUser("alice", {}, &first);
    const std::vector<VirtualFolder> second = {Folder("c"), Folder("a")};
    ASSERT_TRUE(store_.ChangeUser(id, {}, &second));
    EXPECT_EQ(FoldersOf(FolderOwner::User, id), second);  // "b" is gone, the order is the new one

    const std::string path = FolderTablePath(dir_, FolderOwner::User, id);
    fs::create_directory(path + ".new");  // the table cannot be written beside
    const std::vector<VirtualFolder> third = {Folder("z")};
    AccountStatus s = store_.ChangeUser(id, {.email = "x"}, &third);
    EXPECT_EQ(s.fault, AccountFault::FolderTable);
    EXPECT_EQ(FoldersOf(FolderOwner::User, id), second);

    fs::create_directory(FolderTablePath(dir_, FolderOwner::User, id + 1) + ".new");
    int newId = 0;
    EXPECT_EQ(store_.AddUser({.userid = "bob", .homedir = home_}, &third, newId).fault, AccountFault::FolderTable);
    Account bob;
    EXPECT_EQ(store_.FindUser("bob", bob).fault, AccountFault::Unknown);

    // A user made without folders does not inherit the table an earlier holder of the id left behind.
    fs::remove(FolderTablePath(dir_, FolderOwner::User, id + 1) + ".new");
    std::string error;
    ASSERT_TRUE(WriteFolderTable(FolderTablePath(dir_, FolderOwner::User, id + 1), {Folder("stale")}, error));
    EXPECT_EQ(FoldersOf(FolderOwner::User, AddUser("carol")), std::vector<VirtualFolder>());
}

TEST_F(AccountStoreTest, DeletingAGroupTakesItOutOfItsMembersFirst) {
    const int staff = AddGroup("staff"), guests = AddGroup("guests");
    EXPECT_TRUE(fs::exists(FolderTablePath(dir_, FolderOwner::Group, guests)));  // every group has one
    const int bob = AddUser("bob", {.groups = std::vector<int>{guests, staff}});
    AddUser("amy", {.groups = std::vector<int>{staff}});
    ASSERT_TRUE(store_.DeleteGroup(guests));
    EXPECT_EQ(User("bob").groups, std::vector<int>{staff});
    EXPECT_EQ(User("amy").groups, std::vector<int>{staff});
    EXPECT_FALSE(fs::exists(FolderTablePath(dir_, FolderOwner::Group, guests)));
    EXPECT_EQ(AddGroup("admins"), guests);  // the id is handed out again, with no members
    EXPECT_EQ(User("bob").groups, std::vector<int>{staff});

    // Without the user table the members cannot be dropped, so the group stays.
    fs::rename(UserTablePath(dir_), dir_ + "users.away");
    AccountStatus s = store_.DeleteGroup(staff);
    EXPECT_EQ(s.fault, AccountFault::Table);
    EXPECT_EQ(s.text.rfind("cannot delete group 'staff': cannot open user table", 0), 0u) << s.text;
    Group g;
    EXPECT_TRUE(store_.FindGroup("staff", g));
    fs::rename(dir_ + "users.away", UserTablePath(dir_));

    const std::vector<VirtualFolder> folders = {Folder("pub")};
    ASSERT_TRUE(store_.ChangeUser(bob, {}, &folders));
    ASSERT_TRUE(store_.DeleteUser(bob));
    EXPECT_FALSE(fs::exists(FolderTablePath(dir_, FolderOwner::User, bob)));
    EXPECT_EQ(store_.DeleteUser(bob).fault, AccountFault::Unknown);
}

TEST_F(AccountStoreTest, GroupNamesResolveToIdsOnceInOrder) {
    const int staff = AddGroup("staff"), guests = AddGroup("guests");
    std::vector<int> ids;
    std::vector<std::string> unknown;
    ASSERT_TRUE(store_.ResolveGroups(" guests , ,nosuch,STAFF,guests," + std::to_string(staff), ids, unknown));
    EXPECT_EQ(ids, (std::vector<int>{guests, staff}));
    EXPECT_EQ(unknown, std::vector<std::string>{"nosuch"});
    ASSERT_TRUE(store_.ResolveGroups(" , ", ids, unknown));
    EXPECT_TRUE(ids.empty());
}

TEST_F(AccountStoreTest, TheExpirySweepDisablesAccountsOnTheirDay) {
    AddUser("due", {.expiry = Expiry{true, "2031-03-15"}});
    AddUser("past", {.expiry = Expiry{true, "2031-03-14"}});
    AddUser("later", {.expiry = Expiry{true, "2031-03-16"}});
    AddUser("off", {.expiry = Expiry{false, "2020-01-01"}});
    std::tm noon{};
    noon.tm_year = 2031 - 1900, noon.tm_mon = 2, noon.tm_mday = 15, noon.tm_hour = 12, noon.tm_isdst = -1;
    EXPECT_EQ(store_.ExpirySweep(std::mktime(&noon)), 2);
    EXPECT_FALSE(User("due").enabled);
    EXPECT_FALSE(User("past").enabled);
    EXPECT_TRUE(User("later").enabled);
    EXPECT_TRUE(User("off").enabled);
}

// Editors in several threads (each with its own table objects, so they exclude one another as processes do)
// add and remove folders of one user: no change is lost.
TEST_F(AccountStoreTest, ConcurrentFolderEditsLoseNothing) {
    const int id = AddUser("alice");
    constexpr int kEditors = 4, kEach = 15;
    std::atomic<int> failures{0};
    auto run = [&](bool add) {
        std::vector<std::thread> editors;
        for (int e = 0; e < kEditors; ++e)
            editors.emplace_back([&, e] {
                CAccountStore store(dir_);
                for (int i = 0; i < kEach; ++i) {
                    const std::string name = "f" + std::to_string(e) + "_" + std::to_string(i);
                    AccountStatus s = store.EditFolders(FolderOwner::User, id, [&](std::vector<VirtualFolder>& folders) {
                        if (add) folders.push_back(Folder(name));
                        else folders.erase(std::remove_if(folders.begin(), folders.end(),
                                                          [&](const VirtualFolder& f) { return f.name == name; }),
                                           folders.end());
                        return AccountStatus{};
                    });
                    if (!s) ++failures;
                }
            });
        for (auto& t : editors) t.join();
    };
    run(true);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(FoldersOf(FolderOwner::User, id).size(), size_t{kEditors * kEach});
    run(false);
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(FoldersOf(FolderOwner::User, id), std::vector<VirtualFolder>());
}

}  // namespace
}  // namespace tw
