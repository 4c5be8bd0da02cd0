// The autostart entry: where it is written, how the program is quoted, and who owns it under sudo or pkexec.
#include "platform/Autostart.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/ProgramDir.h"
#include "tests/common/TempDirTest.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

using Autostart = test::TempDirTest;

TEST_F(Autostart, AutostartEntryIsWrittenWithTheQuotedProgramAndRemoved) {
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    ASSERT_TRUE(WriteAutostartEntry("plover", "TarnwickFTP服务器", "/opt/my \"app\"/tarnserver"));
    const std::string entry = ReadSmallFile(AutostartEntryPath("plover"));
    EXPECT_EQ(AutostartEntryPath("plover"), Dir() + "autostart/plover.desktop");
    EXPECT_NE(entry.find("Exec=\"/opt/my \\\\\"app\\\\\"/tarnserver\"\n"), std::string::npos) << entry;
    EXPECT_TRUE(RemoveAutostartEntry("plover"));
    EXPECT_FALSE(fs::exists(dir / "autostart" / "plover.desktop"));
    EXPECT_TRUE(RemoveAutostartEntry("plover"));

    // A configuration directory that cannot be made is a failure, not a crash.
    std::ofstream(dir / "file") << "x";
    setenv("XDG_CONFIG_HOME", (dir / "file").c_str(), 1);
    EXPECT_FALSE(WriteAutostartEntry("plover", "x", "/bin/true"));
    unsetenv("XDG_CONFIG_HOME");
}

TEST_F(Autostart, AutostartEntryUnderSudoOrPkexecIsTheInvokingUsers) {
    // Their environment is root's: its XDG_CONFIG_HOME does not count, the invoking user's home does.
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    setenv("PKEXEC_UID", std::to_string(getuid()).c_str(), 1);
    EXPECT_EQ(AutostartEntryPath("plover"), std::string(getpwuid(getuid())->pw_dir) + "/.config/autostart/plover.desktop");
    unsetenv("PKEXEC_UID");

    // An invoking user without a home: nothing is written or removed.
    setenv("SUDO_USER", "no-such-user-tarnwick", 1);
    EXPECT_EQ(AutostartEntryPath("plover"), "");
    EXPECT_FALSE(WriteAutostartEntry("plover", "x", "/bin/true"));
    EXPECT_TRUE(RemoveAutostartEntry("plover"));
    unsetenv("SUDO_USER");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_FALSE(fs::exists(dir / "autostart"));
}

}  // namespace
}  // namespace tw
