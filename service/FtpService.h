// CFtpService: the service body. Runs the server object on the service thread from option.ini, writes
// its event lines to the service log, and stops it on WM_SERVICE_STOP (a stop signal, or the engine's own
// failure to open the plain listener).
#pragma once

#include "engine/FtpServer.h"
#include "engine/ServerEventSink.h"
#include "platform/InstanceLock.h"
#include "service/ServiceBase.h"

namespace tw {

class CFtpService : public CServiceBase, public CServerEventSink {
public:
    explicit CFtpService(CServiceLogFile& log) : CServiceBase("Tarnwick FTP Service", log) {}

    // Returns the exit code: 0 after a requested stop (or when another instance serves), 1 when the
    // plain listener could not be started.
    int Run() override;
    void OnStop() override;
    // After Run: a connection thread that a stop gave up on still runs and uses the server object.
    bool ThreadsRunning() const { return server_.ThreadsRunning(); }

    void OnMessage(unsigned id, uintptr_t wParam, intptr_t lParam) override;

    void OnMessage(EventLevel level, const std::string& line) override;

private:
    bool failed_ = false;
    CInstanceLock instance_;
    CFtpServer server_;
};

}  // namespace tw
