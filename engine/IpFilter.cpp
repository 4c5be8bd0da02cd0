#include "IpFilter.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "platform/Text.h"

namespace tw {

namespace {

constexpr std::string_view kSeparators = ",; \t\r\n";

// Exactly four dot-separated parts, or nothing.
std::optional<std::array<std::string_view, 4>> Parts(std::string_view s) {
    std::array<std::string_view, 4> parts;
    for (size_t i = 0; i < 4; ++i) {
        size_t dot = s.find('.');
        if ((dot == std::string_view::npos) != (i == 3)) return std::nullopt;
        parts[i] = s.substr(0, dot);
        if (i < 3) s.remove_prefix(dot + 1);
    }
    return parts;
}

// An entry as four part values, -2 standing for "*"; nothing when it is not a pattern.
std::optional<std::array<int, 4>> Pattern(std::string_view entry) {
    auto parts = Parts(entry);
    if (!parts) return std::nullopt;
    std::array<int, 4> values;
    for (size_t i = 0; i < 4; ++i) {
        values[i] = (*parts)[i] == "*" ? -2 : Decimal((*parts)[i], 3, 255);
        if (values[i] == -1) return std::nullopt;
    }
    return values;
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
    auto addr = Pattern(address);
    if (!addr || std::find(addr->begin(), addr->end(), -2) != addr->end()) return false;
    return AnyEntry(listText, [&](std::string_view entry) {
        auto pattern = Pattern(entry);
        if (!pattern) return false;
        for (size_t i = 0; i < 4; ++i)
            if ((*pattern)[i] != -2 && (*pattern)[i] != (*addr)[i]) return false;
        return true;
    });
}

std::vector<std::string> IgnoredListEntries(const std::string& listText) {
    std::vector<std::string> ignored;
    AnyEntry(listText, [&](std::string_view entry) {
        if (!Pattern(entry)) ignored.emplace_back(entry);
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

}  // namespace tw
