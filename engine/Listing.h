// The line formats of LIST and NLST.
#pragma once

#include <ctime>
#include <string>

#include "platform/DirectoryList.h"

namespace tw {

// " Mmm dd hh:mm " when the file time is at most 356 whole days before `now` (the future included),
// otherwise " Mmm dd yyyy "; local time, English month names.
std::string FormatListDate(std::time_t fileTime, std::time_t now);

// One LIST line, CR LF included: type and mode, " 1 user group ", the size right-aligned to 14, the date,
// the name with its control bytes shown as "?" (as NLST shows it too).
std::string ListLine(const DirEntry& entry, std::time_t now);

// Words of a LIST or NLST argument that begin with "-" are options and are skipped; the rest is the path.
std::string ListPathArgument(const std::string& argument);

}  // namespace tw
