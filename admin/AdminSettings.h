// The settings the administration program reads from option.ini, section "Server", at start-up.
#pragma once

#include <string>

namespace tw::admin {

struct AdminSettings {
    bool startup = false;        // "Startup": keep the start-at-logon entry
    bool autoActive = false;     // "AutoActive": start FTP with the program
    bool autoActiveTls = false;  // "AutoActiveSSL"
    bool minimize = false;       // "Minimize": start minimised
    bool saveLog = false;        // "Savelog": write event lines to the daily log file
    int filterMode = 0;
    int maxUsers = 20;
    int timeout = 10;  // minutes
    int port = 21;
    int tlsPort = 990;
    int minPort = 1024;
    int maxPort = 65535;
    std::string passiveIp;  // "Internet" asks for the public-address lookup
};

// A missing or unreadable file gives the defaults; so does a value that does not start with a number.
AdminSettings ReadAdminSettings(const std::string& iniPath);

}  // namespace tw::admin
