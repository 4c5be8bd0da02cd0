#include "service/SystemdUnit.h"

#include <chrono>
#include <cstdlib>

#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr auto kSystemctlLimit = std::chrono::seconds(90);

std::string EnvironmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

}  // namespace

std::string QuoteUnitValue(const std::string& value) {
    static const char* hex = "0123456789abcdef";
    std::string quoted = "\"";
    for (unsigned char c : value) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c == '%') {
            quoted += "%%";
        } else if (IsControlByte(c)) {
            quoted += "\\x";
            quoted += hex[c >> 4];
            quoted += hex[c & 15];
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

std::string BuildUnitText(const std::string& programPath, const std::string& programDir) {
    if (programPath.empty()) return {};
    for (unsigned char c : programPath)
        if (c == '"' || c == '\'' || c == '\\' || IsControlByte(c)) return {};
    // Hardening that leaves the served directories (anywhere, home directories included) reachable.
    return "[Unit]\n"
           "Description=Tarnwick FTP Service\n"
           "After=network.target\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" + QuoteUnitValue(programPath) + "\n"
           "Environment=" + QuoteUnitValue("TARNWICK_HOME=" + programDir) + "\n"
           "Restart=on-failure\n"
           "LimitNOFILE=65536\n"
           "NoNewPrivileges=yes\n"
           "PrivateTmp=yes\n"
           "ProtectKernelTunables=yes\n"
           "ProtectKernelModules=yes\n"
           "ProtectControlGroups=yes\n"
           "RestrictSUIDSGID=yes\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

CSystemctl::CSystemctl()
    : unitDir_(EnvironmentOr("TARNWICK_UNIT_DIR", "/etc/systemd/system")),
      program_(EnvironmentOr("TARNWICK_SYSTEMCTL", "systemctl")) {}

std::string CSystemctl::UnitPath() const { return JoinPath(unitDir_, kUnitName); }

bool CSystemctl::Run(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{program_};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult result = RunProcess(argv, kSystemctlLimit);
    return result.finished && result.exitCode == 0;
}

std::string CSystemctl::ActiveState() const {
    // is-active exits non-zero for every state but "active"; its output is what counts.
    ProcessResult result = RunProcess({program_, "is-active", kUnitName}, kSystemctlLimit);
    return result.finished ? std::string(Trim(result.output)) : std::string();
}

}  // namespace tw
