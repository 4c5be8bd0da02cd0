#include "ServerOptions.h"

#include "engine/ServerSettings.h"

namespace tw::admin {

// Through the settings module, so that these keys follow its number rule like every other.
bool WriteServerOption(const std::string& programDir, const std::string& key, const std::string& value) {
    CIniFile ini(SettingsPath(programDir));
    return WriteText(ini, TextKey{"Server", key.c_str(), ""}, value);
}

bool ReadServerSwitch(const std::string& programDir, const std::string& key, bool def) {
    return ReadFlag(CIniFile(SettingsPath(programDir)), IntKey{"Server", key.c_str(), def ? 1 : 0});
}

}  // namespace tw::admin
