#include "engine/IpFilter.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

TEST(IpFilter, EntriesMatchWholeDottedParts) {
    EXPECT_TRUE(AddressListed("10.0.0.1", "10.0.0.1"));
    EXPECT_FALSE(AddressListed("10.0.0.12", "10.0.0.1"));
    EXPECT_FALSE(AddressListed("110.0.0.1", "10.0.0.1"));
    EXPECT_FALSE(AddressListed("192.168.0.50", "192.168.0.5"));
    EXPECT_TRUE(AddressListed(" 1.2.3.4 , 192.168.0.5,", "192.168.0.5"));
    EXPECT_TRUE(AddressListed(",192.168.0.5", "192.168.0.5"));
    EXPECT_FALSE(AddressListed(",192.168.0.5", "192.168.0.6"));
    EXPECT_TRUE(AddressListed("010.0.0.001", "10.0.0.1"));
}

TEST(IpFilter, StarMatchesAnyPart) {
    EXPECT_TRUE(AddressListed("192.168.*.*", "192.168.7.9"));
    EXPECT_FALSE(AddressListed("192.168.*.*", "192.169.7.9"));
    EXPECT_TRUE(AddressListed("*.*.*.*", "8.8.8.8"));
}

TEST(IpFilter, MalformedEntriesAndAddressesMatchNothing) {
    EXPECT_FALSE(AddressListed("1.2.3", "1.2.3.4"));
    EXPECT_FALSE(AddressListed("1.2.3.4.5", "1.2.3.4"));
    EXPECT_FALSE(AddressListed("1..3.4", "1..3.4"));
    EXPECT_FALSE(AddressListed("*.*.*.*", "not an address"));
    EXPECT_FALSE(AddressListed("", "1.2.3.4"));
    EXPECT_FALSE(AddressListed(",,, ,", "1.2.3.4"));
}

TEST(IpFilter, EntriesAreSeparatedByCommasSemicolonsBlanksAndLineEnds) {
    const std::string text = "10.0.0.1\n10.0.0.2\r\n10.0.0.3 10.0.0.4\t10.0.0.5;10.0.0.6,10.0.0.7";
    for (int i = 1; i <= 7; ++i) EXPECT_TRUE(AddressListed(text, "10.0.0." + std::to_string(i))) << i;
    EXPECT_FALSE(AddressListed(text, "10.0.0.8"));
    EXPECT_TRUE(IgnoredListEntries(text).empty());
    EXPECT_TRUE(IgnoredListEntries(",192.168.*.*,").empty());
    EXPECT_EQ(IgnoredListEntries("10.0.0.1\nlocalhost 1.2.3.256;1.2.3;*.*.*.*;1.2.3.-4,::1"),
              (std::vector<std::string>{"localhost", "1.2.3.256", "1.2.3", "1.2.3.-4", "::1"}));
    EXPECT_FALSE(AddressListed("1.2.3.256", "1.2.3.256"));
    EXPECT_FALSE(AddressListed("*.*.*.*", "*.*.*.*"));  // only a real address matches
}

TEST(IpFilter, Modes) {
    const std::string accept = "127.0.0.1", reject = "10.0.0.9";
    EXPECT_TRUE(FilterAdmits(0, "", "", "10.0.0.9"));
    EXPECT_FALSE(FilterAdmits(1, accept, reject, "10.0.0.9"));
    EXPECT_TRUE(FilterAdmits(1, accept, reject, "10.0.0.1"));
    EXPECT_TRUE(FilterAdmits(1, accept, "", "10.0.0.9"));  // empty deny list admits all
    EXPECT_TRUE(FilterAdmits(2, accept, reject, "127.0.0.1"));
    EXPECT_FALSE(FilterAdmits(2, accept, reject, "127.0.0.2"));
    EXPECT_FALSE(FilterAdmits(2, "", reject, "127.0.0.1"));  // empty allow list refuses all
    EXPECT_FALSE(FilterAdmits(3, accept, reject, "127.0.0.1"));
    EXPECT_FALSE(FilterAdmits(-1, accept, reject, "127.0.0.1"));
}

}  // namespace
}  // namespace tw
