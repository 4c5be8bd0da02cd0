// The per-user start-at-logon entry: an XDG autostart file "<config>/autostart/<name>.desktop", where
// <config> is $XDG_CONFIG_HOME, else $HOME/.config.
#pragma once

#include <string>

namespace tw {

std::string AutostartEntryPath(const std::string& name);
// Writes the entry that starts `program` (a full path) at logon, creating the directories; false when it
// cannot be written.
bool WriteAutostartEntry(const std::string& name, const std::string& title, const std::string& program);
// Removes the entry; a missing entry is no failure.
bool RemoveAutostartEntry(const std::string& name);

}  // namespace tw
