// The access model over a real directory tree, with accounts from an in-memory source.
#include "engine/AccessModel.h"

#include "tests/unit/engine/FtpTestServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace tw {
namespace {

namespace fs = std::filesystem;

using test::MemoryAccounts;

RightsSet Rights(const char* text) { return *RightsSet::FromString(text); }

class AccessModelTest : public ::testing::Test {
protected:
    fs::path root = fs::temp_directory_path() / ("access_" + std::to_string(getpid()) + "_" +
                                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::string home, shared, elsewhere;
    MemoryAccounts accounts;
    CAccessModel model{accounts};

    void SetUp() override {
        fs::create_directories(root / "home" / "pub" / "docs");
        fs::create_directories(root / "home" / "Data");
        fs::create_directories(root / "home" / "inner");
        fs::create_directories(root / "shared" / "deep");
        fs::create_directories(root / "elsewhere");
        std::ofstream(root / "home" / "a.txt") << "a";
        std::ofstream(root / "home" / "pub" / "b.txt") << "bb";
        std::ofstream(root / "home" / ".profile") << "p";
        std::ofstream(root / "shared" / "s.txt") << "s";
        home = (root / "home").string();
        shared = (root / "shared").string();
        elsewhere = (root / "elsewhere").string();
        Account u;
        u.id = 7;
        u.userid = "u";
        u.homedir = home;
        u.groups = {2, 5};
        u.enabled = true;
        u.rights = Rights("R----L---");
        accounts.accounts["u"] = u;
        accounts.userFolders[7] = {{"Share", shared, Rights("RW---LC--")},
                                                    {"in", home + "/inner", Rights("RWDRALCRR")}};
        accounts.groupFolders[2] = {{"share", elsewhere, Rights("RWDRALCRR")},
                                                     {"team", elsewhere, Rights("R----L---")}};
        accounts.groupFolders[5] = {{"pub", elsewhere, Rights("RWDRALCRR")}};
    }
    void TearDown() override { fs::remove_all(root); }
};

TEST_F(AccessModelTest, MapToLocalFollowsRealEntriesThenFoldersOfTheUserThenOfTheGroups) {
    PathBeneath local;
    EXPECT_TRUE(model.MapToLocal("u", "/", local));
    EXPECT_EQ(local.Full(), home);
    EXPECT_TRUE(model.MapToLocal("u", "/pub//docs/", local));
    EXPECT_EQ(local.Full(), home + "/pub/docs");
    EXPECT_TRUE(model.MapToLocal("u", "/./pub/./docs", local));
    EXPECT_EQ(local.Full(), home + "/pub/docs");
    EXPECT_TRUE(model.MapToLocal("u", "/SHARE/deep", local));  // folder names ignore case
    EXPECT_EQ(local.Full(), shared + "/deep");
    EXPECT_EQ(local.root, shared);  // operations never leave the folder's directory
    EXPECT_EQ(local.rel, "deep");
    EXPECT_TRUE(model.MapToLocal("u", "/team", local));  // a group folder
    EXPECT_EQ(local.Full(), elsewhere);
    EXPECT_TRUE(model.MapToLocal("u", "/pub", local));  // the real entry hides group 5's folder
    EXPECT_EQ(local.Full(), home + "/pub");
    EXPECT_TRUE(model.MapToLocal("u", "/.profile", local));  // dot names are reachable
    EXPECT_FALSE(model.MapToLocal("u", "/data", local));     // names are case-sensitive on disk
    EXPECT_EQ(local.Full(), home + "/data");
    std::string rest;
    EXPECT_FALSE(model.MapToLocal("u", "/pub/x/y/z", local, &rest));
    EXPECT_EQ(local.Full(), home + "/pub/x");
    EXPECT_EQ(rest, "y/z");
    EXPECT_FALSE(model.MapToLocal("u", "/pub/../a.txt", local));  // ".." never maps; callers resolve it first
    EXPECT_FALSE(model.MapToLocal("nobody", "/", local));
    EXPECT_EQ(local.Full(), "");
}

TEST_F(AccessModelTest, NoPathLeavesTheClientTree) {
    PathBeneath local;
    for (const char* arg : {"../../..", "/../../etc", "..\\..\\etc", "pub/../../..", "/./../..", "../../../tmp"}) {
        ResolveResult r = model.ResolveDir("u", "/pub", arg, ACCESS_DIR_LIST, local);
        EXPECT_TRUE(r == PATH_OK || r == PATH_NO_DIR) << arg;
        EXPECT_EQ(local.Full().compare(0, home.size(), home), 0) << arg << " -> " << local.Full();
    }
    EXPECT_EQ(model.ResolveFile("u", "/pub", "../../../etc/passwd", ACCESS_READ, local), PATH_NO_FILE);
    EXPECT_EQ(model.ResolveFile("u", "/", std::string("a.txt\0/x", 8), ACCESS_READ, local), PATH_NO_FILE);
    Account rootless = accounts.accounts["u"];
    rootless.homedir = "";
    accounts.accounts["u"] = rootless;
    EXPECT_EQ(model.ResolveDir("u", "/", "/etc", ACCESS_DIR_LIST, local), PATH_NO_DIR);
}

TEST_F(AccessModelTest, HiddenNamesAreNeitherReachedNorMade) {
    fs::create_directories(root / "home" / ".tarnwick-upload.d" / "x");
    std::ofstream(root / "home" / ".tarnwick-upload.d" / "f") << "f";
    PathBeneath local;
    EXPECT_EQ(model.ResolveDir("u", "/", ".tarnwick-upload.d", ACCESS_DIR_LIST, local), PATH_NO_DIR);
    EXPECT_EQ(model.ResolveDir("u", "/", ".tarnwick-upload.d/x", ACCESS_DIR_LIST, local), PATH_NO_DIR);
    EXPECT_EQ(model.ResolveFile("u", "/", ".tarnwick-upload.d/f", ACCESS_READ, local), PATH_NO_FILE);
    for (const char* name : {".tarnwick-upload.d", "pub/.tarnwick-upload.d", "\\.tarnwick-upload.\\b", "a\nb"})
        EXPECT_FALSE(CAccessModel::IsCreatableName(name)) << name;
    // Names compare exactly, as on disk.
    for (const char* name : {".Tarnwick-Upload.d", "a.tarnwick-upload.d", ".tarnwick-upload", "pub/x"})
        EXPECT_TRUE(CAccessModel::IsCreatableName(name)) << name;
}

TEST_F(AccessModelTest, MapToClientKeepsCaseAndShowsFolderNamesAsStored) {
    EXPECT_EQ(model.MapToClient("u", home), "/");
    EXPECT_EQ(model.MapToClient("u", home + "/"), "/");
    EXPECT_EQ(model.MapToClient("u", home + "/Data"), "/Data");
    EXPECT_EQ(model.MapToClient("u", shared + "/deep"), "/Share/deep");
    EXPECT_EQ(model.MapToClient("u", elsewhere), "/share");  // group 2's first folder on that directory
    EXPECT_EQ(model.MapToClient("u", home + "/inner"), "/inner");  // inside the home: home-relative
    EXPECT_EQ(model.MapToClient("u", home + "x/file"), "/");  // a sibling is not below the home, and stays unshown
}

TEST_F(AccessModelTest, CheckAccessTheFirstHolderDecides) {
    EXPECT_TRUE(model.CheckAccess("u", home + "/pub", ACCESS_READ));
    EXPECT_FALSE(model.CheckAccess("u", home + "/pub", ACCESS_WRITE));
    // A folder inside the home gets the home rights, not its own.
    EXPECT_FALSE(model.CheckAccess("u", home + "/inner/x", ACCESS_WRITE));
    EXPECT_TRUE(model.CheckAccess("u", shared + "/deep/more", ACCESS_WRITE));
    EXPECT_FALSE(model.CheckAccess("u", shared, ACCESS_DELETE));
    EXPECT_TRUE(model.CheckAccess("u", elsewhere, ACCESS_DELETE));  // group 2's "share" holds it before "team"
    EXPECT_FALSE(model.CheckAccess("u", "/etc", ACCESS_READ));
    EXPECT_FALSE(model.CheckAccess("u", home + "x", ACCESS_READ));  // a name that merely starts like the home
    // A missing group table denies everything no earlier holder matched.
    accounts.groupFolders.erase(2);
    EXPECT_FALSE(model.CheckAccess("u", elsewhere, ACCESS_READ));
    EXPECT_TRUE(model.CheckAccess("u", shared, ACCESS_READ));
}

TEST_F(AccessModelTest, ResolveFileAndResolveDirResults) {
    PathBeneath local;
    EXPECT_EQ(model.ResolveFile("u", "/", "a.txt", ACCESS_READ, local), PATH_OK);
    EXPECT_EQ(local.Full(), home + "/a.txt");
    EXPECT_EQ(model.ResolveFile("u", "/", "a.txt", ACCESS_DELETE, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveFile("u", "/", "pub", ACCESS_READ, local), PATH_NO_FILE);  // a directory
    EXPECT_EQ(model.ResolveFile("u", "/", "missing", ACCESS_READ, local), PATH_NO_FILE);
    EXPECT_EQ(model.ResolveFile("u", "/", "new", ACCESS_WRITE, local), PATH_DENIED);  // write checks the directory
    EXPECT_EQ(model.ResolveFile("u", "/", "/Share/new", ACCESS_WRITE, local), PATH_OK);
    EXPECT_EQ(model.ResolveFile("u", "/pub", "b.txt", ACCESS_READ, local), PATH_OK);
    EXPECT_EQ(model.ResolveFile("u", "/pub", "pub/b.txt", ACCESS_READ, local), PATH_NO_FILE);  // /pub/pub/b.txt
    EXPECT_EQ(model.ResolveFile("u", "/", "pub/b.txt", ACCESS_READ, local), PATH_OK);
    EXPECT_EQ(model.ResolveFile("u", "/pub", "docs/../b.txt", ACCESS_READ, local), PATH_OK);
    EXPECT_EQ(local.Full(), home + "/pub/b.txt");
    EXPECT_EQ(model.ResolveFile("u", "/pub", "..\\a.txt", ACCESS_READ, local), PATH_OK);
    EXPECT_EQ(local.Full(), home + "/a.txt");
    EXPECT_EQ(model.ResolveFile("u", "/", "///", ACCESS_READ, local), PATH_NO_FILE);

    EXPECT_EQ(model.ResolveDir("u", "/", "pub/docs", ACCESS_DIR_LIST, local), PATH_OK);
    EXPECT_EQ(model.ResolveDir("u", "/", "\\pub\\docs", ACCESS_DIR_LIST, local), PATH_OK);
    EXPECT_EQ(model.ResolveDir("u", "/pub", "docs", ACCESS_DIR_LIST, local), PATH_OK);
    EXPECT_EQ(local.Full(), home + "/pub/docs");
    EXPECT_EQ(model.ResolveDir("u", "/", "a.txt", ACCESS_DIR_LIST, local), PATH_OK);  // a file resolves too
    EXPECT_EQ(model.ResolveDir("u", "/", "/", ACCESS_DIR_LIST, local), PATH_OK);
    EXPECT_EQ(model.ResolveDir("u", "/", "/", ACCESS_DIR_CREATE, local), PATH_NO_DIR);
    EXPECT_EQ(model.ResolveDir("u", "/", "nope", ACCESS_DIR_LIST, local), PATH_NO_DIR);
    EXPECT_EQ(model.ResolveDir("u", "/", "nope", ACCESS_DIR_CREATE, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveDir("u", "/", "/Share/nope", ACCESS_DIR_CREATE, local), PATH_NO_DIR);
    EXPECT_EQ(local.Full(), shared + "/nope");
    EXPECT_EQ(model.ResolveDir("u", "/", "/Share/s.txt", ACCESS_DIR_RENAME, local), PATH_DENIED);  // not a dir
    // The root is never removed or renamed, however it is named.
    Account all = accounts.accounts["u"];
    all.rights = Rights("RWDRALCRR");
    accounts.accounts["u"] = all;
    EXPECT_EQ(model.ResolveDir("u", "/pub", "..", ACCESS_DIR_REMOVE, local), PATH_NO_DIR);
    EXPECT_EQ(model.ResolveDir("u", "/", ".", ACCESS_DIR_RENAME, local), PATH_NO_DIR);
    // Nor is the directory behind a virtual folder, though its rights allow it; a real entry of the home
    // that hides a folder of the same name is the user's own.
    EXPECT_EQ(model.ResolveDir("u", "/", "/team", ACCESS_DIR_REMOVE, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveDir("u", "/", "TEAM", ACCESS_DIR_RENAME, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveDir("u", "/", "/in", ACCESS_DIR_RENAME, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveDir("u", "/", "/team/sub", ACCESS_DIR_CREATE, local), PATH_NO_DIR);
    fs::create_directory(root / "elsewhere" / "sub");
    EXPECT_EQ(model.ResolveDir("u", "/", "/team/sub", ACCESS_DIR_REMOVE, local), PATH_OK);
    EXPECT_EQ(model.ResolveDir("u", "/", "/pub", ACCESS_DIR_RENAME, local), PATH_OK);
    EXPECT_EQ(local.Full(), home + "/pub");
}

TEST_F(AccessModelTest, SymbolicLinksAreJudgedByWhereTheyLead) {
    fs::create_directories(root / "outside");
    std::ofstream(root / "outside" / "secret") << "x";
    fs::create_directory_symlink(root / "outside", root / "home" / "out");
    fs::create_symlink(root / "outside" / "secret", root / "home" / "secret");
    fs::create_symlink(root / "home" / "pub" / "b.txt", root / "home" / "b-link");
    fs::create_symlink(root / "outside" / "none", root / "home" / "dangling");
    fs::create_directory_symlink(root / "shared", root / "home" / "to-share");
    PathBeneath local;
    // Out of every holder: nothing is allowed, whatever the name's place.
    EXPECT_EQ(model.ResolveDir("u", "/", "out", ACCESS_DIR_LIST, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveFile("u", "/", "out/secret", ACCESS_READ, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveFile("u", "/", "secret", ACCESS_READ, local), PATH_DENIED);
    // A link inside the tree: the rights of where it leads.
    EXPECT_EQ(model.ResolveFile("u", "/", "b-link", ACCESS_READ, local), PATH_OK);
    EXPECT_EQ(model.ResolveFile("u", "/", "to-share/new", ACCESS_WRITE, local), PATH_OK);  // Share grants write
    EXPECT_EQ(model.ResolveFile("u", "/", "/Share/new", ACCESS_WRITE, local), PATH_OK);
    Account all = accounts.accounts["u"];
    all.rights = Rights("RWDRALCRR");
    accounts.accounts["u"] = all;
    EXPECT_EQ(model.ResolveFile("u", "/", "to-share/s.txt", ACCESS_DELETE, local), PATH_DENIED);  // Share does not
    // A write through a link that leads nowhere could create a file anywhere.
    EXPECT_EQ(model.ResolveFile("u", "/", "dangling", ACCESS_WRITE, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveFile("u", "/", "out/new", ACCESS_WRITE, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveDir("u", "/", "out/made", ACCESS_DIR_CREATE, local), PATH_DENIED);
    EXPECT_EQ(model.ResolveFile("u", "/", "new", ACCESS_WRITE, local), PATH_OK);
}

}  // namespace
}  // namespace tw
