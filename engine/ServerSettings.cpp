// option.ini's reader and writer, and CFtpServer's application of what it read: the one path of both
// hosts from the settings file to a serving server object.
#include "engine/ServerSettings.h"

#include <cstdio>

#include "accounts/AccountStore.h"
#include "accounts/AccountTables.h"
#include "engine/FtpServer.h"
#include "engine/HiddenFiles.h"
#include "engine/IpFilter.h"
#include "platform/DirectoryList.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"

namespace tw {

namespace {

void ReportLogFileError(const std::string& fileName) {
    std::fprintf(stderr, "Error in CLogFile::Open(): Cannot create or open file: '%s'\n", fileName.c_str());
}

}  // namespace

int ReadInt(const CIniFile& ini, const IntKey& key) {
    const std::string text = ini.GetString(key.section, key.name);
    const std::string_view value = Trim(text);
    const size_t digit = !value.empty() && (value[0] == '-' || value[0] == '+') ? 1 : 0;
    if (value.size() <= digit || value[digit] < '0' || value[digit] > '9') return key.def;
    return LeadingInt(std::string(value));
}

std::string ReadText(const CIniFile& ini, const TextKey& key) { return ini.GetString(key.section, key.name, key.def); }

std::string ReadText(const CIniFile& ini, const TextKey& key, const std::string& fallback) {
    return ini.GetString(key.section, key.name, fallback);
}

bool WriteInt(CIniFile& ini, const IntKey& key, int value) {
    return ini.WriteString(key.section, key.name, std::to_string(value));
}

bool WriteText(CIniFile& ini, const TextKey& key, const std::string& value) {
    return ini.WriteString(key.section, key.name, value);
}

ServerSettings ReadServerSettings(const CIniFile& ini) {
    using namespace keys;
    ServerSettings s;
    s.saveLog = ReadFlag(ini, kSaveLog);
    s.filterMode = ReadInt(ini, kFilterMode);
    s.port = ReadInt(ini, kPort);
    s.tlsPort = ReadInt(ini, kTlsPort);
    s.listenAddress = std::string(Trim(ReadText(ini, kListenAddress)));
    s.maxUsers = ReadInt(ini, kMaxUsers);
    s.timeout = ReadInt(ini, kTimeout);
    s.minPort = ReadInt(ini, kMinPort);
    s.maxPort = ReadInt(ini, kMaxPort);
    s.passiveIp = ReadText(ini, kPassiveIp);
    s.loginFailDelay = ReadInt(ini, kLoginFailDelay);
    s.maxLoginFails = ReadInt(ini, kMaxLoginFails);
    s.banAfterFails = ReadInt(ini, kBanAfterFails);
    s.banMinutes = ReadInt(ini, kBanMinutes);
    s.accountFailLimit = ReadInt(ini, kAccountFailLimit);
    s.accountLockMinutes = ReadInt(ini, kAccountLockMinutes);
    s.loginTimeout = ReadInt(ini, kLoginTimeout);
    s.maxPerIp = ReadInt(ini, kMaxPerIp);
    s.forceTls = ReadInt(ini, kForceTls);
    s.logSessionTags = ReadFlag(ini, kLogSessionTags);
    s.ftpService = ReadFlag(ini, kFtpService);
    s.ftpsService = ReadFlag(ini, kFtpsService);
    return s;
}

void CFtpServer::LoadSettings(CServerEventSink* sink) {
    if (settingsLoaded_) return;
    ApplySettings(ReadServerSettings(CIniFile(SettingsPath(programDir_))), sink);
}

void CFtpServer::ApplySettings(const ServerSettings& s, CServerEventSink* sink) {
    sink_ = sink;
    saveLog_ = s.saveLog;
    SetFilterMode(s.filterMode);
    SetPort(s.port);
    SetSslPort(s.tlsPort);
    SetListenAddress(s.listenAddress);
    SetMaxUsers(s.maxUsers);
    SetTimeout(s.timeout);
    SetPassivePorts(s.minPort, s.maxPort);
    if (EqualsNoCase(s.passiveIp, "Internet"))
        StartAddressLookup();
    else
        SetPassiveAddress(s.passiveIp);
    SetLoginFailDelay(s.loginFailDelay);
    SetMaxLoginFails(s.maxLoginFails);
    SetBanAfterFails(s.banAfterFails);
    SetBanMinutes(s.banMinutes);
    SetAccountFailLimit(s.accountFailLimit);
    SetAccountLockMinutes(s.accountLockMinutes);
    SetLoginTimeout(s.loginTimeout);
    SetMaxPerIp(s.maxPerIp);
    SetForceTls(s.forceTls);
    SetLogSessionTags(s.logSessionTags);
    ftpService_ = s.ftpService;
    ftpsService_ = s.ftpsService;

    // The log first: what the steps below report goes to the program directory's day file.
    log_.SetBaseDirectory(programDir_);
    log_.SetErrorReporter(ReportLogFileError);
    // The service host opens the day's file even without Savelog (an empty file shows that it ran); the
    // desktop program makes no log directory unless it saves the log.
    if (saveLog_ || serviceWindow_) log_.OpenForToday(Now());
    settingsLoaded_ = true;

    LoadIpLists();

    CAccountStore(programDir_).ExpirySweep(Now());
    // Uploads and moves cut short by a crash left their hidden files behind.
    for (const std::string& dir : ServedDirectories(programDir_)) SweepHiddenFiles(dir);
    WarnReadableTables();
}

ServerSettings CFtpServer::AppliedSettings() const {
    ServerSettings s;
    s.saveLog = saveLog_;
    s.filterMode = filterMode_;
    s.port = port_;
    s.tlsPort = sslPort_;
    s.listenAddress = listenAddress_;
    s.maxUsers = maxUsers_;
    s.timeout = timeout_;
    GetPassivePorts(s.minPort, s.maxPort);
    s.passiveIp = GetPassiveAddress();
    s.loginFailDelay = loginFailDelay_;
    s.maxLoginFails = maxLoginFails_;
    s.banAfterFails = banAfterFails_;
    s.banMinutes = banMinutes_;
    s.accountFailLimit = accountFailLimit_;
    s.accountLockMinutes = accountLockMinutes_;
    s.loginTimeout = loginTimeout_;
    s.maxPerIp = maxPerIp_;
    s.forceTls = forceTls_;
    s.logSessionTags = logSessionTags_;
    s.ftpService = ftpService_;
    s.ftpsService = ftpsService_;
    return s;
}

void CFtpServer::WarnReadableTables() {
    std::vector<DirEntry> entries;
    ListDirectory(programDir_, entries);
    for (const DirEntry& e : entries)
        if (!e.isDirectory && e.name.ends_with(".sdb") && IsReadableByOthers(programDir_ + e.name))
            Notify(EventLevel::EVENT, "%s is readable by other users.", programDir_ + e.name);
}

void CFtpServer::LoadIpLists() {
    const std::string acceptText = ReadSmallFile(programDir_ + kAcceptListFile);
    const std::string rejectText = ReadSmallFile(programDir_ + kRejectListFile);
    // An entry that is no address pattern matches nobody: said once, so a deny list that lets everyone
    // in is seen.
    const std::pair<const char*, const std::string*> lists[] = {{kAcceptListFile, &acceptText},
                                                                 {kRejectListFile, &rejectText}};
    for (const auto& [name, text] : lists)
        for (const std::string& entry : IgnoredListEntries(*text))
            Notify(EventLevel::EVENT, "IP list %s: ignored entry \"%s\".", name, entry);
    SetFilterLists(acceptText, rejectText);
}

}  // namespace tw
