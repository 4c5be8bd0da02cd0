#include "platform/Text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tw {
namespace {

using Pieces = std::vector<std::string_view>;

TEST(ParseDecimal, DigitsOnlyUpToTheLimit) {
    EXPECT_EQ(ParseDecimal<int>("0"), 0);
    EXPECT_EQ(ParseDecimal<int>("007"), 7);
    EXPECT_EQ(ParseDecimal<int>("255", 255), 255);
    EXPECT_EQ(ParseDecimal<int>("256", 255), std::nullopt);
    // A limit below the digit itself, where an unsigned `max - digit` would wrap.
    EXPECT_EQ(ParseDecimal<unsigned>("5", 3u), std::nullopt);
    EXPECT_EQ(ParseDecimal<unsigned>("0", 0u), 0u);
    for (std::string_view text : {"", "+1", "-1", " 1", "1 ", "12a", "1\n", "0x1"})
        EXPECT_EQ(ParseDecimal<int>(text), std::nullopt) << text;
}

TEST(ParseDecimal, OverflowIsRefusedNotWrapped) {
    EXPECT_EQ(ParseDecimal<uint64_t>("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(ParseDecimal<uint64_t>("18446744073709551616"), std::nullopt);
    EXPECT_EQ(ParseDecimal<int64_t>("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseDecimal<int64_t>("9223372036854775808"), std::nullopt);
    EXPECT_EQ(ParseDecimal<int>("4294967296"), std::nullopt);  // 2^32: 0 when wrapped
    EXPECT_EQ(ParseDecimal<uint8_t>("256"), std::nullopt);
}

TEST(ParseSignedDecimal, AMinusSignDownToTheLeast) {
    EXPECT_EQ(ParseSignedDecimal<int>("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseSignedDecimal<int>("2147483647"), INT32_MAX);
    EXPECT_EQ(ParseSignedDecimal<int>("-0"), 0);
    EXPECT_EQ(ParseSignedDecimal<int64_t>("-9223372036854775808"), INT64_MIN);
    for (std::string_view text : {"-2147483649", "2147483648", "", "-", "+1", "--1", " -1", "-1 "})
        EXPECT_EQ(ParseSignedDecimal<int>(text), std::nullopt) << text;
}

TEST(LeadingDecimal, BlanksSignAndDigitsAsFarAsTheyGo) {
    EXPECT_EQ(LeadingDecimal(" \t42xyz"), 42);
    EXPECT_EQ(LeadingDecimal("-17"), -17);
    EXPECT_EQ(LeadingDecimal("+5"), 5);
    EXPECT_EQ(LeadingDecimal("1 2"), 1);
    for (std::string_view text : {"", "abc", "-", "+", " - 5", "+-5"}) EXPECT_EQ(LeadingDecimal(text), 0) << text;
    // Only the blanks given are skipped.
    EXPECT_EQ(LeadingDecimal("\n5"), 0);
    EXPECT_EQ(LeadingDecimal("\n\v\f\r 5", kAsciiSpace), 5);
}

TEST(LeadingDecimal, SaturatesAtThe64BitRange) {
    EXPECT_EQ(LeadingDecimal("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(LeadingDecimal("99999999999999999999"), INT64_MAX);
    EXPECT_EQ(LeadingDecimal("-9223372036854775807"), -INT64_MAX);
    EXPECT_EQ(LeadingDecimal("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(LeadingDecimal("-99999999999999999999"), INT64_MIN);
}

TEST(Decimal, BoundedInDigitsAndValue) {
    EXPECT_EQ(Decimal("255", 3, 255), 255);
    EXPECT_EQ(Decimal("0255", 3, 255), -1);
    EXPECT_EQ(Decimal("256", 3, 255), -1);
    EXPECT_EQ(Decimal("", 3, 255), -1);
}

TEST(Split, EveryPieceAsItIs) {
    EXPECT_EQ(Split("", ','), Pieces{""});
    EXPECT_EQ(Split("a", ','), Pieces{"a"});
    EXPECT_EQ(Split("a,,b,", ','), (Pieces{"a", "", "b", ""}));
    EXPECT_EQ(Split(" a |b", '|'), (Pieces{" a ", "b"}));
}

TEST(SplitList, TrimmedEntriesWithoutEmptyOnes) {
    EXPECT_EQ(SplitList(",10.0.0.1,, 10.0.0.2 ,"), (Pieces{"10.0.0.1", "10.0.0.2"}));
    EXPECT_EQ(SplitList("\ta b\r\n"), Pieces{"a b"});
    EXPECT_EQ(SplitList(""), Pieces{});
    EXPECT_EQ(SplitList(" , \t,"), Pieces{});
}

TEST(ControlByte, BelowBlankAndDel) {
    for (char c : {'\0', '\n', '\r', '\x1f', '\x7f'}) EXPECT_TRUE(IsControlByte(c)) << int(c);
    for (char c : {' ', '~', 'a', '\x80', '\xff'}) EXPECT_FALSE(IsControlByte(c)) << int(c);
    // Masking is for line ends and the like: DEL and UTF-8 stay.
    EXPECT_EQ(MaskControlBytes("a\x01\r\nb\x7f\xc3\xa9"), "a???b\x7f\xc3\xa9");
}

TEST(LeadingInt, TakesTheLeadingDecimalIntegerClamped) {
    EXPECT_EQ(LeadingInt("42abc"), 42);
    EXPECT_EQ(LeadingInt("abc"), 0);
    EXPECT_EQ(LeadingInt(" -3"), -3);
    EXPECT_EQ(LeadingInt(""), 0);
    EXPECT_EQ(LeadingInt("99999999999"), 2147483647);
    EXPECT_EQ(LeadingInt("-99999999999"), -2147483647 - 1);
}

}  // namespace
}  // namespace tw
