// The IP filter over the accept and reject lists.
//
// A list text holds entries separated by ","; each entry is trimmed and empty ones are skipped. An
// address matches an entry when all four dotted parts are equal, an entry part "*" matching any part.
#pragma once

#include <string>

namespace tw {

bool AddressListed(const std::string& listText, const std::string& address);

// Mode 0 admits all, 1 refuses listed addresses, 2 admits only listed ones, anything else refuses all.
bool FilterAdmits(int mode, const std::string& acceptList, const std::string& rejectList, const std::string& address);

}  // namespace tw
