#include "FtpService.h"

#include <cstdio>

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
    server_.StopServer();
    Loop().Quit();
}

void CFtpService::OnMessage(int, const std::string& line) {
    if (!echo_) return;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace tw
