// The account editors' plain classes: the folder list, the user and group forms over real tables, and the
// texts their checks show.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "accounts/AccountTables.h"
#include "admin/AccountForms.h"
#include "admin/AccountTexts.h"
#include "tests/common/TempDirTest.h"

namespace tw::admin {
namespace {

namespace fs = std::filesystem;
using F = AccountField;
using Kind = FormCheck::Kind;

RightsSet Rights(const char* text) { return *RightsSet::FromString(text); }
VirtualFolder Folder(const std::string& name, const std::string& dir, const char* rights = "R----L---") {
    return {name, dir, Rights(rights)};
}
GroupChange GroupNamed(const std::string& name) {
    GroupChange g;
    g.name = name;
    return g;
}

TEST(FolderList, OwnRowsComeFirstAndOnlyTheyChange) {
    CFolderList list;
    EXPECT_EQ(list.Selected(), -1);
    list.Load({Folder("a", "/a"), Folder("b", "/b", "RWDRALCRR")}, {{"staff", {Folder("s", "/s")}}});
    ASSERT_EQ(list.Size(), 3u);
    EXPECT_EQ(list.Selected(), 0);
    EXPECT_EQ(list.At(2).group, "staff");
    EXPECT_FALSE(list.At(2).own);

    // A new row goes after the last own row, above the inherited ones, with read and list.
    EXPECT_EQ(list.Add("c", "/c"), 2);
    EXPECT_EQ(list.Selected(), 2);
    EXPECT_EQ(list.At(2).folder.rights.ToString(), "R----L---");
    EXPECT_EQ(list.At(3).folder.name, "s");

    EXPECT_FALSE(list.Edit(3, "x", "/x"));
    EXPECT_FALSE(list.Remove(3));
    EXPECT_FALSE(list.SetRights(3, Rights("RWDRALCRR")));
    EXPECT_FALSE(list.MoveUp(3));
    EXPECT_EQ(list.At(3).folder, Folder("s", "/s"));

    EXPECT_TRUE(list.SetRights(0, Rights("RW---L---")));
    EXPECT_TRUE(list.Edit(1, "b2", "/b2"));
    EXPECT_EQ(list.Own(), (std::vector<VirtualFolder>{Folder("a", "/a", "RW---L---"), Folder("b2", "/b2", "RWDRALCRR"),
                                                      Folder("c", "/c")}));
}

TEST(FolderList, MovesSwapOwnRowsAndNeverPassAnInheritedRow) {
    CFolderList list;
    list.Load({Folder("a", "/a"), Folder("b", "/b")}, {{"staff", {Folder("s", "/s")}}, {"dev", {Folder("d", "/d")}}});
    EXPECT_FALSE(list.MoveUp(0));
    EXPECT_FALSE(list.MoveDown(1));  // the last own row stays above the inherited ones
    EXPECT_FALSE(list.MoveDown(2));
    EXPECT_FALSE(list.MoveUp(2));
    EXPECT_TRUE(list.MoveDown(0));
    EXPECT_EQ(list.Selected(), 1);
    EXPECT_EQ(list.At(0).folder.name, "b");
    EXPECT_EQ(list.At(1).folder.name, "a");
    EXPECT_TRUE(list.MoveUp(1));
    EXPECT_EQ(list.Selected(), 0);
    EXPECT_EQ(list.At(0).folder.name, "a");
    EXPECT_EQ(list.At(2).group, "staff");
    EXPECT_EQ(list.At(3).group, "dev");

    // Removing keeps a selection on the row that took the place, or the one above at the end.
    EXPECT_TRUE(list.Remove(0));
    EXPECT_EQ(list.Selected(), 0);
    EXPECT_EQ(list.At(0).folder.name, "b");
    list.Load({Folder("a", "/a")});
    EXPECT_TRUE(list.Remove(0));
    EXPECT_EQ(list.Selected(), -1);
}

class TempDir : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fs::create_directories(dir / "home");
        std::string error;
        ASSERT_TRUE(CreateUserTable(Dir() + "user.sdb", error)) << error;
        ASSERT_TRUE(CreateGroupTable(Dir() + "group.sdb", error)) << error;
    }
    std::string Home() const { return Dir() + "home"; }
    CAccountStore store{Dir()};
};

using FolderEntry = TempDir;

TEST_F(FolderEntry, NormalizesAndRefusesWithTheFieldToFocus) {
    CFolderList list;
    list.Load({Folder("Docs", Home())}, {{"staff", {Folder("pub", Home())}}});
    std::string name = "  x ", dir = " ";
    EXPECT_EQ(list.CheckEntry(name, dir, {}, false).text, kChoosePath);
    EXPECT_EQ(name, "x");
    name = " ", dir = "/";
    FormCheck k = list.CheckEntry(name, dir, {}, false);
    EXPECT_EQ(k.text, kEnterName);
    EXPECT_EQ(k.field, F::FolderName);

    name = "root", dir = " / ";
    EXPECT_TRUE(list.CheckEntry(name, dir, {}, false));
    EXPECT_EQ(dir, "/");
    name = "home", dir = Home() + "//";
    EXPECT_TRUE(list.CheckEntry(name, dir, {}, false));
    EXPECT_EQ(dir, Home());

    // Another own row's name (as clients see it, regardless of case) is refused, the row itself is not; an
    // inherited row's name may be taken.
    name = "docs", dir = Home();
    k = list.CheckEntry(name, dir, {}, false);
    EXPECT_EQ(k.kind, Kind::Refused);
    EXPECT_EQ(k.text, kFolderExists);
    EXPECT_TRUE(list.CheckEntry(name, dir, 0, false));
    name = "pub";
    EXPECT_TRUE(list.CheckEntry(name, dir, {}, false));

    name = "a/b";
    EXPECT_EQ(list.CheckEntry(name, dir, {}, false).text, kFolderNameInvalid);
    name = std::string(65, 'n');
    k = list.CheckEntry(name, dir, {}, false);
    EXPECT_EQ(k.text, "名称不能超过 64 个字节!");
    name = "rel", dir = "relative/path";
    EXPECT_EQ(list.CheckEntry(name, dir, {}, false).text, kFolderPathInvalid);

    // A path that does not exist is asked about; once confirmed it passes.
    dir = Dir() + "missing/";
    k = list.CheckEntry(name, dir, {}, false);
    EXPECT_EQ(k.kind, Kind::Ask);
    EXPECT_EQ(k.text, kDirectoryMissing);
    EXPECT_EQ(k.field, F::FolderDir);
    EXPECT_TRUE(list.CheckEntry(name, dir, {}, true));
    EXPECT_EQ(dir, Dir() + "missing");
}

using UserForm = TempDir;

TEST_F(UserForm, ANewUserStartsWithTheDefaultsAndNamesEveryField) {
    int staff = 0;
    ASSERT_TRUE(store.AddGroup(GroupNamed("staff"), nullptr, staff));
    CUserForm form(store);
    form.New(Home(), "2031-03-15");
    UserFormValues v = form.Values();
    EXPECT_TRUE(v.enabled);
    EXPECT_TRUE(v.hashPassword);
    EXPECT_EQ(v.rights.ToString(), "R----L---");
    EXPECT_EQ(v.expiry, (Expiry{false, "2031-03-15"}));
    EXPECT_EQ(v.homedir, Home());
    EXPECT_EQ(v.quotaMax, "0");

    v.userid = " alice ";
    v.groups = "staff, ,nosuch";
    v.password = "pw";
    v.hashPassword = false;
    UserChange c;
    ASSERT_TRUE(form.MakeChange(v, c));
    EXPECT_EQ(c.userid, "alice");
    EXPECT_EQ(c.groups, std::vector<int>{staff});
    EXPECT_EQ(c.expiry, (Expiry{false, "2031-03-15"}));
    ASSERT_TRUE(c.password && c.download && c.upload && c.quotaMax && c.quotaCurrent && c.email && c.enabled &&
                c.rights);
    EXPECT_FALSE(c.password->hashed);

    ASSERT_TRUE(form.Save(v, false));
    ASSERT_TRUE(form.Id());
    Account a;
    ASSERT_TRUE(store.FindUser("alice", a));
    EXPECT_EQ(a.id, *form.Id());
    EXPECT_EQ(a.password, "pw");
    EXPECT_EQ(a.groups, std::vector<int>{staff});
    EXPECT_EQ(a.expiry, (Expiry{false, "2031-03-15"}));
}

TEST_F(UserForm, LoadShowsTheStoredValuesAndASaveNamesOnlyWhatChanged) {
    int staff = 0, dev = 0, id = 0;
    ASSERT_TRUE(store.AddGroup(GroupNamed("staff"), nullptr, staff));
    ASSERT_TRUE(store.AddGroup(GroupNamed("dev"), nullptr, dev));
    const std::vector<VirtualFolder> groupFolders{Folder("shared", Home())};
    ASSERT_TRUE(store.ChangeGroup(staff, {}, &groupFolders));
    const std::vector<VirtualFolder> own{Folder("mine", Home(), "RW---L---")};
    UserChange bob;
    bob.userid = "bob", bob.homedir = Home(), bob.password = PasswordText{"old", false};
    bob.groups = std::vector<int>{dev, staff}, bob.expiry = Expiry{true, "2032-01-31"};
    bob.download = SpeedLimit{true, 50}, bob.quotaMax = 1536.4, bob.quotaCurrent = 10.6;
    ASSERT_TRUE(store.AddUser(bob, &own, id));
    CUserForm form(store);
    ASSERT_TRUE(form.Load(id, "2031-03-15"));
    const UserFormValues& v = form.Values();
    EXPECT_EQ(v.userid, "bob");
    EXPECT_EQ(v.password, "");
    EXPECT_EQ(v.groups, "dev,staff");
    EXPECT_EQ(v.expiry, (Expiry{true, "2032-01-31"}));
    EXPECT_TRUE(v.downloadLimit);
    EXPECT_EQ(v.downloadSpeed, "50");
    EXPECT_EQ(v.quotaMax, "1536");
    EXPECT_EQ(v.quotaCurrent, "11");
    ASSERT_EQ(form.Folders().Size(), 2u);
    EXPECT_EQ(form.Folders().At(0).folder, own[0]);
    EXPECT_EQ(form.Folders().At(1).group, "staff");

    // Nothing changed: nothing named (the shown roundings are not written back).
    UserChange c;
    ASSERT_TRUE(form.MakeChange(v, c));
    EXPECT_FALSE(c.userid || c.password || c.groups || c.homedir || c.email || c.enabled || c.expiry || c.rights ||
                 c.download || c.upload || c.quotaMax || c.quotaCurrent);

    // The limit switched off keeps the stored speed; a typed password is named with its hash choice.
    UserFormValues changed = v;
    changed.downloadLimit = false;
    changed.password = "new";
    changed.quotaMax = "2048";
    ASSERT_TRUE(form.MakeChange(changed, c));
    EXPECT_EQ(c.download->on, false);
    EXPECT_EQ(c.download->kbPerSecond, 50);
    EXPECT_TRUE(c.password->hashed);
    EXPECT_EQ(c.quotaMax, 2048.0);
    EXPECT_FALSE(c.quotaCurrent || c.upload || c.groups);

    // The server raises the used quota after loading: the save keeps its value, and the inherited row is
    // not saved as the user's own.
    ASSERT_TRUE(CSdbAccounts(Dir()).AddUsedQuota("bob", 100));
    ASSERT_TRUE(form.Save(changed, false));
    Account a;
    ASSERT_TRUE(store.FindUser(id, a));
    EXPECT_DOUBLE_EQ(a.quotaCurrent, 110.6);
    EXPECT_EQ(a.quotaMax, 2048.0);
    EXPECT_TRUE(a.password.starts_with("$y$"));
    EXPECT_EQ(a.groups, (std::vector<int>{dev, staff}));
    std::vector<VirtualFolder> saved;
    ASSERT_TRUE(store.Folders(FolderOwner::User, id, saved));
    EXPECT_EQ(saved, own);
}

TEST_F(UserForm, RefusesBadValuesWithTheFieldAndItsText) {
    CUserForm form(store);
    form.New(Home(), "2031-03-15");
    auto refused = [&](auto change) {
        UserFormValues v = form.Values();
        v.userid = "carol";
        change(v);
        return form.Save(v, false);
    };
    auto expect = [](const FormCheck& k, AccountField field, const std::string& text) {
        EXPECT_EQ(k.kind, Kind::Refused) << text;
        EXPECT_EQ(k.field, field) << text;
        EXPECT_EQ(k.text, text);
    };
    expect(refused([](UserFormValues& v) { v.userid = " \t "; }), F::UserName, kUserNameEmpty);
    expect(refused([](UserFormValues& v) { v.homedir = "  "; }), F::Home, kHomeEmpty);
    for (const char* bad : {"-1", "1.5", "abc", "", "2147483648"})
        expect(refused([bad](UserFormValues& v) { v.downloadSpeed = bad; }), F::DownloadSpeed, kDownloadSpeedInvalid);
    expect(refused([](UserFormValues& v) { v.uploadSpeed = "x"; }), F::UploadSpeed, kUploadSpeedInvalid);
    for (const char* bad : {"-0.5", "inf", "nan", "1e999", "12KB"})
        expect(refused([bad](UserFormValues& v) { v.quotaMax = bad; }), F::QuotaMax, kQuotaMaxInvalid);
    expect(refused([](UserFormValues& v) { v.quotaCurrent = "-3"; }), F::QuotaCurrent, kQuotaCurrentInvalid);
    expect(refused([](UserFormValues& v) { v.userid = std::string(65, 'u'); }), F::UserName,
           "用户名不能超过 64 个字节!");
    expect(refused([](UserFormValues& v) { v.email = std::string(129, 'e'); }), F::Email,
           "电子邮件不能超过 128 个字节!");
    std::vector<Account> users;
    ASSERT_TRUE(store.Users(users));
    EXPECT_TRUE(users.empty());

    // Blanks around numbers are fine.
    ASSERT_TRUE(refused([](UserFormValues& v) { v.uploadSpeed = " 7 "; v.quotaMax = " 2.5"; }));
    Account a;
    ASSERT_TRUE(store.FindUser("carol", a));
    EXPECT_EQ(a.uploadSpeed, 7);
    EXPECT_EQ(a.quotaMax, 2.5);

    // A second user of that name (login names ignore case).
    CUserForm second(store);
    second.New(Home(), "2031-03-15");
    UserFormValues v = second.Values();
    v.userid = "CAROL";
    expect(second.Save(v, false), F::UserName, kUserExists);
    EXPECT_FALSE(second.Id());
}

TEST_F(UserForm, AsksBeforeAMissingHomeAndReportsTableFaults) {
    CUserForm form(store);
    form.New(Dir() + "nohome", "2031-03-15");
    UserFormValues v = form.Values();
    v.userid = "dave";
    FormCheck k = form.Save(v, false);
    EXPECT_EQ(k.kind, Kind::Ask);
    EXPECT_EQ(k.text, kDirectoryMissing);
    EXPECT_EQ(k.field, F::Home);
    EXPECT_FALSE(form.Id());
    ASSERT_TRUE(form.Save(v, true));
    const int id = *form.Id();

    // The folder table cannot be written: the change is refused with the data-file text.
    ASSERT_TRUE(form.Load(id, "2031-03-15"));
    form.Folders().Add("f", Home());
    fs::create_directory(dir / ("vfolder_user" + std::to_string(id) + ".sdb.new"));
    EXPECT_EQ(form.Save(form.Values(), true).text, kCannotCreateDataFile);
    fs::remove(dir / ("vfolder_user" + std::to_string(id) + ".sdb.new"));

    // The user table is gone: the save and the load fail with their texts.
    fs::remove(dir / "user.sdb");
    EXPECT_EQ(form.Save(form.Values(), true).text, kCannotSaveUser);
    CUserForm other(store);
    EXPECT_EQ(other.Load(id, "2031-03-15").text, kCannotLoadUser);
}

TEST_F(UserForm, AGroupTableThatDoesNotOpenRefusesChangedGroups) {
    CUserForm form(store);
    form.New(Home(), "2031-03-15");
    UserFormValues v = form.Values();
    v.userid = "erin";
    v.groups = "staff";
    fs::remove(dir / "group.sdb");
    const FormCheck k = form.Save(v, false);
    EXPECT_EQ(k.field, F::Groups);
    EXPECT_EQ(k.text, kCannotSaveUser);
}

using GroupForm = TempDir;

TEST_F(GroupForm, SavesNameNotesAndFoldersAndRefusesBlankOrTakenNames) {
    CGroupForm form(store);
    form.New();
    FormCheck k = form.Save({"  ", "x"});
    EXPECT_EQ(k.field, F::GroupName);
    EXPECT_EQ(k.text, kNameEmpty);
    form.Folders().Add("pub", Home());
    ASSERT_TRUE(form.Save({" staff ", "the staff"}));
    const int id = *form.Id();

    CGroupForm edit(store);
    ASSERT_TRUE(edit.Load(id));
    EXPECT_EQ(edit.Values().name, "staff");
    EXPECT_EQ(edit.Values().notes, "the staff");
    ASSERT_EQ(edit.Folders().Size(), 1u);
    ASSERT_TRUE(edit.Folders().Remove(0));
    ASSERT_TRUE(edit.Save({"staff", "changed"}));
    std::vector<Group> groups;
    ASSERT_TRUE(store.Groups(groups));
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].notes, "changed");
    std::vector<VirtualFolder> folders;
    ASSERT_TRUE(store.Folders(FolderOwner::Group, id, folders));
    EXPECT_TRUE(folders.empty());

    CGroupForm second(store);
    second.New();
    EXPECT_EQ(second.Save({"STAFF", ""}).text, kGroupExists);
    EXPECT_EQ(second.Save({std::string(65, 'g'), ""}).text, "名称不能超过 64 个字节!");
    EXPECT_EQ(CGroupForm(store).Load(id + 1).text, kCannotLoadGroup);
}

TEST(GroupSelection, AppendsTheChosenNamesWithoutOuterCommas) {
    EXPECT_EQ(AppendGroupNames("", {"staff", "dev"}), "staff,dev");
    EXPECT_EQ(AppendGroupNames(",staff,", {"dev"}), "staff,,dev");
    EXPECT_EQ(AppendGroupNames("staff", {}), "staff");
    EXPECT_EQ(AppendGroupNames(" , ", {}), "");
}

}  // namespace
}  // namespace tw::admin
