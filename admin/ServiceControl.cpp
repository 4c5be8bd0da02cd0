#include "admin/ServiceControl.h"

#include <fmt/printf.h>

#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "service/SystemdUnit.h"

namespace tw::admin {

namespace {

constexpr const char* kNeedsRoot = "需要管理员权限: 请以root身份运行 %s";

bool IsSafeShellCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("/._-+=:,@%").find(c) != std::string_view::npos;
}

}  // namespace

const char* SwitchArgument(ServiceSwitch which) {
    switch (which) {
        case ServiceSwitch::Install: return "-i";
        case ServiceSwitch::Uninstall: return "-u";
        case ServiceSwitch::Start: return "-s";
        case ServiceSwitch::Stop: return "-e";
    }
    return "";
}

ServiceCommand BuildServiceCommand(ServiceSwitch which, const std::string& toolDir, bool root,
                                   const std::string& pkexec) {
    // The program path is one argument whatever its directory holds: no shell comes between.
    std::vector<std::string> argv{toolDir + "tarnsvc", SwitchArgument(which)};
    if (root) return {argv, {}};
    if (pkexec.empty()) return {{}, fmt::sprintf(kNeedsRoot, ShellLine(argv))};
    argv.insert(argv.begin(), pkexec);
    return {argv, {}};
}

std::string ShellWord(const std::string& word) {
    bool safe = !word.empty();
    for (char c : word) safe = safe && IsSafeShellCharacter(c);
    if (safe) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ShellLine(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& word : argv) line += (line.empty() ? "" : " ") + ShellWord(word);
    return line;
}

ServiceState QueryServiceState() {
    const CSystemctl systemctl;
    return {PathExists(systemctl.UnitPath()), systemctl.ActiveState()};
}

std::string StateText(const ServiceState& state) {
    if (!state.installed) return "服务状态: 未安装";
    if (state.activeState == "active") return "服务状态: 已安装, 正在运行";
    return "服务状态: 已安装, 未运行" + (state.activeState.empty() ? std::string() : " (" + state.activeState + ")");
}

ServiceOutcome RunServiceCommand(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
    ServiceOutcome outcome;
    if (!argv.empty()) {
        outcome.ran = true;
        outcome.result = RunProcess(argv, limit, ErrorOutput::Captured);
    }
    outcome.state = QueryServiceState();
    return outcome;
}

bool SwitchSucceeded(const ProcessResult& result) { return result.finished && result.exitCode == 1; }

std::string FailureText(const std::vector<std::string>& argv, const ProcessResult& result) {
    std::string text = "命令失败: " + ShellLine(argv) + "\n";
    if (!result.finished)
        text += "命令无法启动或没有按时结束";
    else
        text += result.exitCode < 0 ? std::string("被信号终止") : "退出状态: " + std::to_string(result.exitCode);
    const std::string_view output = Trim(result.output);
    if (!output.empty()) text += "\n" + std::string(output);
    return text;
}

}  // namespace tw::admin
