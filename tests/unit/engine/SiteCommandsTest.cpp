// The mode argument of SITE CHMOD.
#include <gtest/gtest.h>

#include "engine/SiteCommands.h"

namespace tw::test {
namespace {

TEST(PermissionMode, OctalPermissionBitsOnly) {
    EXPECT_EQ(ParsePermissionMode("644"), 0644u);
    EXPECT_EQ(ParsePermissionMode("0755"), 0755u);
    EXPECT_EQ(ParsePermissionMode("0777"), 0777u);
    EXPECT_EQ(ParsePermissionMode("0"), 0u);
    EXPECT_EQ(ParsePermissionMode("7"), 7u);
    // Setuid, setgid and sticky bits, other characters, more than four digits: refused.
    for (const char* text : {"7777", "4755", "1777", "2000", "1000", "00644", "", "abc", "648", "-644", "+644",
                             " 644", "644 ", "0x1ff", "64a", "9"})
        EXPECT_FALSE(ParsePermissionMode(text)) << text;
}

}  // namespace
}  // namespace tw::test
