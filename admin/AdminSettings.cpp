#include "admin/AdminSettings.h"

#include "platform/IniFile.h"

namespace tw::admin {

AdminSettings ReadAdminSettings(const std::string& iniPath) {
    const CIniFile ini(iniPath);
    AdminSettings s;
    static_cast<ServerSettings&>(s) = ReadServerSettings(ini);
    s.startup = ReadFlag(ini, keys::kStartup);
    s.autoActive = ReadFlag(ini, keys::kAutoActive);
    s.autoActiveTls = ReadFlag(ini, keys::kAutoActiveTls);
    s.minimize = ReadFlag(ini, keys::kMinimize);
    return s;
}

}  // namespace tw::admin
