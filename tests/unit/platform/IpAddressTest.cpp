// The address parsers and AddressText, checked against the C library's inet_pton and inet_ntop.
#include "platform/IpAddress.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>

namespace tw {
namespace {

std::string LibcText(const IpAddress& a) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(a.v6 ? AF_INET6 : AF_INET, a.bytes.data(), text, sizeof text);
    return text;
}

// Random addresses rich in zero groups, the text of each as AddressText writes it and in full, with upper
// case and leading zeros: both read back as the same address, and AddressText agrees with inet_ntop.
TEST(IpAddress, TextsRoundTripAndAgreeWithTheCLibrary) {
    std::mt19937 random(20261209);
    for (int i = 0; i < 20000; ++i) {
        IpAddress a;
        a.v6 = true;
        for (size_t g = 0; g < 8; ++g) {
            const unsigned value = random() % 2 ? 0 : random() % 0x10000;
            a.bytes[2 * g] = static_cast<uint8_t>(value >> 8);
            a.bytes[2 * g + 1] = static_cast<uint8_t>(value);
        }
        // The C library writes ::a.b.c.d for the first 96 bits zero; mapped ones are IPv4 here.
        if (std::all_of(a.bytes.begin(), a.bytes.begin() + 10, [](uint8_t b) { return b == 0; })) continue;
        const std::string text = AddressText(a);
        ASSERT_EQ(text, LibcText(a));
        ASSERT_EQ(ParseIpv6(text), a) << text;
        char full[64];
        std::snprintf(full, sizeof full, "%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X:%02X%02X",
                      a.bytes[0], a.bytes[1], a.bytes[2], a.bytes[3], a.bytes[4], a.bytes[5], a.bytes[6], a.bytes[7],
                      a.bytes[8], a.bytes[9], a.bytes[10], a.bytes[11], a.bytes[12], a.bytes[13], a.bytes[14],
                      a.bytes[15]);
        ASSERT_EQ(ParseIpv6(full), a) << full;
        ASSERT_EQ(ParseIpAddress(text), a) << text;
    }
}

TEST(IpAddress, AgreesWithTheCLibraryOnWhatIsAnIpv6Address) {
    const char* texts[] = {"::", "::1", "1::", "1::2", "::1:2:3:4:5:6:7", "1:2:3:4:5:6:7::", "1:2:3:4:5:6:7:8",
                           "::1.2.3.4", "1:2:3:4:5:6:1.2.3.4", "1::1.2.3.4", "fFfF::", ":::", "1:::2", ":1::",
                           "::1:", "1::2::3", "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7", "12345::", "::g", "[::1]",
                           "::1%lo", "1.2.3.4", "::1.2.3.4:5", "1.2.3.4::", "::1.2.3", " ::1", "::1 ", "",
                           ":", "1:2:3:4:5:6:7:8::", "::1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:1.2.3.4"};
    for (const char* text : texts) {
        unsigned char bytes[16];
        const bool libc = inet_pton(AF_INET6, text, bytes) == 1;
        EXPECT_EQ(ParseIpv6(text).has_value(), libc) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace tw
