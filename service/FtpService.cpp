#include "service/FtpService.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/Messages.h"
#include "platform/Text.h"

namespace tw {

int CFtpService::Run() {
    // The single-instance lock: another instance serves from this program directory.
    if (!instance_.Acquire(server_.ProgramDir() + "tarnsvc.lock")) return 0;
    SetStatus(State::START_PENDING, std::chrono::milliseconds(3000));
    OpenNotifyWindow();
    server_.SetServiceWindow(this);
    // Tests shorten the public-address lookup's retry.
    if (const char* retry = std::getenv("TARNWICK_LOOKUP_RETRY_MS")) {
        if (const int ms = Decimal(retry, 6, 999999); ms > 0) server_.SetLookupRetry(std::chrono::milliseconds(ms));
    }
    server_.LoadSettings(this);
    if (!server_.StartServer()) failed_ = server_.FtpServiceEnabled();
    if (!failed_) server_.StartSslServer();
    SetStatus(State::RUNNING, std::chrono::milliseconds(3000));

    Loop().Run();

    LogMessage("Tarnwick FTP Service stopping...");
    CloseNotifyWindow();
    LogMessage("Tarnwick FTP Service stopped.");
    instance_.Release();
    return failed_ ? 1 : 0;
}

void CFtpService::OnStop() { Post(WM_SERVICE_STOP); }

void CFtpService::OnMessage(unsigned id, uintptr_t, intptr_t) {
    if (id == WM_SERVICE_LOG) {
        WriteQueuedLine();
    } else if (id == WM_SERVICE_STOP) {
        SetStatus(State::STOP_PENDING, std::chrono::milliseconds(5000));
        // A second stop arriving while this one waits for its connections finds both servers stopped; its
        // quit takes effect once this stop is complete.
        server_.StopServer();
        server_.StopSslServer();
        Loop().Quit();
    }
}

void CFtpService::OnMessage(EventLevel level, const std::string& line) {
    LogMessage(line);
    if (!Foreground()) return;
    // One call per line, so lines of different threads never mix.
    std::string text = line + '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace tw
