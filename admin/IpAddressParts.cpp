#include "admin/IpAddressParts.h"

#include <algorithm>

#include "engine/IpFilter.h"
#include "platform/Text.h"

namespace tw::admin {

AddressParts SplitAddress(const std::string& address) {
    AddressParts parts;
    size_t start = 0;
    for (std::string& part : parts) {
        if (start > address.size()) break;
        const size_t dot = std::min(address.find('.', start), address.size());
        part = address.substr(start, std::min(dot - start, kMaxPartLength));
        start = dot + 1;
    }
    return parts;
}

std::string JoinAddress(const AddressParts& parts) {
    return parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3];
}

bool IsPartCharacter(char c) { return (c >= '0' && c <= '9') || c == '*'; }

bool IsValidPart(const std::string& part) { return part == "*" || Decimal(part, kMaxPartLength, 255) >= 0; }

bool IsValidAddress(const AddressParts& parts) { return std::all_of(parts.begin(), parts.end(), IsValidPart); }

bool IsValidIpv6Entry(const std::string& entry) {
    return IsIpv6Entry(entry) && entry.size() <= kMaxIpv6EntryLength && IsListEntry(entry);
}

}  // namespace tw::admin
