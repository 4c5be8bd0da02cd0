// The settings of the administration program: the server's, which it applies like the service host, and
// its own start-up keys, all read from option.ini in one pass.
#pragma once

#include <string>

#include "engine/ServerSettings.h"

namespace tw::admin {

struct AdminSettings : ServerSettings {
    bool startup = keys::kStartup.def != 0;            // keep the start-at-logon entry
    bool autoActive = keys::kAutoActive.def != 0;      // start FTP with the program
    bool autoActiveTls = keys::kAutoActiveTls.def != 0;
    bool minimize = keys::kMinimize.def != 0;          // start minimised
};

// A missing or unreadable file gives the defaults; so does a value that does not start with a number.
AdminSettings ReadAdminSettings(const std::string& iniPath);

}  // namespace tw::admin
