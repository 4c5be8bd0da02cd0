#include "platform/IpAddress.h"

#include <algorithm>
#include <cstddef>

#include "platform/Text.h"

namespace tw {

namespace {

constexpr size_t kMaxIpv6Text = 45;  // "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"
constexpr std::array<uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

using Groups = std::array<uint16_t, 8>;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Appends the colon-separated groups of `piece` (which may be empty) to groups[count...]; the last one may
// be a dotted IPv4 part when `mayEndDotted`. False on an empty or overlong group or more than eight.
bool AppendGroups(std::string_view piece, bool mayEndDotted, Groups& groups, size_t& count) {
    while (!piece.empty()) {
        const size_t colon = piece.find(':');
        const std::string_view group = piece.substr(0, colon);
        if (colon == std::string_view::npos && mayEndDotted && group.find('.') != std::string_view::npos) {
            auto v4 = ParseIpv4(group);
            if (!v4 || count + 2 > groups.size()) return false;
            groups[count++] = static_cast<uint16_t>(v4->bytes[0] << 8 | v4->bytes[1]);
            groups[count++] = static_cast<uint16_t>(v4->bytes[2] << 8 | v4->bytes[3]);
            return true;
        }
        if (group.empty() || group.size() > 4 || count == groups.size()) return false;
        unsigned value = 0;
        for (char c : group) {
            const int digit = HexDigit(c);
            if (digit < 0) return false;
            value = value << 4 | static_cast<unsigned>(digit);
        }
        groups[count++] = static_cast<uint16_t>(value);
        if (colon == std::string_view::npos) return true;
        piece.remove_prefix(colon + 1);
        if (piece.empty()) return false;  // a trailing single ":"
    }
    return true;
}

}  // namespace

std::optional<IpAddress> ParseIpv4(std::string_view text) {
    IpAddress a;
    for (size_t i = 0; i < 4; ++i) {
        const size_t dot = text.find('.');
        if ((dot == std::string_view::npos) != (i == 3)) return std::nullopt;
        const int value = Decimal(text.substr(0, dot), 3, 255);
        if (value < 0) return std::nullopt;
        a.bytes[i] = static_cast<uint8_t>(value);
        if (i < 3) text.remove_prefix(dot + 1);
    }
    return a;
}

std::optional<IpAddress> ParseIpv6(std::string_view text) {
    if (text.size() > kMaxIpv6Text) return std::nullopt;
    Groups head{}, tail{};
    size_t headCount = 0, tailCount = 0;
    const size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        if (!AppendGroups(text, true, head, headCount) || headCount != head.size()) return std::nullopt;
    } else if (!AppendGroups(text.substr(0, gap), false, head, headCount) ||
               !AppendGroups(text.substr(gap + 2), true, tail, tailCount) || headCount + tailCount >= head.size()) {
        return std::nullopt;  // "::" stands for at least one group
    }
    // The groups after "::" end the address; the ones between are zero.
    std::copy(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(tailCount),
              head.end() - static_cast<std::ptrdiff_t>(tailCount));
    uint8_t bytes[16];
    for (size_t i = 0; i < head.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(head[i] >> 8);
        bytes[2 * i + 1] = static_cast<uint8_t>(head[i]);
    }
    return Ipv6FromBytes(bytes);
}

std::optional<IpAddress> ParseIpAddress(std::string_view text) {
    return text.find(':') == std::string_view::npos ? ParseIpv4(text) : ParseIpv6(text);
}

IpAddress Ipv6FromBytes(const uint8_t* bytes) {
    IpAddress a;
    if (std::equal(kMappedPrefix.begin(), kMappedPrefix.end(), bytes)) {
        std::copy(bytes + 12, bytes + 16, a.bytes.begin());
        return a;
    }
    a.v6 = true;
    std::copy(bytes, bytes + 16, a.bytes.begin());
    return a;
}

std::string AddressText(const IpAddress& address) {
    const auto& b = address.bytes;
    if (!address.v6) {
        return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
               std::to_string(b[3]);
    }
    Groups groups;
    for (size_t i = 0; i < groups.size(); ++i) groups[i] = static_cast<uint16_t>(b[2 * i] << 8 | b[2 * i + 1]);
    // The first longest run of at least two zero groups.
    size_t runStart = groups.size(), runLength = 1;
    for (size_t i = 0; i < groups.size();) {
        size_t j = i;
        while (j < groups.size() && groups[j] == 0) ++j;
        if (j - i > runLength) {
            runStart = i;
            runLength = j - i;
        }
        i = j == i ? i + 1 : j;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < groups.size(); ++i) {
        if (i == runStart) {
            text += "::";
            i += runLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':') text += ':';
        bool digits = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned digit = groups[i] >> shift & 0xf;
            if (digit || digits || shift == 0) text += kHex[digit];
            digits = digits || digit;
        }
    }
    return text;
}

}  // namespace tw
