// The IP address dialog's four fields: splitting an address into them, checking them and joining them.
// A field holds one to three digits (a number up to 255) or "*"; the filter treats "*" as any part.
// IPv6 entries (an address or a prefix, anything with ":") are one text of their own.
#pragma once

#include <array>
#include <string>

namespace tw::admin {

using AddressParts = std::array<std::string, 4>;

inline constexpr size_t kMaxPartLength = 3;

// The address split at "."; pieces past the fourth are dropped, each piece is cut to three characters.
AddressParts SplitAddress(const std::string& address);
// "%s.%s.%s.%s" of the four fields.
std::string JoinAddress(const AddressParts& parts);

// A character a field takes as typed: a digit or "*".
bool IsPartCharacter(char c);
// One to three digits up to 255, or "*".
bool IsValidPart(const std::string& part);
bool IsValidAddress(const AddressParts& parts);

// The longest IPv6 entry: 45 characters of address and "/128".
inline constexpr size_t kMaxIpv6EntryLength = 49;
// An entry for the IPv6 text rather than the four fields.
inline bool IsIpv6Entry(const std::string& entry) { return entry.find(':') != std::string::npos; }
// An IPv6 address or prefix the IP filter takes ("2001:db8::/32"; no zone, no brackets).
bool IsValidIpv6Entry(const std::string& entry);

}  // namespace tw::admin
