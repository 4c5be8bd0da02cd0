#include "service/ServiceBase.h"

#include <fmt/format.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "engine/Messages.h"
#include "engine/ServerSettings.h"
#include "platform/Autostart.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/ProgramDir.h"
#include "platform/ServiceManager.h"
#include "platform/StopSignals.h"
#include "platform/SystemLog.h"
#include "service/SystemdUnit.h"

namespace tw {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(1000);
constexpr int kMaxPolls = 120;  // a unit pending for two minutes is taken as stuck
constexpr size_t kMaxEventText = 255;

// Queries the unit's state every second while it is `pending`; returns the state reached.
std::string WaitWhile(const CSystemctl& systemctl, const std::string& pending) {
    std::string state = systemctl.ActiveState();
    for (int polls = 0; state == pending && polls < kMaxPolls; ++polls) {
        std::this_thread::sleep_for(kPollInterval);
        state = systemctl.ActiveState();
    }
    return state;
}

}  // namespace

CServiceBase::CServiceBase(std::string name, CServiceLogFile& log) : name_(std::move(name)), log_(log) {}

CServiceBase::~CServiceBase() { CloseNotifyWindow(); }

int CServiceBase::ParseCommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) line += (i > 1 ? " " : "") + std::string(argv[i]);
    for (size_t i = 0; i + 1 < line.size(); ++i) {
        if (line[i] != '-' && line[i] != '/') continue;
        switch (line[i + 1]) {
            case 'i': return InstallService();
            case 'u': return UninstallService();
            case 's': return StartInstalledService();
            case 'e': return StopInstalledService();
            default: break;
        }
    }
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-f") == 0) return RunForeground();
    return RegisterService();
}

// ---- switches ----

int CServiceBase::InstallService() {
    CSystemctl systemctl;
    const std::string unit = systemctl.UnitPath();
    if (PathExists(unit)) return 1;
    if (!IsWritableDirectory(systemctl.UnitDirectory())) {
        ReportError("Couldn't open service manager");
        return 0;
    }
    const std::string dir = ProgramDirectory(), text = BuildUnitText(ProgramPath(), dir);
    if (text.empty() || WriteFileReplacing(unit, text) != 0) {
        ReportError("Couldn't create service");
        return 0;
    }
    if (!systemctl.Run({"daemon-reload"}) || !systemctl.Run({"enable", kUnitName})) {
        // Never left half-installed: without the unit the next -i starts afresh.
        RemoveFile(unit);
        systemctl.Run({"daemon-reload"});
        ReportError("Couldn't create service");
        return 0;
    }
    ReportInfo("Service succesfully installed");

    // The service serves from now on: the desktop program neither starts at logon nor starts the server.
    CIniFile ini(SettingsPath(dir));
    WriteFlag(ini, keys::kAutoActive, false);
    WriteFlag(ini, keys::kStartup, false);
    RemoveAutostartEntry(kAdminAutostartName);
    return 1;
}

int CServiceBase::UninstallService() {
    CSystemctl systemctl;
    const std::string unit = systemctl.UnitPath();
    if (!PathExists(unit)) return 1;
    if (!IsWritableDirectory(systemctl.UnitDirectory())) {
        ReportError("Couldn't open service manager");
        return 0;
    }
    systemctl.Run({"stop", kUnitName});  // a stopped or failed unit is removed as well
    if (!systemctl.Run({"disable", kUnitName}) || RemoveFile(unit) != 0) {
        ReportError("Service could not be deleted");
        return 0;
    }
    systemctl.Run({"daemon-reload"});
    ReportInfo("Service succesfully uninstalled");
    return 1;
}

int CServiceBase::StartInstalledService() {
    CSystemctl systemctl;
    if (!PathExists(systemctl.UnitPath()) || !systemctl.Run({"start", "--no-block", kUnitName})) return 0;
    return WaitWhile(systemctl, "activating") == "active" ? 1 : 0;
}

int CServiceBase::StopInstalledService() {
    CSystemctl systemctl;
    // Like a stop control, refused by a unit that is not running.
    if (!PathExists(systemctl.UnitPath()) || systemctl.ActiveState() != "active") return 0;
    if (!systemctl.Run({"stop", "--no-block", kUnitName})) return 0;
    return WaitWhile(systemctl, "deactivating") == "inactive" ? 1 : 0;
}

// ---- running ----

int CServiceBase::RegisterService() {
    if (!StartedByServiceManager()) {
        LogEvent("The service process could not connect to the service manager.");
        std::fputs("tarnsvc: not started by systemd; use -i to install the service or -f to run in the foreground\n",
                   stderr);
        return 0;
    }
    managed_ = true;
    return ServiceMain();
}

int CServiceBase::RunForeground() {
    foreground_ = true;
    return ServiceMain();
}

int CServiceBase::ServiceMain() {
    // The stop control: SIGTERM (systemd, kill) and SIGINT (Ctrl-C) reach this thread's loop.
    if (!WatchStopSignals(Loop(), [this](int) {
            state_ = State::STOP_PENDING;
            OnStop();
        })) {
        LogEvent("Handler not installed");
        return 1;
    }
    SetStatus(State::START_PENDING, std::chrono::milliseconds(3000));
    int code = Run();
    SetStatus(State::STOPPED, std::chrono::milliseconds(3000));
    return code;
}

void CServiceBase::SetStatus(State state, std::chrono::milliseconds waitHint) {
    state_ = state;
    if (!managed_) return;
    std::string report;
    switch (state) {
        case State::START_PENDING: report = "STATUS=Starting"; break;
        case State::RUNNING: report = "READY=1\nSTATUS=Running"; break;
        case State::STOP_PENDING:
            report = fmt::format("STOPPING=1\nEXTEND_TIMEOUT_USEC={}\nSTATUS=Stopping",
                                 std::chrono::duration_cast<std::chrono::microseconds>(waitHint).count());
            break;
        case State::STOPPED: report = "STATUS=Stopped"; break;
    }
    if (!NotifyServiceManager(report)) {
        LogEvent("SetServiceStatus() failed");
        return;
    }
    if (state == State::RUNNING) LogEvent("Service started");
    if (state == State::STOPPED) LogEvent("Service stopped");
}

int CServiceBase::Run() {
    LogEvent("Service started");
    return 0;
}

void CServiceBase::OnStop() { LogEvent("Service stopped"); }
void CServiceBase::OnPause() { LogEvent("Service paused"); }
void CServiceBase::OnContinue() { LogEvent("Service continued"); }
void CServiceBase::OnShutdown() { LogEvent("Service shutdown"); }

// ---- logs ----

void CServiceBase::LogMessage(const std::string& text) {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    {
        std::lock_guard lock(queueMutex_);
        queue_.push_back({std::chrono::system_clock::to_time_t(now), static_cast<int>(ms), text});
        if (windowOpen_) {
            Post(WM_SERVICE_LOG);
            return;
        }
    }
    WriteQueuedLine();
}

void CServiceBase::WriteQueuedLine() {
    // Written under the lock, so lines reach the file in the order they were queued.
    std::lock_guard lock(queueMutex_);
    if (queue_.empty()) return;
    const LogLine& line = queue_.front();
    log_.Write(FormatServiceLogLine(line.seconds, line.milliseconds, line.text));
    queue_.pop_front();
}

void CServiceBase::OpenNotifyWindow() {
    std::lock_guard lock(queueMutex_);
    windowOpen_ = true;
}

void CServiceBase::CloseNotifyWindow() {
    {
        std::lock_guard lock(queueMutex_);
        windowOpen_ = false;
    }
    // Lines whose WM_SERVICE_LOG will never be handled now.
    for (;;) {
        {
            std::lock_guard lock(queueMutex_);
            if (queue_.empty()) return;
        }
        WriteQueuedLine();
    }
}

void CServiceBase::LogEvent(const std::string& text) { WriteSystemLog(name_, text.substr(0, kMaxEventText)); }

void CServiceBase::ReportInfo(const std::string& text) { std::fprintf(stdout, "%s\n", text.c_str()); }

void CServiceBase::ReportError(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

}  // namespace tw
