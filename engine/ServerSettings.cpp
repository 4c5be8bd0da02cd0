// CFtpServer::LoadSettings: option.ini, the IP lists and the daily log file, read once by the service host.
#include <cstdio>

#include "accounts/AccountStore.h"
#include "accounts/AccountTables.h"
#include "engine/FtpServer.h"
#include "engine/HiddenFiles.h"
#include "engine/IpFilter.h"
#include "platform/DirectoryList.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"

namespace tw {

namespace {

void ReportLogFileError(const std::string& fileName) {
    std::fprintf(stderr, "Error in CLogFile::Open(): Cannot create or open file: '%s'\n", fileName.c_str());
}

}  // namespace

void CFtpServer::LoadSettings(CServerEventSink* sink) {
    if (settingsLoaded_) return;
    sink_ = sink;

    CIniFile ini(programDir_ + "option.ini");
    saveLog_ = ini.GetInt("Server", "Savelog", 0) != 0;
    SetFilterMode(ini.GetInt("Server", "FilterMode", 0));
    port_ = ini.GetInt("Server", "port", 21);
    sslPort_ = ini.GetInt("Server", "sslport", 990);
    maxUsers_ = ini.GetInt("Server", "maxusers", 20);
    timeout_ = ini.GetInt("Server", "timeout", 10);
    {
        // stored as read: the service host does not raise MaxPort to MinPort
        std::lock_guard lock(passiveMutex_);
        passiveLow_ = ini.GetInt("Server", "MinPort", 1024);
        passiveHigh_ = ini.GetInt("Server", "MaxPort", 65535);
    }
    updater_ = std::make_unique<CAddressUpdater>(programDir_,
                                                 [this](const std::string& address) { SetPassiveAddress(address); });
    std::string passiveIp = ini.GetString("Server", "PassiveIP");
    if (!EqualsNoCase(passiveIp, "Internet"))
        SetPassiveAddress(passiveIp);
    else
        updater_->StartAddressLookup();
    SetLoginFailDelay(ini.GetInt("Server", "LoginFailDelay", 1000));
    SetMaxLoginFails(ini.GetInt("Server", "MaxLoginFails", 3));
    SetBanAfterFails(ini.GetInt("Server", "BanAfterFails", 10));
    SetBanMinutes(ini.GetInt("Server", "BanMinutes", 10));
    SetAccountFailLimit(ini.GetInt("Server", "AccountFailLimit", kDefaultAccountFailLimit));
    SetAccountLockMinutes(ini.GetInt("Server", "AccountLockMinutes", kDefaultAccountLockMinutes));
    SetLoginTimeout(ini.GetInt("Server", "LoginTimeout", 60));
    SetMaxPerIp(ini.GetInt("Server", "MaxPerIP", 0));
    ftpService_ = ini.GetInt("Server", "ftpservice", 1) != 0;
    ftpsService_ = ini.GetInt("Server", "ftpsservice", 1) != 0;

    LoadIpLists();

    log_.SetBaseDirectory(programDir_);
    log_.SetErrorReporter(ReportLogFileError);
    log_.OpenForToday(std::time(nullptr));
    settingsLoaded_ = true;

    CAccountStore(programDir_).ExpirySweep(std::time(nullptr));
    // Uploads and moves cut short by a crash left their hidden files behind.
    for (const std::string& dir : ServedDirectories(programDir_)) SweepHiddenFiles(dir);
    WarnReadableTables();
}

void CFtpServer::WarnReadableTables() {
    std::vector<DirEntry> entries;
    ListDirectory(programDir_, entries);
    for (const DirEntry& e : entries)
        if (!e.isDirectory && e.name.ends_with(".sdb") && IsReadableByOthers(programDir_ + e.name))
            Notify(0, "%s is readable by other users.", programDir_ + e.name);
}

void CFtpServer::LoadIpLists() {
    const std::string acceptText = ReadSmallFile(programDir_ + "acceptip.txt");
    const std::string rejectText = ReadSmallFile(programDir_ + "rejectip.txt");
    // An entry that is no address pattern matches nobody: said once, so a deny list that lets everyone
    // in is seen.
    const std::pair<const char*, const std::string*> lists[] = {{"acceptip.txt", &acceptText},
                                                                 {"rejectip.txt", &rejectText}};
    for (const auto& [name, text] : lists)
        for (const std::string& entry : IgnoredListEntries(*text))
            Notify(0, "IP list %s: ignored entry \"%s\".", name, entry);
    SetFilterLists(acceptText, rejectText);
}

}  // namespace tw
