#include "platform/InstanceLock.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace tw {
namespace {

TEST(InstanceLock, OneHolderAtATime) {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("tarnwick-lock-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed())))
                           .string();
    {
        CInstanceLock first, second;
        ASSERT_TRUE(first.Acquire(path));
        EXPECT_FALSE(second.Acquire(path));
        first.Release();
        EXPECT_TRUE(second.Acquire(path));
    }
    CInstanceLock again;
    EXPECT_TRUE(again.Acquire(path));  // the holder's end released it
    EXPECT_FALSE(CInstanceLock().Acquire(path + ".d/x"));
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace tw
