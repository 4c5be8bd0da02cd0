#include "platform/PasswordHash.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(PasswordHash, EachAcceptedMethodChecksItsHash) {
    const char* const hashes[] = {
        "$y$j9T$abcdefghijklmnop$0v6Ko7oUZq5OJ/QdGzXAIGx/msmd/7GzdAiapbd6PD7",
        "$2b$04$abcdefghijklmnopqrstuuyeG8laUfZvsCmc.AE6qIDYSPGM2efmK",
        "$6$saltstring$svn8UoSVapNtMuq1ukKS4tPQd8iKwSMHWjl/O817G3uBnIFNjnQJuesI68u4OTLiBFdcbYEdFCoEOfaS35inz1",
        "$5$saltstring$5B8vYYiY.CVt1RlTTf8KbXBH3hsxY/GNooZaBBGWEc5",
    };
    for (const char* hash : hashes) {
        EXPECT_TRUE(PasswordHashMatches("Hello world!", hash)) << hash;
        EXPECT_FALSE(PasswordHashMatches("Hello world", hash)) << hash;
        EXPECT_FALSE(PasswordHashMatches(hash, hash)) << hash;
    }
    // Other methods are not hashes here: such a text is a plain password.
    EXPECT_FALSE(PasswordHashMatches("Hello world!", "$1$saltstri$YMyguxXMBpd2TEZ.vS/3q1"));
    EXPECT_FALSE(PasswordHashMatches("", "$6$"));
    EXPECT_FALSE(PasswordHashMatches("x", "$y$broken"));
}

TEST(PasswordHash, NewHashesAreSaltedYescrypt) {
    std::string a = MakePasswordHash("horse staple"), b = MakePasswordHash("horse staple");
    EXPECT_TRUE(a.starts_with("$y$")) << a;
    EXPECT_NE(a, b);
    EXPECT_TRUE(PasswordHashMatches("horse staple", a));
    EXPECT_TRUE(PasswordHashMatches("horse staple", b));
    EXPECT_FALSE(PasswordHashMatches("horse stable", a));
}

}  // namespace
}  // namespace tw
