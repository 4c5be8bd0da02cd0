// The IP address dialog's four fields: splitting an address into them, checking them and joining them.
// A field holds one to three digits (a number up to 255) or "*"; the filter treats "*" as any part.
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

}  // namespace tw::admin
