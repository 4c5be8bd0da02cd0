// The invoking user's start-at-logon entry: an XDG autostart file "<config>/autostart/<name>.desktop",
// where <config> is $XDG_CONFIG_HOME, else <home>/.config (the user behind sudo or pkexec when run through
// them, see InvokingUserHome).
#pragma once

#include <string>

namespace tw {

// Name of the administration program's entry; the service host removes it when it takes the engine over.
inline constexpr const char* kAdminAutostartName = "plover";

// Empty when the user's home is unknown.
std::string AutostartEntryPath(const std::string& name);
// Writes the entry that starts `program` (a full path) at logon, creating the directories; false when it
// cannot be written.
bool WriteAutostartEntry(const std::string& name, const std::string& title, const std::string& program);
// Removes the entry; a missing entry is no failure.
bool RemoveAutostartEntry(const std::string& name);

}  // namespace tw
