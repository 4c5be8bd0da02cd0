// Small text helpers shared by the parsers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tw {

// The white space of the C library's isspace in the "C" locale.
constexpr std::string_view kAsciiSpace = " \t\n\v\f\r";

// Without leading and trailing blanks, tabs, CR and LF.
inline std::string_view Trim(std::string_view s) {
    constexpr std::string_view blanks = " \t\r\n";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// A control character: anything below 0x20, and DEL. Names and values that hold one are refused.
inline bool IsControlByte(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// The text with every byte that could split or forge a line shown as "?", as replies, listings and the log
// show names: the control bytes but DEL, which ends no line and is shown as it is.
inline std::string MaskControlBytes(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (IsControlByte(c) && c != 0x7F) c = '?';
    return out;
}

// A number of decimal digits only (no sign, no blanks), at most `max`; nullopt for empty text, any other
// character or a larger value.
template <typename T>
std::optional<T> ParseDecimal(std::string_view text, T max = std::numeric_limits<T>::max()) {
    if (text.empty()) return std::nullopt;
    T value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const T digit = static_cast<T>(c - '0');
        if (digit > max || value > (max - digit) / 10) return std::nullopt;
        value = static_cast<T>(value * 10 + digit);
    }
    return value;
}

// As ParseDecimal, and a leading '-' for a value down to the least of T.
template <typename T>
std::optional<T> ParseSignedDecimal(std::string_view text) {
    static_assert(std::is_signed_v<T>);
    using Magnitude = std::make_unsigned_t<T>;
    const bool negative = !text.empty() && text[0] == '-';
    const Magnitude limit = static_cast<Magnitude>(std::numeric_limits<T>::max()) + (negative ? 1 : 0);
    const std::optional<Magnitude> magnitude = ParseDecimal<Magnitude>(text.substr(negative ? 1 : 0), limit);
    if (!magnitude) return std::nullopt;
    return static_cast<T>(negative ? Magnitude(0) - *magnitude : *magnitude);
}

// The integer the text starts with: leading `blanks`, an optional sign and the decimal digits as far as
// they go, saturated at the 64-bit range. 0 when no digit follows.
inline int64_t LeadingDecimal(std::string_view text, std::string_view blanks = " \t") {
    size_t i = std::min(text.find_first_not_of(blanks), text.size());
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    const size_t end = std::min(text.find_first_not_of("0123456789", i), text.size());
    if (end == i) return 0;
    const std::optional<int64_t> value = ParseDecimal<int64_t>(text.substr(i, end - i));
    if (!value) return negative ? INT64_MIN : INT64_MAX;
    return negative ? -*value : *value;
}

// As LeadingDecimal, clamped to int: "42abc" -> 42, "abc" -> 0, "-3" -> -3.
inline int LeadingInt(std::string_view text) {
    return static_cast<int>(std::clamp<int64_t>(LeadingDecimal(text), std::numeric_limits<int>::min(),
                                                std::numeric_limits<int>::max()));
}

// A decimal number of 1..`digits` digits only, at most `max`, or -1.
inline int Decimal(std::string_view text, size_t digits, int max) {
    const std::optional<int> value = text.size() <= digits ? ParseDecimal(text, max) : std::nullopt;
    return value ? *value : -1;
}

// The pieces between the separators, as they are: n separators give n + 1 pieces, empty ones included.
inline std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (;;) {
        const size_t at = text.find(separator);
        pieces.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return pieces;
        text.remove_prefix(at + 1);
    }
}

// The entries of a comma-separated list: each piece trimmed (Trim), empty ones left out.
inline std::vector<std::string_view> SplitList(std::string_view text) {
    std::vector<std::string_view> entries;
    for (std::string_view piece : Split(text, ','))
        if (std::string_view entry = Trim(piece); !entry.empty()) entries.push_back(entry);
    return entries;
}

// The text with ASCII capitals made small: the key under which names that match without regard to case
// are kept.
inline std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return text;
}

// ASCII comparison without regard to case.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

}  // namespace tw
