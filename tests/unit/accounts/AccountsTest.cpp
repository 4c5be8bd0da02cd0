// The stored forms of account fields: scrambled and hashed passwords, rights strings, group lists.
#include "accounts/Accounts.h"

#include <gtest/gtest.h>

#include "platform/PasswordHash.h"

namespace tw {
namespace {

TEST(PasswordHash, StoredPasswordsArePlainScrambledOrHashed) {
    const std::string hash = MakePasswordHash("Secret");
    EXPECT_TRUE(PasswordMatches("Secret", hash));
    EXPECT_TRUE(PasswordMatches(",196,218,210,228,199,217", hash));  // "Secret" scrambled
    EXPECT_FALSE(PasswordMatches("secret", hash));
    EXPECT_TRUE(PasswordMatches("Secret", "Secret"));
    EXPECT_FALSE(PasswordMatches("Secret", "Secret "));
    EXPECT_TRUE(PasswordMatches("$1$x", "$1$x"));  // not an accepted method: compared as text
}

TEST(Accounts, ScrambledPasswordsDecode) {
    // "abc" with the key letters q, u, o added.
    EXPECT_EQ(DecodeScrambledText(",210,215,210"), "abc");
    EXPECT_EQ(DecodeScrambledText("plain"), "plain");
    EXPECT_EQ(DecodeScrambledText(", 210 ,215"), "ab");
    // 8 characters, as a stored table holds them: the key starts again at the eighth.
    EXPECT_EQ(DecodeScrambledText(",225,214,226,229,217,212,222,213"), "password");
    // A piece that is not a number counts as 0; a result of 0 ends the text.
    EXPECT_EQ(DecodeScrambledText(",x"), std::string(1, static_cast<char>((0 - 'q') & 0xFF)));
    EXPECT_EQ(DecodeScrambledText(",210,117,210"), "a");
}

TEST(Accounts, RightsStringsAndGroupLists) {
    auto r = RightsSet::FromString("RWDRALCRR");
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->Allows(ACCESS_DIR_RENAME));
    EXPECT_EQ(RightsSet::FromString("R----L---")->ToString(), "R----L---");
    EXPECT_TRUE(RightsSet::FromString("r----l---")->dirList);
    EXPECT_FALSE(RightsSet::FromString("RWDRALCR"));
    EXPECT_FALSE(RightsSet::FromString("RWXRALCRR"));
    EXPECT_EQ(DecodeGroupIds("2,5, 9,,"), (std::vector<int>{2, 5, 9}));
}

}  // namespace
}  // namespace tw
