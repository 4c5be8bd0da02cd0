// sdbtool dump and check on tables made here; the account commands on a program directory made here.
#include "tests/unit/recordengine/TableTestUtil.h"

#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <thread>

namespace tw {
namespace {

struct ToolRun {
    int status;
    std::string out;
};

ToolRun Tool(const std::string& args) {
    ToolRun r{-1, {}};
    FILE* p = popen((std::string(SDBTOOL) + " " + args + " 2>&1").c_str(), "r");
    if (!p) return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST_F(TableTest, SdbToolDumpsAndChecks) {
    const std::string path = Path("u.sdb");
    {
        CRecordTable t;
        DefineUsers(t);
        ASSERT_TRUE(t.Create(path, "users"));
        ASSERT_TRUE(AppendUser(t, "zed", 2));
        ASSERT_TRUE(AppendUser(t, "amy \"A\"", 1));
    }
    ToolRun dump = Tool("dump " + path);
    EXPECT_EQ(dump.status, 0) << dump.out;
    EXPECT_NE(dump.out.find("title          \"users\""), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("name                            FT_STRING  64"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("group                           KEY_DUP"), std::string::npos) << dump.out;
    const size_t zed = dump.out.find("id=1 name=\"zed\" group=2");
    const size_t amy = dump.out.find("id=2 name=\"amy \\\"A\\\"\" group=1");
    EXPECT_NE(zed, std::string::npos) << dump.out;
    EXPECT_LT(zed, amy);

    ToolRun check = Tool("check " + path);
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("ok (2 records, 3 keys"), std::string::npos) << check.out;

    PatchInt32(path, 0x24, 3);  // the count no longer matches the entries
    check = Tool("check " + path);
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("key 0 holds 2 live records, the count is 3"), std::string::npos) << check.out;
    EXPECT_EQ(Tool("dump " + path).status, 1);
    EXPECT_EQ(Tool("check").status, 2);
    EXPECT_EQ(Tool("frobnicate").status, 2);
}

// Field and key definitions of a table, one line each.
std::vector<std::string> Schema(const std::string& path) {
    CRecordTable t;
    EXPECT_TRUE(t.Open(path, OpenMode::Read)) << path << ": " << t.GetErrorText();
    const CTableHeader& h = t.GetHeader();
    std::vector<std::string> lines;
    for (int f = 0; f < h.FieldCount(); ++f)
        lines.push_back(h.FieldName(f) + " " + std::to_string(h.FieldType(f)) + " " + std::to_string(h.FieldWidth(f)));
    for (int k = 0; k < h.KeyCount(); ++k)
        lines.push_back(h.KeyName(k) + " " + std::to_string(h.KeyKind(k)) + " " + std::to_string(h.KeyPartField(k, 0)) +
                        " " + std::to_string(h.KeyPartCase(k, 0)));
    return lines;
}

class SdbToolAccounts : public TableTest {
protected:
    void SetUp() override {
        TableTest::SetUp();
        std::filesystem::create_directory(Path("home"));
        ASSERT_EQ(Tool("init " + dir_).status, 0);
    }
    // The value of one line of "user show".
    std::string Shown(const std::string& user, const std::string& label) {
        ToolRun show = Tool("user show " + dir_ + " " + user);
        EXPECT_EQ(show.status, 0) << show.out;
        size_t at = show.out.find(label + " ");
        if (at == std::string::npos) return "(no " + label + ")";
        size_t value = show.out.find_first_not_of(' ', at + label.size());
        return show.out.substr(value, show.out.find('\n', at) - value);
    }
};

// Every group has a folder table, and a group's id leaves the users' lists with it, so a later group that
// is given the same id neither blocks the folders of other groups nor inherits members.
TEST_F(SdbToolAccounts, GroupsKeepFolderTablesAndMembershipConsistent) {
    ASSERT_EQ(Tool("group add " + dir_ + " staff").status, 0);
    ASSERT_EQ(Tool("group add " + dir_ + " guests").status, 0);
    ASSERT_EQ(Tool("user add " + dir_ + " bob --home " + Path("home") + " --groups guests,staff").status, 0);
    ASSERT_EQ(Tool("user add " + dir_ + " amy --home " + Path("home") + " --groups ' 2 , 1'").status, 0);
    ASSERT_EQ(Tool("vfolder add " + dir_ + " user bob pub " + Path("home")).status, 0);
    ASSERT_EQ(Tool("vfolder add " + dir_ + " group guests pub " + Path("home")).status, 0);

    // The table group add writes is the one vfolder add writes, empty.
    const std::string staffFolders = Path("vfolder_group1.sdb");
    EXPECT_EQ(Schema(staffFolders), Schema(Path("vfolder_user1.sdb")));
    EXPECT_EQ(Tool("vfolder list " + dir_ + " group staff").out, "");

    ToolRun del = Tool("group del " + dir_ + " guests");
    ASSERT_EQ(del.status, 0) << del.out;
    EXPECT_FALSE(std::filesystem::exists(Path("vfolder_group2.sdb")));
    EXPECT_EQ(Shown("bob", "groups"), "1");
    EXPECT_EQ(Shown("amy", "groups"), "1");

    ToolRun add = Tool("group add " + dir_ + " admins");
    ASSERT_EQ(add.status, 0) << add.out;
    EXPECT_EQ(add.out, "group admins added (id 2)\n");  // the id is handed out again
    EXPECT_EQ(Shown("bob", "groups"), "1");
    EXPECT_EQ(Tool("vfolder list " + dir_ + " group admins").out, "");

    // Without the user table the members cannot be dropped, so the group stays.
    std::filesystem::remove(Path("user.sdb"));
    del = Tool("group del " + dir_ + " staff");
    EXPECT_EQ(del.status, 1);
    EXPECT_NE(del.out.find("cannot delete group 'staff': cannot open user table"), std::string::npos) << del.out;
    EXPECT_NE(Tool("group list " + dir_).out.find("staff"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(staffFolders));
}

// Values the server could never use are refused with a message and a non-zero status, and store nothing;
// the largest values that fit are taken whole.
TEST_F(SdbToolAccounts, RefusesValuesThatCannotBeStoredOrReached) {
    ASSERT_EQ(Tool("group add " + dir_ + " staff").status, 0);
    ASSERT_EQ(Tool("user add " + dir_ + " bob --home " + Path("home")).status, 0);
    const std::string add = "user add " + dir_ + " zed --home " + Path("home");
    const std::string set = "user set " + dir_ + " bob";
    const std::string folder = "vfolder add " + dir_ + " user bob ";
    const std::string notPiece = "a folder name is one path piece";
    const std::string speed = "download-speed is a whole number of KB per second up to 2147483647";
    const struct {
        std::string args, message;
    } refused[] = {
        {"user add " + dir_ + " '' --home " + Path("home"), "user name must not be empty"},
        {"user add " + dir_ + " '  ' --home " + Path("home"), "user name must not be empty"},
        {"user add " + dir_ + " " + std::string(65, 'u') + " --home " + Path("home"),
         "userid takes at most 64 characters"},
        {"group add " + dir_ + " ''", "group name must not be empty"},
        {"group add " + dir_ + " " + std::string(65, 'g'), "name takes at most 64 characters"},
        {"group set " + dir_ + " staff --notes " + std::string(257, 'n'), "notes takes at most 256 characters"},
        {add + " --groups 7", "unknown group '7'"},
        {add + " --groups staff,99999999999", "unknown group '99999999999'"},
        {add + " --email " + std::string(129, 'e'), "email takes at most 128 characters"},
        {set + " --expires 2020-13-45", "expiry is a date YYYY-MM-DD or 'never'"},
        {set + " --expires 2023-02-29", "expiry is a date YYYY-MM-DD or 'never'"},
        {set + " --expires 2024-04-31", "expiry is a date YYYY-MM-DD or 'never'"},
        {set + " --quota inf", "quota is a number of KB, 0 or more"},
        {set + " --quota nan", "quota is a number of KB, 0 or more"},
        {set + " --used -1", "used is a number of KB, 0 or more"},
        {set + " --download-speed 1e12", speed},
        {set + " --download-speed 2147483648", speed},
        {set + " --download-speed -5", speed},
        {folder + ".. " + Path("home"), notPiece},
        {folder + ". " + Path("home"), notPiece},
        {folder + "a/b " + Path("home"), notPiece},
        {folder + "'a\\b' " + Path("home"), notPiece},
        {folder + "'a\tb' " + Path("home"), notPiece},
        {folder + std::string(65, 'f') + " " + Path("home"), "folder name takes at most 64 characters"},
    };
    for (const auto& r : refused) {
        ToolRun run = Tool(r.args);
        EXPECT_NE(run.status, 0) << r.args;
        EXPECT_NE(run.out.find("sdbtool: " + r.message), std::string::npos) << r.args << "\n" << run.out;
    }
    EXPECT_EQ(Tool("user list " + dir_).out.find("zed"), std::string::npos);
    const std::string groups = Tool("group list " + dir_).out;
    EXPECT_EQ(std::count(groups.begin(), groups.end(), '\n'), 1) << groups;  // staff alone, without notes
    EXPECT_EQ(groups.find('n'), std::string::npos) << groups;
    EXPECT_EQ(Tool("vfolder list " + dir_ + " user bob").out, "");
    EXPECT_EQ(Shown("bob", "expires"), "never");
    EXPECT_EQ(Shown("bob", "download"), "unlimited");
    EXPECT_EQ(Shown("bob", "quota"), "0 KB, used 0 KB");

    const std::string longest(64, 'u');
    ASSERT_EQ(Tool("user add " + dir_ + " " + longest + " --home " + Path("home")).status, 0);
    EXPECT_EQ(Shown(longest, "userid"), longest);
    ASSERT_EQ(Tool(set + " --expires 2024-02-29 --download-speed 2147483647 --quota 1e3 --groups 1").status, 0);
    EXPECT_EQ(Shown("bob", "expires"), "2024-02-29");
    EXPECT_EQ(Shown("bob", "download"), "2147483647 KB/s");
    EXPECT_EQ(Shown("bob", "quota"), "1000 KB, used 0 KB");
    EXPECT_EQ(Shown("bob", "groups"), "1");
    EXPECT_EQ(Tool(folder + "... " + Path("home")).status, 0);
}

// A password given as text is stored as a one-way hash unless the table must hold the text itself.
TEST_F(SdbToolAccounts, PasswordsAreHashedUnlessAskedForText) {
    ASSERT_EQ(Tool("user add " + dir_ + " bob --home " + Path("home") + " --password 's3 cret'").status, 0);
    ASSERT_EQ(Tool("user add " + dir_ + " amy --home " + Path("home") + " --password-plain 's3 cret'").status, 0);
    const std::string dump = Tool("dump " + Path("user.sdb")).out;
    EXPECT_NE(dump.find("userid=\"bob\" password=\"$y$"), std::string::npos) << dump;
    EXPECT_NE(dump.find("userid=\"amy\" password=\"s3 cret\""), std::string::npos) << dump;
}

// Editors in several processes at once change one folder table in turn: every add and every delete lands.
TEST_F(SdbToolAccounts, ConcurrentFolderEditorsLoseNothing) {
    ASSERT_EQ(Tool("user add " + dir_ + " bob --home " + Path("home")).status, 0);
    constexpr int kEditors = 4, kEach = 8;
    auto run = [&](const std::string& verb) {
        std::vector<std::string> failures[kEditors];
        std::vector<std::thread> editors;
        for (int e = 0; e < kEditors; ++e)
            editors.emplace_back([&, e] {
                for (int i = 0; i < kEach; ++i) {
                    const std::string name = "f" + std::to_string(e) + "_" + std::to_string(i);
                    ToolRun r = Tool("vfolder " + verb + " " + dir_ + " user bob " + name +
                                     (verb == "add" ? " " + Path("home") : ""));
                    if (r.status != 0) failures[e].push_back(r.out);
                }
            });
        for (auto& t : editors) t.join();
        for (const auto& f : failures) EXPECT_TRUE(f.empty()) << verb << ": " << f.front();
    };
    run("add");
    const std::string listed = Tool("vfolder list " + dir_ + " user bob").out;
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), kEditors * kEach) << listed;
    run("del");
    EXPECT_EQ(Tool("vfolder list " + dir_ + " user bob").out, "");
}

// rescan-quota sets the used quota to what the home stores by the upload rule: each file's started KB,
// in subdirectories too; links, hidden upload files and other homes are not counted.
TEST_F(SdbToolAccounts, RescanQuotaCountsWhatTheHomeStores) {
    namespace fs = std::filesystem;
    auto write = [](const std::string& path, size_t bytes) { std::ofstream(path) << std::string(bytes, 'x'); };
    fs::create_directories(Path("home/a/b"));
    write(Path("home/one"), 1);                        // 1 KB
    write(Path("home/a/exact"), 2048);                 // 2 KB
    write(Path("home/a/b/more"), 2049);                // 3 KB
    write(Path("home/a/.tarnwick-upload.1.2"), 9000);  // an upload in flight
    fs::create_directory(Path("other"));
    write(Path("other/big"), 100 * 1024);
    fs::create_symlink(Path("other/big"), Path("home/link"));
    fs::create_directory_symlink(Path("other"), Path("home/a/dirlink"));
    ASSERT_EQ(Tool("user add " + dir_ + " bob --home " + Path("home") + " --quota 100 --used 50").status, 0);
    ASSERT_EQ(Tool("user add " + dir_ + " amy --home " + Path("other") + " --used 7").status, 0);

    ToolRun run = Tool("user rescan-quota " + dir_ + " bob");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "bob: used 50 KB -> 6 KB\n");
    EXPECT_EQ(Shown("bob", "quota"), "100 KB, used 6 KB");

    // --all takes only users with a quota; a home that cannot be read fails that user alone.
    write(Path("home/one"), 4096);
    run = Tool("user rescan-quota " + dir_ + " --all");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "bob: used 6 KB -> 9 KB\n");
    EXPECT_EQ(Shown("amy", "quota"), "0 KB, used 7 KB");
    ASSERT_EQ(Tool("user set " + dir_ + " amy --quota 10").status, 0);
    fs::remove_all(Path("other"));
    run = Tool("user rescan-quota " + dir_ + " --all");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("bob: used 9 KB -> 9 KB"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("amy: cannot read home"), std::string::npos) << run.out;
    EXPECT_EQ(Shown("amy", "quota"), "10 KB, used 7 KB");
    EXPECT_EQ(Tool("user rescan-quota " + dir_ + " nobody").status, 1);
    EXPECT_EQ(Tool("user rescan-quota " + dir_).status, 2);
}

}  // namespace
}  // namespace tw
