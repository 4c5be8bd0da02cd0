// The IP filter over the accept and reject lists, and the address groups that per-address limits count by.
//
// A list text holds entries separated by ",", ";", blanks, tabs or line ends; empty ones are skipped. An
// entry is
//   - an IPv4 pattern of four dotted parts, each a number up to 255 or "*" (any part): an IPv4 address
//     matches when all four parts are equal as numbers;
//   - an IPv6 address in full or compressed form ("::1"), matching that address only;
//   - an IPv6 prefix "address/bits" with bits 0..128 ("2001:db8::/32"), matching every address whose first
//     bits are the prefix's.
// A v4-mapped entry (::ffff:a.b.c.d, with a prefix of 96 bits or more) stands for IPv4. Other entries,
// zone ids ("fe80::1%eth0") and brackets among them, match nothing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tw {

// The two list files of the program directory, each one list text.
inline constexpr const char* kAcceptListFile = "acceptip.txt";
inline constexpr const char* kRejectListFile = "rejectip.txt";

bool AddressListed(const std::string& listText, const std::string& address);

// Whether `text` is one entry that matches addresses (not ignored).
bool IsListEntry(std::string_view text);

// The entries of a list text that are not address patterns, in order, for a warning at load.
std::vector<std::string> IgnoredListEntries(const std::string& listText);

// Mode 0 admits all, 1 refuses listed addresses, 2 admits only listed ones, anything else refuses all.
bool FilterAdmits(int mode, const std::string& acceptList, const std::string& rejectList, const std::string& address);

// The key that bans and the per-address connection counts file a client address under: an IPv6 address
// by its /64 ("2001:db8:1:2::/64"), since one subscriber commonly holds a whole /64; any other text as it is.
std::string AddressGroup(const std::string& address);

}  // namespace tw
