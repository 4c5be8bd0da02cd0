// CFtpServer::LoadSettings: option.ini, the IP lists and the daily log file, read once by the service host.
#include <cstdio>

#include "engine/AccountTables.h"
#include "engine/FtpServer.h"
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
    ftpService_ = ini.GetInt("Server", "ftpservice", 1) != 0;
    ftpsService_ = ini.GetInt("Server", "ftpsservice", 1) != 0;

    LoadIpLists();

    log_.SetBaseDirectory(programDir_);
    log_.SetErrorReporter(ReportLogFileError);
    log_.OpenForToday(std::time(nullptr));
    settingsLoaded_ = true;

    ExpirySweep(programDir_, std::time(nullptr));
}

void CFtpServer::LoadIpLists() {
    SetFilterLists(ReadSmallFile(programDir_ + "acceptip.txt"), ReadSmallFile(programDir_ + "rejectip.txt"));
}

}  // namespace tw
