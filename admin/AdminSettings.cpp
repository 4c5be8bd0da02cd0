#include "AdminSettings.h"

#include "platform/IniFile.h"
#include "platform/Text.h"

namespace tw::admin {

namespace {

int Number(const CIniFile& ini, const char* key, int def) {
    const std::string text = ini.GetString("Server", key);
    const std::string_view value = Trim(text);
    const size_t digit = !value.empty() && (value[0] == '-' || value[0] == '+') ? 1 : 0;
    if (value.size() <= digit || value[digit] < '0' || value[digit] > '9') return def;
    return LeadingInt(std::string(value));
}

}  // namespace

AdminSettings ReadAdminSettings(const std::string& iniPath) {
    const CIniFile ini(iniPath);
    AdminSettings s;
    s.startup = Number(ini, "Startup", 0) == 1;
    s.autoActive = Number(ini, "AutoActive", 0) == 1;
    s.autoActiveTls = Number(ini, "AutoActiveSSL", 0) == 1;
    s.minimize = Number(ini, "Minimize", 0) == 1;
    s.saveLog = Number(ini, "Savelog", 0) == 1;
    s.filterMode = Number(ini, "FilterMode", s.filterMode);
    s.maxUsers = Number(ini, "maxusers", s.maxUsers);
    s.timeout = Number(ini, "timeout", s.timeout);
    s.port = Number(ini, "port", s.port);
    s.tlsPort = Number(ini, "sslport", s.tlsPort);
    s.minPort = Number(ini, "MinPort", s.minPort);
    s.maxPort = Number(ini, "MaxPort", s.maxPort);
    s.passiveIp = ini.GetString("Server", "PassiveIP");
    return s;
}

}  // namespace tw::admin
