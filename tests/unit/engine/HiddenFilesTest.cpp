#include "engine/HiddenFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/common/TempDirTest.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

class HiddenFilesTest : public test::TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        fs::create_directories(dir / "sub");
    }
    PathBeneath Beneath(const std::string& rel) const { return PathBeneath{dir.string(), rel}; }
};

// Two hosts serve the same homes: starting one sweeps them while the other writes uploads there.
TEST_F(HiddenFilesTest, ASweepRemovesLeftoversButNotAFileStillBeingWritten) {
    const fs::path leftover = dir / "sub" / (std::string(kHiddenUploadPrefix) + "1.1");
    std::ofstream(leftover) << "cut by a crash";
    CFile upload;
    int error = 0;
    const std::optional<PathBeneath> partial = CreateHiddenBeside(Beneath("sub/new.bin"), upload, error);
    ASSERT_TRUE(partial) << error;
    ASSERT_TRUE(upload.Write("abc", 3));

    EXPECT_EQ(SweepHiddenFiles(dir.string()), 1);
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_TRUE(fs::exists(partial->Full()));

    upload.Close();
    EXPECT_EQ(SweepHiddenFiles(dir.string()), 1);
    EXPECT_FALSE(fs::exists(partial->Full()));
}

TEST_F(HiddenFilesTest, EachHiddenFileHasANewNameAndItsOwnLock) {
    CFile first, second;
    int error = 0;
    const std::optional<PathBeneath> a = CreateHiddenBeside(Beneath("f"), first, error);
    const std::optional<PathBeneath> b = CreateHiddenBeside(Beneath("f"), second, error);
    ASSERT_TRUE(a && b) << error;
    EXPECT_NE(a->Full(), b->Full());
    EXPECT_TRUE(IsHiddenFileName(fs::path(a->Full()).filename().string()));
    CFile other;
    ASSERT_TRUE(other.Open(*a, CFile::READ));
    EXPECT_FALSE(other.TryLock());
    EXPECT_EQ(other.LastError(), EWOULDBLOCK);
}

}  // namespace
}  // namespace tw
