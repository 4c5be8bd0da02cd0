#include "platform/Process.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

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

TEST(RunProcess, CapturesStandardErrorInOrderWhenAsked) {
    ProcessResult both = RunProcess({"sh", "-c", "echo one; echo two >&2; echo three; exit 1"}, 10s,
                                    ErrorOutput::Captured);
    EXPECT_TRUE(both.finished);
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_EQ(both.output, "one\ntwo\nthree\n");
}

TEST(FindInPath, FindsExecutableFilesOnlyInPathOrder) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("tarnwick-path-" + std::to_string(getpid()));
    fs::create_directories(root / "a");
    fs::create_directories(root / "b");
    fs::create_directories(root / "c" / "tool");  // a directory of that name is no program
    auto write = [](const fs::path& file, fs::perms perms) {
        std::ofstream(file) << "#!/bin/sh\n";
        fs::permissions(file, perms);
    };
    write(root / "a" / "tool", fs::perms::owner_read);  // not executable
    write(root / "b" / "tool", fs::perms::owner_all);
    const char* saved = std::getenv("PATH");
    const std::string savedPath = saved ? saved : "";
    const std::string a = (root / "a").string(), b = (root / "b").string(), c = (root / "c").string();

    setenv("PATH", (c + ":" + a + ":" + b).c_str(), 1);
    EXPECT_EQ(FindInPath("tool"), (root / "b" / "tool").string());
    EXPECT_EQ(FindInPath("missing"), "");
    EXPECT_EQ(FindInPath(b + "/tool"), "");  // a path is not looked up
    setenv("PATH", (a + ":" + b + "/").c_str(), 1);
    EXPECT_EQ(FindInPath("tool"), (root / "b" / "tool").string());  // a trailing "/" is not doubled
    setenv("PATH", (c + ":" + a).c_str(), 1);
    EXPECT_EQ(FindInPath("tool"), "");

    setenv("PATH", savedPath.c_str(), 1);
    fs::remove_all(root);
}

}  // namespace
}  // namespace tw
