// A test fixture with a directory of its own, made before each test and removed after it.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

namespace tw::test {

class TempDirTest : public ::testing::Test {
protected:
    // Named after the process and the test, so tests that run at once never share one.
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("tarnwick-test-" + std::to_string(getpid()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    // The directory with a trailing '/', as a program directory is given.
    std::string Dir() const { return dir.string() + "/"; }
};

}  // namespace tw::test
