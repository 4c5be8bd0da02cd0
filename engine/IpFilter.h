// The IP filter over the accept and reject lists.
//
// A list text holds entries separated by ",", ";", blanks, tabs or line ends; empty ones are skipped. An
// entry is an IPv4 pattern of four dotted parts, each a number up to 255 or "*" (any part). An address
// matches an entry when all four parts are equal as numbers. Other entries match nothing.
#pragma once

#include <string>
#include <vector>

namespace tw {

// The two list files of the program directory, each one list text.
inline constexpr const char* kAcceptListFile = "acceptip.txt";
inline constexpr const char* kRejectListFile = "rejectip.txt";

bool AddressListed(const std::string& listText, const std::string& address);

// The entries of a list text that are not address patterns, in order, for a warning at load.
std::vector<std::string> IgnoredListEntries(const std::string& listText);

// Mode 0 admits all, 1 refuses listed addresses, 2 admits only listed ones, anything else refuses all.
bool FilterAdmits(int mode, const std::string& acceptList, const std::string& rejectList, const std::string& address);

}  // namespace tw
