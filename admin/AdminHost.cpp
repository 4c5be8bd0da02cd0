#include "admin/AdminHost.h"

#include "admin/AdminTexts.h"
#include "engine/IpFilter.h"
#include "platform/Autostart.h"
#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"
#include "platform/Text.h"

namespace tw::admin {

namespace {

constexpr int kStatsIntervalMs = 5000;

}  // namespace

bool AddAddressToList(std::string& listText, const std::string& address) {
    // Entry matching, as the filter itself does: a plain substring test would find 10.0.0.1 in
    // "10.0.0.12" and silently drop the addition.
    if (AddressListed(listText, address)) return false;
    if (!Trim(listText).empty()) listText += ',';
    listText += address;
    return true;
}

CAdminHost::CAdminHost(CFtpServer& server, CServerEventSink& sink, Clock clock)
    : server_(server),
      sink_(sink),
      clock_(std::move(clock)),
      programDir_(server.ProgramDir()) {
    server_.SetClock(clock_);
}

void CAdminHost::LoadSettings() {
    settings_ = ReadAdminSettings(SettingsPath(programDir_));
    server_.ApplySettings(settings_, &sink_);
    server_.GetFilterLists(acceptList_, rejectList_);
    logDate_ = LocalTimeText(clock_(), "%Y-%m-%d");
}

void CAdminHost::ApplyStartValues() {
    server_.SetWelcome(kWelcomeText);
    server_.SetGoodbye(kGoodbyeText);
    server_.SetStatsInterval(kStatsIntervalMs);
}

bool CAdminHost::StartPlain(int port) {
    server_.SetPort(port);
    ApplyStartValues();
    if (!server_.StartServer()) return false;
    RunAddressLookup();
    return true;
}

bool CAdminHost::StartTls(int port) {
    server_.SetSslPort(port);
    ApplyStartValues();
    if (!server_.StartSslServer()) return false;
    RunAddressLookup();
    return true;
}

bool CAdminHost::AddToList(IpList list, const std::string& address) {
    std::string& text = list == IpList::Allow ? acceptList_ : rejectList_;
    if (!AddAddressToList(text, address)) return false;
    server_.SetFilterLists(acceptList_, rejectList_);
    WriteFileReplacing(programDir_ + (list == IpList::Allow ? kAcceptListFile : kRejectListFile), text);
    return true;
}

bool CAdminHost::LogLine(const std::string& line) {
    if (!settings_.saveLog) return false;
    const std::time_t now = clock_();
    const std::string today = LocalTimeText(now, "%Y-%m-%d");
    const bool newDay = today != logDate_;
    logDate_ = today;
    server_.Log().Write(line, now);
    return newDay;
}

void CAdminHost::UpdateAutostartEntry(const std::string& program) const {
    if (settings_.startup)
        WriteAutostartEntry(kAdminAutostartName, kCaption, program);
    else
        RemoveAutostartEntry(kAdminAutostartName);
}

std::string CAdminHost::ApplyFilter(int mode, const std::string& allowText, const std::string& denyText) {
    settings_.filterMode = mode;
    acceptList_ = allowText;
    rejectList_ = denyText;
    server_.SetFilterMode(mode);
    server_.SetFilterLists(acceptList_, rejectList_);

    std::string unwritten;
    auto note = [&unwritten](bool written, const std::string& path) {
        if (!written && unwritten.empty()) unwritten = path;
    };
    CIniFile ini(SettingsPath(programDir_));
    note(WriteInt(ini, keys::kFilterMode, mode), ini.Path());
    for (const auto& [file, text] : {std::pair{kRejectListFile, &rejectList_}, std::pair{kAcceptListFile, &acceptList_}})
        note(WriteFileReplacing(programDir_ + file, *text) == 0, programDir_ + file);
    return unwritten;
}

}  // namespace tw::admin
