#include "admin/OptionsModel.h"

#include <fmt/printf.h>

#include <algorithm>

#include "engine/SelfSignedCertificates.h"
#include "engine/TlsContext.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Text.h"

namespace tw::admin {

using namespace keys;

namespace {

constexpr const char* kForceTlsChoices[] = {"不强制", "登录须用 TLS", "登录和数据都须用 TLS"};

}  // namespace

const ConnectionLimit kConnectionLimits[9] = {
    {&kMaxUsers, "最大连接数:", 1, 10000, &ServerSettings::maxUsers, &CFtpServer::SetMaxUsers},
    {&kTimeout, "空闲超时(分钟):", 1, 1440, &ServerSettings::timeout, &CFtpServer::SetTimeout},
    {&kMaxPerIp, "每IP最大连接数:", 0, 1000, &ServerSettings::maxPerIp, &CFtpServer::SetMaxPerIp},
    {&kLoginTimeout, "登录超时(秒):", 0, 3600, &ServerSettings::loginTimeout, &CFtpServer::SetLoginTimeout},
    {&kLoginFailDelay, "登录失败延迟(毫秒):", 0, 60000, &ServerSettings::loginFailDelay, &CFtpServer::SetLoginFailDelay},
    {&kMaxLoginFails, "最多登录失败次数:", 0, 100, &ServerSettings::maxLoginFails, &CFtpServer::SetMaxLoginFails},
    {&kBanAfterFails, "失败几次后禁止IP:", 0, 1000, &ServerSettings::banAfterFails, &CFtpServer::SetBanAfterFails},
    {&kBanMinutes, "禁止时间(分钟):", 1, 10080, &ServerSettings::banMinutes, &CFtpServer::SetBanMinutes},
    {&kForceTls, "强制 TLS:", 0, 2, &ServerSettings::forceTls, &CFtpServer::SetForceTls, kForceTlsChoices},
};

COptionsModel::COptionsModel(CAdminHost& host, std::string programPath)
    : host_(host), programPath_(std::move(programPath)) {}

OptionsForm COptionsModel::Form() const {
    const AdminSettings& s = host_.Settings();
    return {std::to_string(s.port), std::to_string(s.tlsPort), std::to_string(s.minPort), std::to_string(s.maxPort),
            s.passiveIp, s.startup, s.minimize, s.autoActive, s.autoActiveTls, s.saveLog};
}

std::optional<int> COptionsModel::ParsePort(const std::string& text) {
    const std::string_view digits = Trim(text);
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
    const int port = LeadingInt(std::string(digits));
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

namespace {

// A port number as typed; what does not parse keeps `current`.
int PortOr(const std::string& text, int current) {
    const std::optional<int> n = COptionsModel::ParsePort(text);
    return n ? *n : current;
}

}  // namespace

bool COptionsModel::WriteCommon(CIniFile& ini, const OptionsForm& form) {
    AdminSettings& s = host_.EditSettings();
    s.startup = form.startup;
    s.autoActive = form.autoActive;
    s.minimize = form.minimize;
    s.saveLog = form.saveLog;
    s.port = PortOr(form.port, s.port);
    s.tlsPort = PortOr(form.tlsPort, s.tlsPort);
    s.minPort = PortOr(form.minPort, s.minPort);
    s.maxPort = PortOr(form.maxPort, s.maxPort);
    s.passiveIp = form.passiveIp;
    host_.UpdateAutostartEntry(programPath_);
    // Every key is tried: one that fails still leaves the others written.
    bool ok = WriteFlag(ini, kStartup, s.startup);
    ok &= WriteFlag(ini, kAutoActive, s.autoActive);
    ok &= WriteFlag(ini, kMinimize, s.minimize);
    ok &= WriteFlag(ini, kSaveLog, s.saveLog);
    ok &= WriteInt(ini, kPort, s.port);
    ok &= WriteInt(ini, kTlsPort, s.tlsPort);
    ok &= WriteInt(ini, kMinPort, s.minPort);
    ok &= WriteInt(ini, kMaxPort, s.maxPort);
    ok &= WriteText(ini, kPassiveIp, s.passiveIp);
    return ok;
}

bool COptionsModel::SaveOptions(const OptionsForm& form) {
    CIniFile ini(IniPath());
    const bool ok = WriteCommon(ini, form);
    host_.Server().SetPassivePorts(host_.Settings().minPort, host_.Settings().maxPort);
    if (EqualsNoCase(form.passiveIp, "Internet"))
        host_.RunAddressLookup();
    else
        host_.Server().SetPassiveAddress(form.passiveIp);
    return ok;
}

bool COptionsModel::SaveTlsOption(const OptionsForm& form) {
    CIniFile ini(IniPath());
    bool ok = WriteCommon(ini, form);
    host_.EditSettings().autoActiveTls = form.autoActiveTls;
    ok &= WriteFlag(ini, kAutoActiveTls, form.autoActiveTls);
    return ok;
}

bool COptionsModel::OpenAddress(const std::string& address) {
    const size_t scheme = address.find("ftp://");
    if (scheme == std::string::npos) return true;
    const std::string rest = address.substr(scheme + 6);
    const size_t at = rest.find('@');
    if (at == std::string::npos || at == 0) return true;
    const std::string info = rest.substr(0, at);
    const size_t colon = info.find(':');
    CIniFile ini(IniPath());
    bool ok = WriteText(ini, kDefaultUser, info.substr(0, colon));
    ok &= WriteText(ini, kDefaultPassword, colon == std::string::npos ? std::string() : info.substr(colon + 1));
    return ok;
}

std::vector<std::string> COptionsModel::AddressList(const std::vector<std::string>& localAddresses) const {
    const CIniFile ini(IniPath());
    std::vector<std::string> list;
    const std::string name = ReadText(ini, kDnsName);
    if (ReadFlag(ini, kDnsEnable) && !name.empty()) list.push_back("http://" + name + "@" + kDnsProviderHost);
    const int port = host_.Settings().port;
    const std::string suffix = port == 21 ? std::string() : fmt::sprintf(":%d", port);
    const std::string user = ReadText(ini, kDefaultUser), password = ReadText(ini, kDefaultPassword);
    for (size_t i = 0; i < localAddresses.size(); ++i) {
        const std::string& address = localAddresses[i];
        list.push_back(fmt::sprintf("ftp://%s%s", address, suffix));
        if (i == 0 && !user.empty())
            list.push_back(password.empty() ? fmt::sprintf("ftp://%s@%s%s", user, address, suffix)
                                            : fmt::sprintf("ftp://%s:%s@%s%s", user, password, address, suffix));
    }
    return list;
}

std::vector<std::string> COptionsModel::PassiveIpList(const std::vector<std::string>& localAddresses) {
    std::vector<std::string> list{"Default", "Internet"};
    list.insert(list.end(), localAddresses.begin(), localAddresses.end());
    return list;
}

int COptionsModel::PassiveIpSelection(const std::vector<std::string>& list) const {
    const std::string& stored = host_.Settings().passiveIp;
    for (size_t i = 0; i < list.size(); ++i)
        if (EqualsNoCase(list[i], stored)) return static_cast<int>(i);
    return 0;
}

int COptionsModel::ConnectionValue(const ConnectionLimit& limit) const { return host_.Settings().*limit.field; }

bool COptionsModel::SaveConnectionValue(const ConnectionLimit& limit, int value) {
    host_.EditSettings().*limit.field = value;
    (host_.Server().*limit.apply)(value);
    CIniFile ini(IniPath());
    return WriteInt(ini, *limit.key, value);
}

CertificateState COptionsModel::Certificates() const {
    const std::string& dir = host_.ProgramDir();
    CertificateState state;
    state.missing = true;
    for (const char* file : {kServerKeyFile, kServerCertFile, kRootCertFile})
        state.missing = state.missing && !PathExists(dir + file);
    if (!state.missing && !CreateServerContext(dir, state.problem)) return state;
    state.problem.clear();
    return state;
}

bool COptionsModel::MakeCertificates(const std::vector<std::string>& hostNames, const std::vector<std::string>& addresses,
                                     std::string& error) const {
    CertificateSubject subject;
    for (const std::string& name : hostNames)
        if (!name.empty() && std::find(subject.dnsNames.begin(), subject.dnsNames.end(), name) == subject.dnsNames.end())
            subject.dnsNames.push_back(name);
    subject.ipAddresses = addresses;
    return MakeSelfSignedCertificates(host_.ProgramDir(), subject, error);
}

}  // namespace tw::admin
