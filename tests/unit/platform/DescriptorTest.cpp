#include "platform/Descriptor.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tw {
namespace {

class DescriptorTest : public ::testing::Test {
protected:
    void TearDown() override { std::filesystem::remove(path); }
    std::string path = (std::filesystem::temp_directory_path() /
                        ("tarnwick-fd-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed())))
                           .string();
};

TEST_F(DescriptorTest, PositionedReadsAndWritesCoverTheWholeRange) {
    UniqueFd fd = OpenFile(path, OpenFor::READ_WRITE_CREATE);
    ASSERT_TRUE(fd.IsOpen()) << std::strerror(errno);
    ASSERT_TRUE(WriteFullAt(fd.Get(), 5, "abc", 3));
    FileStatus status;
    ASSERT_TRUE(StatFile(fd.Get(), status));
    EXPECT_EQ(status.size, 8);
    EXPECT_TRUE(status.IsRegular());
    EXPECT_EQ(status.mode & 077, 0u);  // created owner-only

    char buffer[16] = {};
    EXPECT_EQ(ReadFullAt(fd.Get(), 3, buffer, sizeof buffer), 5);  // fewer only at the end
    EXPECT_EQ(std::memcmp(buffer, "\0\0abc", 5), 0);
    EXPECT_EQ(ReadFullAt(fd.Get(), 8, buffer, sizeof buffer), 0);
    ASSERT_TRUE(TruncateFile(fd.Get(), 6));
    EXPECT_EQ(ReadFullAt(fd.Get(), 0, buffer, sizeof buffer), 6);

    // Another descriptor sees the same file.
    UniqueFd reader = OpenFile(path, OpenFor::READ);
    FileStatus other;
    ASSERT_TRUE(StatFile(reader.Get(), other));
    EXPECT_EQ(other.inode, status.inode);
    EXPECT_EQ(other.size, 6);
    EXPECT_FALSE(WriteFullAt(reader.Get(), 0, "x", 1));
    EXPECT_EQ(errno, EBADF);
}

TEST_F(DescriptorTest, OpeningAMissingFileFails) {
    EXPECT_FALSE(OpenFile(path, OpenFor::READ).IsOpen());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(OpenFile(path, OpenFor::READ_WRITE).IsOpen());
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(DescriptorTest, LocksOfTwoDescriptorsAndTheirRelease) {
    UniqueFd first = OpenFile(path, OpenFor::READ_WRITE_CREATE);
    UniqueFd second = OpenFile(path, OpenFor::READ);
    ASSERT_TRUE(first.IsOpen() && second.IsOpen());
    ASSERT_TRUE(TryLockFile(first.Get(), LockKind::SHARED));
    EXPECT_TRUE(TryLockFile(second.Get(), LockKind::SHARED));
    EXPECT_FALSE(TryLockFile(first.Get(), LockKind::EXCLUSIVE));  // the other shared lock is in the way
    EXPECT_EQ(errno, EWOULDBLOCK);
    second.Reset();  // closing releases it
    EXPECT_TRUE(TryLockFile(first.Get(), LockKind::EXCLUSIVE));
    UniqueFd third = OpenFile(path, OpenFor::READ);
    EXPECT_FALSE(TryLockFile(third.Get(), LockKind::SHARED));
    EXPECT_EQ(errno, EWOULDBLOCK);
}

TEST_F(DescriptorTest, UniqueFdClosesWhatItOwnsOnce) {
    UniqueFd a = OpenFile(path, OpenFor::READ_WRITE_CREATE);
    const int raw = a.Get();
    ASSERT_GE(raw, 0);
    UniqueFd b = std::move(a);
    EXPECT_FALSE(a.IsOpen());
    EXPECT_EQ(b.Get(), raw);
    EXPECT_NE(fcntl(raw, F_GETFD), -1);
    {
        UniqueFd c;
        c = std::move(b);
    }
    EXPECT_EQ(fcntl(raw, F_GETFD), -1);  // closed when its last owner ended
    EXPECT_EQ(errno, EBADF);

    UniqueFd d = OpenFile(path, OpenFor::READ);
    const int kept = d.Release();
    d.Reset();
    EXPECT_NE(fcntl(kept, F_GETFD), -1);  // given up, not closed
    { UniqueFd owner(kept); }
    EXPECT_EQ(fcntl(kept, F_GETFD), -1);
}

}  // namespace
}  // namespace tw
