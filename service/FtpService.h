// CFtpService: the service body. Runs the server object on the service thread from option.ini and
// stops it on WM_SERVICE_STOP.
#pragma once

#include "engine/FtpServer.h"
#include "engine/ServerEventSink.h"
#include "platform/MessageLoop.h"

namespace tw {

class CFtpService : public CServerEventSink, public MessageTarget {
public:
    // `echo`: event lines are also printed on standard output (the console of the foreground mode).
    explicit CFtpService(bool echo) : echo_(echo) {}

    // Loads the settings, starts the listeners and runs the loop until stopped. Returns the exit code:
    // 0 after a requested stop, 1 when the plain listener could not be started.
    int Run();
    // After Run: a connection thread that a stop gave up on still runs and uses the server object.
    bool ThreadsRunning() const { return server_.ThreadsRunning(); }

    void OnMessage(unsigned id, uintptr_t wParam, intptr_t lParam) override;

    void OnUser(ThreadId, const std::string&, const std::string&) override {}
    void OnDisconnect(ThreadId, const std::string&) override {}
    void OnCommand(ThreadId, const std::string&, const std::string&) override {}
    void OnMessage(int level, const std::string& line) override;
    void OnBytesReceived(uint32_t) override {}
    void OnBytesSent(uint32_t) override {}
    void OnCounter(int, int) override {}

private:
    bool echo_;
    bool failed_ = false;
    CFtpServer server_;
};

}  // namespace tw
