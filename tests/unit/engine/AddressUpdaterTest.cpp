#include "engine/AddressUpdater.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(AddressReply, PrefixThenTheTextWithTrailingLineEndsAndBlanksRemoved) {
    EXPECT_EQ(ParseAddressReply("Your IP:203.0.113.7\n"), "203.0.113.7");
    EXPECT_EQ(ParseAddressReply("Your IP: 203.0.113.7 \t\r\n\n"), " 203.0.113.7");
    EXPECT_EQ(ParseAddressReply(std::string("Your IP:198.51.100.1\0tail", 25)), "198.51.100.1");
    // No public-address answer.
    EXPECT_EQ(ParseAddressReply("your ip:203.0.113.7\n"), "");
    EXPECT_EQ(ParseAddressReply(" Your IP:203.0.113.7\n"), "");
    EXPECT_EQ(ParseAddressReply("Your IP:\n"), "");
    // A line end inside would put a line of the page into a 227 reply.
    EXPECT_EQ(ParseAddressReply("Your IP:1.2.3.4\r\n220 ok\n"), "");
}

}  // namespace
}  // namespace tw
