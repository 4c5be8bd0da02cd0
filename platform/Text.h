// Small text helpers shared by the parsers.
#pragma once

#include <string>
#include <string_view>

namespace tw {

// Without leading and trailing blanks, tabs, CR and LF.
inline std::string_view Trim(std::string_view s) {
    constexpr std::string_view blanks = " \t\r\n";
    size_t b = s.find_first_not_of(blanks);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(blanks) - b + 1);
}

// A byte that could split or forge a line of a reply, a listing or the log: anything below 0x20.
inline bool IsControlByte(char c) { return static_cast<unsigned char>(c) < 0x20; }

// The text with every control byte shown as "?", as replies, listings and the log show names.
inline std::string MaskControlBytes(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (IsControlByte(c)) c = '?';
    return out;
}

// A decimal number of 1..`digits` digits only, at most `max`, or -1.
inline int Decimal(std::string_view text, size_t digits, int max) {
    if (text.empty() || text.size() > digits) return -1;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value <= max ? value : -1;
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
