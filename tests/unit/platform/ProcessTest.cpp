#include "platform/Process.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>

#include "platform/InstanceLock.h"

namespace tw {
namespace {

using namespace std::chrono_literals;

TEST(RunProcess, OutputAndExitCodeOfAProgramThatEnds) {
    ProcessResult ok = RunProcess({"sh", "-c", "echo active; exit 3"}, 10s);
    EXPECT_TRUE(ok.finished);
    EXPECT_EQ(ok.exitCode, 3);
    EXPECT_EQ(ok.output, "active\n");
    // More output than one pipe buffer is read while the child writes it.
    ProcessResult big = RunProcess({"sh", "-c", "head -c 200000 /dev/zero"}, 10s);
    EXPECT_TRUE(big.finished);
    EXPECT_EQ(big.output.size(), 64u * 1024);
    EXPECT_FALSE(RunProcess({"/nonexistent/systemctl"}, 10s).finished);
}

TEST(RunProcess, IsBoundedByItsLimitAndByTheChildItself) {
    auto started = std::chrono::steady_clock::now();
    ProcessResult hung = RunProcess({"sh", "-c", "exec sleep 60"}, 300ms);
    EXPECT_FALSE(hung.finished);
    // A descendant that keeps the output open does not hold the caller once the child has exited. (Its
    // standard error is not the test's, which the test runner waits for; it says its pid to be ended.)
    ProcessResult left = RunProcess({"sh", "-c", "sleep 60 2>/dev/null & echo $!"}, 30s);
    EXPECT_TRUE(left.finished);
    EXPECT_EQ(left.exitCode, 0);
    pid_t descendant = std::atoi(left.output.c_str());
    ASSERT_GT(descendant, 0) << left.output;
    kill(descendant, SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
}

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
