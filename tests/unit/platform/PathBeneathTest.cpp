// Path access beneath a root, over real directories, with each resolver: the kernel's and the walk.
#include "platform/PathBeneath.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/DirectoryList.h"
#include "platform/File.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class PathBeneathTest : public ::testing::TestWithParam<BeneathResolver> {
protected:
    fs::path base = fs::temp_directory_path() / ("beneath_" + std::to_string(getpid()));
    fs::path home = base / "home", outside = base / "outside";
    std::string root = home.string();

    void SetUp() override {
        SetBeneathResolver(GetParam());
        fs::remove_all(base);
        fs::create_directories(home / "sub" / "deep");
        fs::create_directories(outside);
        std::ofstream(home / "sub" / "f.txt") << "inside";
        std::ofstream(outside / "secret") << "secret!";
    }
    void TearDown() override {
        SetBeneathResolver(BeneathResolver::KERNEL);
        fs::remove_all(base);
    }
    PathBeneath At(const std::string& rel) const { return {root, rel}; }
    std::string Content(const std::string& rel) {
        CFile file;
        if (!file.Open(At(rel), CFile::READ)) return "error " + std::to_string(file.LastError());
        std::string text(64, '\0');
        long n = file.ReadAt(text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return text;
    }
};

TEST_P(PathBeneathTest, LinksThatStayBeneathTheRootAreFollowed) {
    fs::create_symlink("sub/f.txt", home / "rel");
    fs::create_symlink("../f.txt", home / "sub" / "deep" / "up");      // ".." that stays beneath
    fs::create_symlink(home / "sub" / "f.txt", home / "abs");          // absolute, by the configured path
    fs::create_directory_symlink(home / "sub", home / "abs-dir");
    fs::create_directory_symlink(home, home / "self");                  // the root itself
    EXPECT_EQ(Content("rel"), "inside");
    EXPECT_EQ(Content("sub/deep/up"), "inside");
    EXPECT_EQ(Content("abs"), "inside");
    EXPECT_EQ(Content("abs-dir/f.txt"), "inside");
    EXPECT_EQ(Content("self/self/sub/f.txt"), "inside");
    EXPECT_EQ(KindOf(At("abs-dir")), FileKind::Directory);
    EXPECT_EQ(FileSize(At("abs")), 6);
    EXPECT_EQ(EntrySize(At("abs")), static_cast<int64_t>((home / "sub" / "f.txt").string().size()));
    // Absolute links may name the root as configured or by its real path, but by no other name.
    fs::create_directory_symlink(home, base / "alias");
    fs::create_symlink(base / "alias" / "sub" / "f.txt", home / "by-alias");
    EXPECT_EQ(Content("by-alias"), "error " + std::to_string(EXDEV));
    root = (base / "alias").string();
    EXPECT_EQ(Content("abs"), "inside");
    EXPECT_EQ(Content("by-alias"), "inside");
}

TEST_P(PathBeneathTest, LinksThatLeadOutAreRefused) {
    fs::create_symlink(outside / "secret", home / "abs-out");
    fs::create_symlink("../outside/secret", home / "rel-out");
    fs::create_directory_symlink("/", home / "slash");
    fs::create_symlink("/proc/self/root/etc/passwd", home / "magic");
    fs::create_symlink(home.string() + "x/secret", home / "sibling");  // a name that merely starts like the root
    fs::create_symlink("loop", home / "loop");
    for (const char* rel : {"abs-out", "rel-out", "slash/etc/passwd", "magic", "sibling", "../outside/secret"}) {
        EXPECT_EQ(Content(rel), "error " + std::to_string(EXDEV)) << rel;
        EXPECT_EQ(FileSize(At(rel)), -1) << rel;
    }
    EXPECT_EQ(KindOf(At("abs-out")), FileKind::Other);  // it names something, never followed
    EXPECT_EQ(KindOf(At("slash")), FileKind::Other);
    EXPECT_EQ(Content("loop"), "error " + std::to_string(ELOOP));
    std::vector<std::string> names;
    EXPECT_FALSE(ListNames(At("slash"), names));
    EXPECT_TRUE(names.empty());
}

TEST_P(PathBeneathTest, NothingIsMadeRemovedOrRenamedThroughALinkOut) {
    fs::create_directory_symlink(outside, home / "out");
    fs::create_symlink(outside / "secret", home / "secret-link");
    CFile file;
    EXPECT_FALSE(file.Open(At("out/planted"), CFile::WRITE_EXISTING));
    EXPECT_FALSE(file.Open(At("out/secret"), CFile::WRITE_EXISTING));
    EXPECT_FALSE(file.Open(At("secret-link"), CFile::WRITE_EXISTING));
    EXPECT_EQ(MakeDirectory(At("out/made")), EXDEV);
    EXPECT_EQ(RemoveFile(At("out/secret")), EXDEV);
    EXPECT_EQ(RenameNoReplace(At("out/secret"), At("stolen")), EXDEV);
    EXPECT_EQ(RenameNoReplace(At("sub/f.txt"), At("out/f.txt")), EXDEV);
    EXPECT_EQ(SetModifiedTime(At("secret-link"), 1000000), EXDEV);
    EXPECT_EQ(RemoveDirectory(At("")), EBUSY);  // the root has no entry to act on
    // A link itself is removed, never its target.
    EXPECT_EQ(RemoveFile(At("secret-link")), 0);
    EXPECT_EQ(Read(outside / "secret"), "secret!");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), {}), 1);
    EXPECT_TRUE(fs::exists(home / "sub" / "f.txt"));
}

TEST_P(PathBeneathTest, OperationsBeneathTheRoot) {
    EXPECT_EQ(MakeDirectory(At("sub/new")), 0);
    EXPECT_EQ(MakeDirectory(At("sub/new")), EEXIST);
    EXPECT_EQ(KindOf(At("sub/new")), FileKind::Directory);
    CFile file;
    ASSERT_TRUE(file.Open(At("sub/new/a.txt"), CFile::CREATE_NEW));
    ASSERT_TRUE(file.Write("abc", 3));
    file.Close();
    EXPECT_FALSE(file.Open(At("sub/new/a.txt"), CFile::CREATE_NEW));
    EXPECT_EQ(file.LastError(), EEXIST);
    EXPECT_EQ(RenameNoReplace(At("sub/new/a.txt"), At("sub/f.txt")), EEXIST);
    EXPECT_EQ(RenameNoReplace(At("sub/new/a.txt"), At("b.txt")), 0);
    EXPECT_EQ(RenameReplace(At("b.txt"), At("sub/f.txt")), 0);
    EXPECT_EQ(Read(home / "sub" / "f.txt"), "abc");
    EXPECT_EQ(SetModifiedTime(At("sub/f.txt"), 1000000), 0);
    DirEntry entry;
    ASSERT_TRUE(FindEntry(At("sub/f.txt"), entry));
    EXPECT_EQ(entry.lastWrite, 1000000);
    EXPECT_EQ(entry.name, "f.txt");
    EXPECT_EQ(RemoveDirectory(At("sub/new")), 0);
    EXPECT_EQ(RemoveFile(At("sub/f.txt")), 0);
    EXPECT_EQ(KindOf(At("sub/f.txt")), FileKind::None);
    EXPECT_EQ(FileMode(At("sub")), static_cast<int>(fs::status(home / "sub").permissions()));
    // A FIFO is no file to transfer.
    ASSERT_EQ(mkfifo((home / "fifo").c_str(), 0644), 0);
    EXPECT_FALSE(file.Open(At("fifo"), CFile::READ));
    EXPECT_EQ(file.LastError(), EINVAL);
    EXPECT_EQ(KindOf(At("fifo")), FileKind::Other);
}

TEST_P(PathBeneathTest, ChangeModeSetsOnlyPermissionBitsOfWhatLiesBeneath) {
    auto mode = [](const fs::path& p) { return static_cast<unsigned>(fs::symlink_status(p).permissions()); };
    EXPECT_EQ(ChangeMode(At("sub/f.txt"), 0600), 0);
    EXPECT_EQ(mode(home / "sub" / "f.txt"), 0600u);
    EXPECT_EQ(ChangeMode(At("sub/deep"), 0711), 0);
    EXPECT_EQ(mode(home / "sub" / "deep"), 0711u);
    // A file whose mode forbids reading it still takes a new one.
    EXPECT_EQ(ChangeMode(At("sub/f.txt"), 0), 0);
    EXPECT_EQ(ChangeMode(At("sub/f.txt"), 0644), 0);
    EXPECT_EQ(mode(home / "sub" / "f.txt"), 0644u);
    for (unsigned special : {04755u, 02755u, 01777u, 010000u}) EXPECT_EQ(ChangeMode(At("sub/f.txt"), special), EINVAL);
    EXPECT_EQ(mode(home / "sub" / "f.txt"), 0644u);
    // A link named as the path is refused, whether its target lies beneath the root or outside it.
    fs::create_symlink("sub/f.txt", home / "in-link");
    fs::create_symlink(outside / "secret", home / "out-link");
    fs::create_directory_symlink(outside, home / "out");
    fs::permissions(outside / "secret", fs::perms(0640));
    EXPECT_EQ(ChangeMode(At("in-link"), 0777), ELOOP);
    EXPECT_EQ(ChangeMode(At("out-link"), 0777), ELOOP);
    // A way out through a directory link or "..": nothing outside is touched.
    EXPECT_EQ(ChangeMode(At("out/secret"), 0777), EXDEV);
    EXPECT_EQ(ChangeMode(At("../outside/secret"), 0777), EXDEV);
    EXPECT_EQ(mode(home / "sub" / "f.txt"), 0644u);
    EXPECT_EQ(mode(outside / "secret"), 0640u);
    EXPECT_EQ(ChangeMode(At("missing"), 0644), ENOENT);
    ASSERT_EQ(mkfifo((home / "fifo").c_str(), 0644), 0);
    EXPECT_EQ(ChangeMode(At("fifo"), 0600), EPERM);
}

TEST_P(PathBeneathTest, ListingsFollowLinksOnlyBeneathTheRoot) {
    fs::create_symlink(outside / "secret", home / "sub" / "out");
    fs::create_symlink("f.txt", home / "sub" / "in");
    fs::create_symlink("missing", home / "sub" / "dangling");
    fs::create_directory_symlink("deep", home / "sub" / "d");
    std::vector<DirEntry> entries;
    ASSERT_TRUE(ListDirectory(At("sub"), entries));
    std::map<std::string, DirEntry> byName;
    for (const DirEntry& e : entries) byName[e.name] = e;
    ASSERT_EQ(byName.size(), 5u);  // the dangling link is left out
    EXPECT_EQ(byName["in"].size, 6u);
    EXPECT_TRUE(byName["in"].isLink);
    EXPECT_TRUE(byName["d"].isDirectory);
    EXPECT_EQ(byName["out"].size, (outside / "secret").string().size());  // the link's own size
    EXPECT_FALSE(byName["out"].isDirectory);
    EXPECT_TRUE(byName["deep"].isDirectory);
}

// A directory of the root exchanged for a link to "/" (as another process may do at any moment): every
// access through its name then fails, and works again once the directory is back.
TEST_P(PathBeneathTest, ASwappedDirectoryNeverLeadsOut) {
    fs::create_directory_symlink("/", base / "slash");
    fs::create_directories(home / "sub" / "etc");
    std::ofstream(home / "sub" / "etc" / "passwd") << "mine";
    std::ofstream(home / "sub" / "tmp") << "mine";
    auto exchange = [&] {
        ASSERT_EQ(renameat2(AT_FDCWD, (home / "sub").c_str(), AT_FDCWD, (base / "slash").c_str(), RENAME_EXCHANGE), 0);
    };
    exchange();
    std::vector<std::string> names;
    EXPECT_EQ(Content("sub/etc/passwd"), "error " + std::to_string(EXDEV));
    EXPECT_FALSE(ListNames(At("sub"), names));
    EXPECT_EQ(MakeDirectory(At("sub/tmp/planted")), EXDEV);
    EXPECT_EQ(RemoveFile(At("sub/tmp")), EXDEV);
    CFile file;
    EXPECT_FALSE(file.Open(At("sub/tmp/planted.txt"), CFile::CREATE_NEW));
    exchange();
    EXPECT_EQ(Content("sub/etc/passwd"), "mine");
    EXPECT_TRUE(ListNames(At("sub"), names));
    EXPECT_EQ(names.size(), 4u);  // deep, etc, f.txt, tmp
}

INSTANTIATE_TEST_SUITE_P(Resolvers, PathBeneathTest,
                         ::testing::Values(BeneathResolver::KERNEL, BeneathResolver::WALK),
                         [](const auto& info) { return info.param == BeneathResolver::KERNEL ? "Kernel" : "Walk"; });

}  // namespace
}  // namespace tw
