#include "admin/ServerOptions.h"

namespace tw::admin {

bool ReadServerFlag(const std::string& programDir, const IntKey& key) {
    return ReadFlag(CIniFile(SettingsPath(programDir)), key);
}

bool WriteServerFlag(const std::string& programDir, const IntKey& key, bool on) {
    CIniFile ini(SettingsPath(programDir));
    return WriteFlag(ini, key, on);
}

}  // namespace tw::admin
