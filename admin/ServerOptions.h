// Single switches of option.ini that the settings dialogs change, one write each, so that an edit is on disk
// as soon as it is made. The keys, their sections and defaults are the settings module's.
#pragma once

#include <string>

#include "engine/ServerSettings.h"

namespace tw::admin {

// The switch `key` of `programDir`'s option.ini: a number other than 0 is on; missing, its default.
bool ReadServerFlag(const std::string& programDir, const IntKey& key);
// Writes the switch as "1" or "0"; false when the file cannot be written.
bool WriteServerFlag(const std::string& programDir, const IntKey& key, bool on);

}  // namespace tw::admin
