// Single keys of option.ini's section "Server" that the settings dialogs change, one write each, so that
// an edit is on disk as soon as it is made.
#pragma once

#include <string>

namespace tw::admin {

// Writes `key` = `value` into `programDir`'s option.ini; false when the file cannot be written.
bool WriteServerOption(const std::string& programDir, const std::string& key, const std::string& value);

// A "1"/"0" switch: a number other than 0 is on; a missing key gives `def`.
bool ReadServerSwitch(const std::string& programDir, const std::string& key, bool def);

}  // namespace tw::admin
