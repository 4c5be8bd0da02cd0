// The parsers of PORT, EPRT and MFMT arguments, and the time format of MDTM and the MLST facts.
#include <gtest/gtest.h>

#include "engine/ArgumentParsers.h"

namespace tw::test {
namespace {

TEST(ActiveAddressParsers, PortAndEprtGiveTheSameTarget) {
    ActiveAddress a;
    ASSERT_EQ(ParsePortArgument(" 127, 0,0,1 ,4,1", a), AddressParse::OK);
    EXPECT_EQ(a.address, "127.0.0.1");
    EXPECT_EQ(a.port, 1025);
    for (const char* text : {"|1|127.0.0.1|1025|", "!1!127.0.0.1!1025!", "~1~127.0.0.1~1025~"}) {
        ActiveAddress e;
        ASSERT_EQ(ParseEprtArgument(text, e), AddressParse::OK) << text;
        EXPECT_EQ(e.address, a.address);
        EXPECT_EQ(e.port, a.port);
    }
}

TEST(ActiveAddressParsers, RefusalsSayWhy) {
    ActiveAddress a;
    for (const char* text : {"1,2,3,4,5", "1,2,3,4,5,6,7", ""})
        EXPECT_EQ(ParsePortArgument(text, a), AddressParse::SYNTAX) << text;
    for (const char* text : {"1,2,3,4,5,256", "a,2,3,4,5,6", "1,2,3,4,5,-1", "1,,3,4,5,6", "0001,2,3,4,5,6"})
        EXPECT_EQ(ParsePortArgument(text, a), AddressParse::BAD_VALUE) << text;

    EXPECT_EQ(ParseEprtArgument("|3|x|5000|", a), AddressParse::UNSUPPORTED_FAMILY);
    EXPECT_EQ(ParseEprtArgument("|3|::1|5000|", a), AddressParse::UNSUPPORTED_FAMILY);
    for (const char* text : {"", "|", "||", "|1|127.0.0.1|5000", "1|127.0.0.1|5000|", "|1|127.0.0.1|5000|x|",
                             "|x|127.0.0.1|5000|", "|1|127.0.0.1|", " |1|127.0.0.1|5000| ", "\x7f" "1\x7f"})
        EXPECT_EQ(ParseEprtArgument(text, a), AddressParse::SYNTAX) << text;
    for (const char* text : {"|1|127.0.0|5000|", "|1|127.0.0.256|5000|", "|1|127.0.0.1|65536|", "|1|127.0.0.1||",
                             "|1|localhost|21|", "|1|127.0.0.1|-1|", "|1|127.0.0.1.|21|"})
        EXPECT_EQ(ParseEprtArgument(text, a), AddressParse::BAD_VALUE) << text;
}

TEST(ActiveAddressParsers, EprtFamilyTwoGivesTheAddressAsASocketWritesIt) {
    struct Case {
        const char* argument;
        const char* address;
        bool ipv6;
        int port;
    };
    const Case cases[] = {
        {"|2|::1|2000|", "::1", true, 2000},
        {"|2|0:0:0:0:0:0:0:1|2000|", "::1", true, 2000},
        {"!2!2001:DB8:0:0:0:0:0:0A!65535!", "2001:db8::a", true, 65535},
        {"|2|::ffff:127.0.0.1|1025|", "127.0.0.1", false, 1025},           // v4-mapped is IPv4
        {"|2|::ffff:7f00:1|1025|", "127.0.0.1", false, 1025},
        {"|2|fe80::1:2|0|", "fe80::1:2", true, 0},
    };
    for (const Case& c : cases) {
        ActiveAddress a;
        ASSERT_EQ(ParseEprtArgument(c.argument, a), AddressParse::OK) << c.argument;
        EXPECT_EQ(a.address, c.address) << c.argument;
        EXPECT_EQ(a.ipv6, c.ipv6) << c.argument;
        EXPECT_EQ(a.port, c.port) << c.argument;
    }
}

TEST(ActiveAddressParsers, EprtFamilyTwoRefusesScopesBracketsAndMalformedAddresses) {
    ActiveAddress a;
    const std::string huge = "|2|" + std::string(100000, ':') + "|2000|";
    const std::string longHex = "|2|" + std::string(46, 'a') + "|2000|";
    for (const std::string& text :
         {std::string("|2|::1%lo|2000|"), std::string("|2|1::2::3|2000|"), std::string("|2|[::1]|2000|"),
          std::string("|2|127.0.0.1|2000|"), std::string("|2|::1|65536|"), std::string("|2||2000|"),
          std::string("|1|::1|2000|"), std::string("|2|::1|-1|"), huge, longHex})
        EXPECT_EQ(ParseEprtArgument(text, a), AddressParse::BAD_VALUE) << text.substr(0, 40);
    for (const char* text :
         {"|2|::1|2000", "|2|::1|", "2|::1|2000|", ":2:::1:2000:", "|2|::1|2000|x|", "|02222|::1|1|"})
        EXPECT_EQ(ParseEprtArgument(text, a), AddressParse::SYNTAX) << text;
}

TEST(FtpTime, FormatsAndParsesUtc) {
    EXPECT_EQ(FormatFtpTime(0), "19700101000000");
    EXPECT_EQ(FormatFtpTime(1709647620), "20240305140700");
    std::time_t t = -1;
    ASSERT_TRUE(ParseFtpTime("20240305140700", t));
    EXPECT_EQ(t, 1709647620);
    ASSERT_TRUE(ParseFtpTime("20240229235959.123", t));  // a leap day; the fraction is dropped
    EXPECT_EQ(FormatFtpTime(t), "20240229235959");
    ASSERT_TRUE(ParseFtpTime("99991231235959", t));
    EXPECT_EQ(FormatFtpTime(t), "99991231235959");
    for (const char* bad : {"", "2024030514070", "202403051407000", "20230229000000", "19000301000000",
                            "20241301000000", "20240100000000", "20240431000000", "20240305240000",
                            "20240305126000", "20240305120060", "2024-3-05140700", "20240305140700.",
                            "20240305140700.x", "+2024030514070", "20240305140700.1234567890"})
        EXPECT_FALSE(ParseFtpTime(bad, t)) << bad;
}

}  // namespace
}  // namespace tw::test
