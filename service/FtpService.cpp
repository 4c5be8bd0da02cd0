#include "FtpService.h"

#include <cstdio>
#include <string>

#include "engine/Messages.h"

namespace tw {

int CFtpService::Run() {
    server_.SetServiceWindow(this);
    server_.LoadSettings(this);
    if (!server_.StartServer()) failed_ = server_.FtpServiceEnabled();
    if (!failed_) server_.StartSslServer();
    Loop().Run();
    return failed_ ? 1 : 0;
}

void CFtpService::OnMessage(unsigned id, uintptr_t, intptr_t) {
    if (id != WM_SERVICE_STOP) return;
    // A second stop arriving while this one waits for its connections finds both servers stopped; its
    // quit takes effect once this stop is complete.
    server_.StopServer();
    server_.StopSslServer();
    Loop().Quit();
}

void CFtpService::OnMessage(int, const std::string& line) {
    if (!echo_) return;
    // One call per line, so lines of different threads never mix.
    std::string text = line + '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace tw
