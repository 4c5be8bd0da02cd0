#include "ServerOptions.h"

#include "platform/IniFile.h"

namespace tw::admin {

namespace {
constexpr const char* kSection = "Server";
}  // namespace

bool WriteServerOption(const std::string& programDir, const std::string& key, const std::string& value) {
    return CIniFile(programDir + "option.ini").WriteString(kSection, key, value);
}

bool ReadServerSwitch(const std::string& programDir, const std::string& key, bool def) {
    return CIniFile(programDir + "option.ini").GetInt(kSection, key, def ? 1 : 0) != 0;
}

}  // namespace tw::admin
