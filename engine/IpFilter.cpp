#include "IpFilter.h"

#include <array>
#include <optional>
#include <string_view>

#include "platform/Text.h"

namespace tw {

namespace {

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

// "007" and "7" name the same part; any other text compares as it stands.
bool SamePart(std::string_view entry, std::string_view address) {
    if (entry == "*") return true;
    while (entry.size() > 1 && entry.front() == '0') entry.remove_prefix(1);
    while (address.size() > 1 && address.front() == '0') address.remove_prefix(1);
    return !entry.empty() && entry == address;
}

}  // namespace

bool AddressListed(const std::string& listText, const std::string& address) {
    auto addr = Parts(address);
    if (!addr) return false;
    std::string_view rest = listText;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view entry = Trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (entry.empty()) continue;
        auto parts = Parts(entry);
        if (!parts) continue;
        bool all = true;
        for (size_t i = 0; i < 4 && all; ++i) all = SamePart(Trim((*parts)[i]), (*addr)[i]);
        if (all) return true;
    }
    return false;
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
