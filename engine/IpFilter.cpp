#include "engine/IpFilter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/IpAddress.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr std::string_view kSeparators = ",; \t\r\n";
constexpr int kGroupBits = 64;

// A parsed entry: the leading `bits` of `address` must match, except the bytes flagged in `anyBytes`
// (bit i: byte i), which IPv4 patterns give for "*".
struct Entry {
    IpAddress address;
    int bits = 0;
    unsigned anyBytes = 0;
};

std::optional<Entry> Ipv4Pattern(std::string_view text) {
    Entry e;
    e.bits = 32;
    for (size_t i = 0; i < 4; ++i) {
        const size_t dot = text.find('.');
        if ((dot == std::string_view::npos) != (i == 3)) return std::nullopt;
        const std::string_view part = text.substr(0, dot);
        if (part == "*") {
            e.anyBytes |= 1u << i;
        } else {
            const int value = Decimal(part, 3, 255);
            if (value < 0) return std::nullopt;
            e.address.bytes[i] = static_cast<uint8_t>(value);
        }
        if (i < 3) text.remove_prefix(dot + 1);
    }
    return e;
}

std::optional<Entry> ParseEntry(std::string_view text) {
    if (text.find(':') == std::string_view::npos) return Ipv4Pattern(text);
    const size_t slash = text.find('/');
    Entry e;
    e.bits = 128;
    if (slash != std::string_view::npos && (e.bits = Decimal(text.substr(slash + 1), 3, 128)) < 0) return std::nullopt;
    auto address = ParseIpv6(text.substr(0, slash));
    if (!address) return std::nullopt;
    if (!address->v6) {  // v4-mapped: its prefix counts from the IPv4 part
        if (e.bits < 96) return std::nullopt;
        e.bits -= 96;
    }
    e.address = *address;
    return e;
}

bool Matches(const Entry& e, const IpAddress& a) {
    if (e.address.v6 != a.v6) return false;
    for (int bit = 0; bit < e.bits; bit += 8) {
        const size_t i = static_cast<size_t>(bit / 8);
        if (e.anyBytes & (1u << i)) continue;
        const unsigned mask = 0xffu << (8 - std::min(8, e.bits - bit)) & 0xffu;
        if ((e.address.bytes[i] ^ a.bytes[i]) & mask) return false;
    }
    return true;
}

// Calls `fn` with every non-empty entry of a list text; stops when it returns true.
template <typename Fn>
bool AnyEntry(std::string_view rest, Fn fn) {
    while (!rest.empty()) {
        size_t end = rest.find_first_of(kSeparators);
        std::string_view entry = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (!entry.empty() && fn(entry)) return true;
    }
    return false;
}

}  // namespace

bool AddressListed(const std::string& listText, const std::string& address) {
    const auto addr = ParseIpAddress(address);
    if (!addr) return false;
    return AnyEntry(listText, [&](std::string_view text) {
        const auto entry = ParseEntry(text);
        return entry && Matches(*entry, *addr);
    });
}

bool IsListEntry(std::string_view text) { return ParseEntry(text).has_value(); }

std::vector<std::string> IgnoredListEntries(const std::string& listText) {
    std::vector<std::string> ignored;
    AnyEntry(listText, [&](std::string_view entry) {
        if (!IsListEntry(entry)) ignored.emplace_back(entry);
        return false;
    });
    return ignored;
}

bool FilterAdmits(int mode, const std::string& acceptList, const std::string& rejectList, const std::string& address) {
    switch (mode) {
        case 0: return true;
        case 1: return !AddressListed(rejectList, address);
        case 2: return AddressListed(acceptList, address);
        default: return false;
    }
}

std::string AddressGroup(const std::string& address) {
    auto ip = ParseIpAddress(address);
    if (!ip || !ip->v6) return address;
    std::fill(ip->bytes.begin() + kGroupBits / 8, ip->bytes.end(), uint8_t{0});
    return AddressText(*ip) + "/" + std::to_string(kGroupBits);
}

}  // namespace tw
