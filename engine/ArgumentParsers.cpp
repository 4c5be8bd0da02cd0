#include "engine/ArgumentParsers.h"

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "platform/IpAddress.h"
#include "platform/Text.h"

namespace tw {

namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool LeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

AddressParse ParsePortArgument(std::string_view argument, ActiveAddress& out) {
    auto pieces = Split(argument, ',');
    if (pieces.size() != 6) return AddressParse::SYNTAX;
    int v[6];
    for (int i = 0; i < 6; ++i)
        if ((v[i] = Decimal(Trim(pieces[i]), 3, 255)) < 0) return AddressParse::BAD_VALUE;
    out.address = fmt::format("{}.{}.{}.{}", v[0], v[1], v[2], v[3]);
    out.port = v[4] * 256 + v[5];
    return AddressParse::OK;
}

AddressParse ParseEprtArgument(std::string_view argument, ActiveAddress& out) {
    if (argument.size() < 2 || argument[0] < '!' || argument[0] > '~') return AddressParse::SYNTAX;
    const char delimiter = argument[0];
    if (argument.back() != delimiter) return AddressParse::SYNTAX;
    auto fields = Split(argument.substr(1, argument.size() - 2), delimiter);
    if (fields.size() != 3) return AddressParse::SYNTAX;
    int family = Decimal(fields[0], 3, 255);
    if (family < 0) return AddressParse::SYNTAX;
    if (family != 1 && family != 2) return AddressParse::UNSUPPORTED_FAMILY;
    auto address = family == 1 ? ParseIpv4(fields[1]) : ParseIpv6(fields[1]);
    int port = Decimal(fields[2], 5, 65535);
    if (!address || port < 0) return AddressParse::BAD_VALUE;
    out.address = AddressText(*address);
    out.ipv6 = address->v6;
    out.port = port;
    return AddressParse::OK;
}

std::string FormatFtpTime(std::time_t time) {
    std::tm t{};
    gmtime_r(&time, &t);
    // Written digit by digit: MLSD formats one per entry of directories with many thousands.
    const int fields[] = {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec};
    std::string text(14, '0');
    size_t end = 4;
    for (size_t i = 0; i < std::size(fields); ++i, end += 2) {
        int value = std::clamp(fields[i], 0, i == 0 ? 9999 : 99);
        for (size_t at = end; value > 0; value /= 10) text[--at] = static_cast<char>('0' + value % 10);
    }
    return text;
}

bool ParseFtpTime(std::string_view text, std::time_t& out) {
    size_t dot = text.find('.');
    if (dot != std::string_view::npos) {
        std::string_view fraction = text.substr(dot + 1);
        if (fraction.empty() || fraction.size() > 9 || Decimal(fraction, 9, 999999999) < 0) return false;
        text = text.substr(0, dot);
    }
    if (text.size() != 14) return false;
    int year = Decimal(text.substr(0, 4), 4, 9999), month = Decimal(text.substr(4, 2), 2, 12);
    int day = Decimal(text.substr(6, 2), 2, 31), hour = Decimal(text.substr(8, 2), 2, 23);
    int minute = Decimal(text.substr(10, 2), 2, 59), second = Decimal(text.substr(12, 2), 2, 59);
    if (year < 1970 || month < 1 || day < 1 || hour < 0 || minute < 0 || second < 0) return false;
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (day > kDays[month - 1] + (month == 2 && LeapYear(year))) return false;
    int64_t seconds = DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
                      hour * 3600 + minute * 60 + second;
    out = static_cast<std::time_t>(seconds);
    return true;
}

}  // namespace tw
