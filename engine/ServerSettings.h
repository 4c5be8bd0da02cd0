// option.ini: every key the programs read or write, with its default, the one reader and the one writer.
//
// Keys compare without regard to case, so each is spelled once, as the programs write it ("Port" is the
// key that is read as "port"). Numbers follow one rule: optional blanks and sign, then the leading decimal
// digits ("42x" is 42); a value that does not start with a number ("abc", "") gives the key's default.
// Flags are numbers that are true when not 0.
#pragma once

#include <string>

#include "platform/IniFile.h"

namespace tw {

// The settings file of a program directory (which ends in "/").
inline std::string SettingsPath(const std::string& programDir) { return programDir + "option.ini"; }

struct IntKey {
    const char* section;
    const char* name;
    int def;
};

struct TextKey {
    const char* section;
    const char* name;
    const char* def;
};

namespace keys {

// Read by both hosts (section "Server").
inline constexpr IntKey kSaveLog{"Server", "Savelog", 0};
inline constexpr IntKey kFilterMode{"Server", "FilterMode", 0};
inline constexpr IntKey kPort{"Server", "Port", 21};
inline constexpr IntKey kTlsPort{"Server", "SSLPort", 990};
// The one address both listeners bind, IPv4 or IPv6; empty: every address of both families.
inline constexpr TextKey kListenAddress{"Server", "ListenAddress", ""};
inline constexpr IntKey kMaxUsers{"Server", "maxusers", 20};
inline constexpr IntKey kTimeout{"Server", "timeout", 10};  // minutes
inline constexpr IntKey kMinPort{"Server", "MinPort", 1024};
inline constexpr IntKey kMaxPort{"Server", "MaxPort", 65535};
inline constexpr TextKey kPassiveIp{"Server", "PassiveIP", ""};
inline constexpr IntKey kLoginFailDelay{"Server", "LoginFailDelay", 1000};  // milliseconds
inline constexpr IntKey kMaxLoginFails{"Server", "MaxLoginFails", 3};
inline constexpr IntKey kBanAfterFails{"Server", "BanAfterFails", 10};
inline constexpr IntKey kBanMinutes{"Server", "BanMinutes", 10};
inline constexpr IntKey kAccountFailLimit{"Server", "AccountFailLimit", 20};
inline constexpr IntKey kAccountLockMinutes{"Server", "AccountLockMinutes", 10};
inline constexpr IntKey kLoginTimeout{"Server", "LoginTimeout", 60};  // seconds
inline constexpr IntKey kMaxPerIp{"Server", "MaxPerIP", 0};
inline constexpr IntKey kForceTls{"Server", "ForceTLS", 0};  // 0 optional, 1 logins, 2 logins and data
inline constexpr IntKey kLogSessionTags{"Server", "LogSessionTags", 1};  // event lines of a connection tagged
// Which listeners the service host starts (written by the desktop program's service panel).
inline constexpr IntKey kFtpService{"Server", "ftpservice", 1};
inline constexpr IntKey kFtpsService{"Server", "ftpsservice", 1};

// The desktop program's own; the service host turns the first two off when it is installed.
inline constexpr IntKey kStartup{"Server", "startup", 0};
inline constexpr IntKey kAutoActive{"Server", "AutoActive", 0};
inline constexpr IntKey kAutoActiveTls{"Server", "AutoActiveSSL", 0};
inline constexpr IntKey kMinimize{"Server", "Minimize", 0};
inline constexpr TextKey kDefaultDir{"Server", "defaultdir", ""};  // the home proposed for a new user
// The user information of the ready-made addresses in the desktop program's address list.
inline constexpr TextKey kDefaultUser{"DEFAULT", "USER", ""};
inline constexpr TextKey kDefaultPassword{"DEFAULT", "PASS", ""};

// The address updater's (section "DNS"). The update endpoint's default is kept scrambled by the updater.
inline constexpr IntKey kDnsEnable{"DNS", "Enable", 0};
inline constexpr TextKey kDnsName{"DNS", "Name", ""};
inline constexpr TextKey kDnsPassword{"DNS", "Password", ""};
inline constexpr TextKey kDnsLookupUrl{"DNS", "LookupURL", "http://myip.tarnwick.invalid/myip.php"};
inline constexpr TextKey kDnsUpdateUrl{"DNS", "UpdateURL", ""};  // read with the updater's fallback

}  // namespace keys

int ReadInt(const CIniFile& ini, const IntKey& key);
inline bool ReadFlag(const CIniFile& ini, const IntKey& key) { return ReadInt(ini, key) != 0; }
std::string ReadText(const CIniFile& ini, const TextKey& key);
// `fallback` replaces the key's default (a default that is not the settings file's to give).
std::string ReadText(const CIniFile& ini, const TextKey& key, const std::string& fallback);

// Numbers and flags are written as decimal texts. False when the file cannot be written.
bool WriteInt(CIniFile& ini, const IntKey& key, int value);
inline bool WriteFlag(CIniFile& ini, const IntKey& key, bool on) { return WriteInt(ini, key, on ? 1 : 0); }
bool WriteText(CIniFile& ini, const TextKey& key, const std::string& value);

// What both hosts give the server object; defaults are the keys'.
struct ServerSettings {
    bool saveLog = keys::kSaveLog.def != 0;
    int filterMode = keys::kFilterMode.def;
    int port = keys::kPort.def;
    int tlsPort = keys::kTlsPort.def;
    std::string listenAddress = keys::kListenAddress.def;
    int maxUsers = keys::kMaxUsers.def;
    int timeout = keys::kTimeout.def;
    int minPort = keys::kMinPort.def;
    int maxPort = keys::kMaxPort.def;
    std::string passiveIp = keys::kPassiveIp.def;  // "Internet" (any case) asks for the public-address lookup
    int loginFailDelay = keys::kLoginFailDelay.def;
    int maxLoginFails = keys::kMaxLoginFails.def;
    int banAfterFails = keys::kBanAfterFails.def;
    int banMinutes = keys::kBanMinutes.def;
    int accountFailLimit = keys::kAccountFailLimit.def;
    int accountLockMinutes = keys::kAccountLockMinutes.def;
    int loginTimeout = keys::kLoginTimeout.def;
    int maxPerIp = keys::kMaxPerIp.def;
    int forceTls = keys::kForceTls.def;
    bool logSessionTags = keys::kLogSessionTags.def != 0;
    bool ftpService = keys::kFtpService.def != 0;
    bool ftpsService = keys::kFtpsService.def != 0;

    bool operator==(const ServerSettings&) const = default;
};

ServerSettings ReadServerSettings(const CIniFile& ini);

}  // namespace tw
