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
    EXPECT_EQ(IgnoredListEntries("10.0.0.1\nlocalhost 1.2.3.256;1.2.3;*.*.*.*;1.2.3.-4,::1,10.0.0.0/8,*::1"),
              (std::vector<std::string>{"localhost", "1.2.3.256", "1.2.3", "1.2.3.-4", "10.0.0.0/8", "*::1"}));
    EXPECT_FALSE(AddressListed("1.2.3.256", "1.2.3.256"));
    EXPECT_FALSE(AddressListed("*.*.*.*", "*.*.*.*"));  // only a real address matches
}

// One row: a list text, a client address and whether the address is listed.
struct ListCase {
    const char* list;
    const char* address;
    bool listed;
};

TEST(IpFilter, Ipv6AddressesAndPrefixes) {
    const ListCase cases[] = {
        {"::1", "::1", true},
        {"0:0:0:0:0:0:0:1", "::1", true},
        {"0000:0000:0000:0000:0000:0000:0000:0001", "::1", true},
        {"::1", "::2", false},
        {"::1", "127.0.0.1", false},
        {"2001:DB8::A", "2001:db8::a", true},
        {"2001:db8::/32", "2001:db8:ffff:1::1", true},
        {"2001:db8::/32", "2001:db9::1", false},
        {"2001:db8::/33", "2001:db8:7fff::1", true},
        {"2001:db8::/33", "2001:db8:8000::1", false},
        {"2001:db8:1:2::/64", "2001:db8:1:2:ffff:ffff:ffff:ffff", true},
        {"2001:db8:1:2::/64", "2001:db8:1:3::", false},
        {"2001:db8::5/127", "2001:db8::4", true},  // bits beyond the prefix do not count
        {"2001:db8::5/127", "2001:db8::6", false},
        {"2001:db8::1/128", "2001:db8::1", true},
        {"::/0", "fe80::1", true},
        {"::/0", "10.0.0.1", false},  // an IPv6 prefix never matches an IPv4 client
        {"*.*.*.*", "::1", false},    // nor an IPv4 pattern an IPv6 one
        {"::ffff:10.0.0.1", "10.0.0.1", true},  // a v4-mapped entry is IPv4
        {"::ffff:10.0.0.0/112", "10.0.200.77", true},
        {"::ffff:10.0.0.0/112", "10.1.0.77", false},
        {"10.0.0.1", "::ffff:10.0.0.1", true},  // and so is a v4-mapped client
        {"1:2:3:4:5:6:1.2.3.4", "1:2:3:4:5:6:102:304", true},
        {"10.0.0.1; 2001:db8::/48,::1", "::1", true},
        {"fe80::1%eth0", "fe80::1", false},  // an ignored entry matches nothing, not even its own address
        {"::1", "::1%lo", false},            // a malformed client address is listed nowhere
    };
    for (const ListCase& c : cases)
        EXPECT_EQ(AddressListed(c.list, c.address), c.listed) << c.list << " / " << c.address;
}

TEST(IpFilter, MalformedIpv6EntriesAreReported) {
    // What makes an address is IpAddressTest's; these are the entries' own forms.
    const std::vector<std::string> bad = {"fe80::1%eth0", "[::1]",  "1::2::3",       "::1/129",
                                          "::1/",         "::1/-1", "2001:db8::/3x", "::ffff:10.0.0.0/95",
                                          "::/0000",      "::/",    "::" + std::string(500, '0')};
    std::string text;
    for (const std::string& entry : bad) text += entry + ",";
    EXPECT_EQ(IgnoredListEntries(text), bad);
    EXPECT_TRUE(IgnoredListEntries("::,::ffff:1.2.3.4,2001:db8::/0,::ffff:1.2.3.0/120,1:0:0:0:0:0:0:8/128").empty());
}

TEST(IpFilter, AGroupIsAnIpv6AddressesSlash64OrAnIpv4AddressItself) {
    EXPECT_EQ(AddressGroup("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(AddressGroup("2001:db8:1:2:ffff:ffff:ffff:ffff"), AddressGroup("2001:db8:1:2::"));
    EXPECT_NE(AddressGroup("2001:db8:1:2::1"), AddressGroup("2001:db8:1:3::1"));
    EXPECT_EQ(AddressGroup("::1"), "::/64");
    EXPECT_EQ(AddressGroup("10.0.0.1"), "10.0.0.1");
    EXPECT_NE(AddressGroup("10.0.0.1"), AddressGroup("10.0.0.2"));
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
    EXPECT_FALSE(FilterAdmits(1, "", "2001:db8::/32", "2001:db8::9"));
    EXPECT_TRUE(FilterAdmits(1, "", "2001:db8::/32", "::1"));
    EXPECT_TRUE(FilterAdmits(2, "::1", "", "::1"));
    EXPECT_FALSE(FilterAdmits(2, "::1", "", "127.0.0.1"));
}

}  // namespace
}  // namespace tw
