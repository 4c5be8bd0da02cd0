// tarnsvc: the service host. "-f" runs the service body in the console until SIGINT or SIGTERM.
#include <cstdio>
#include <cstring>

#include "engine/Messages.h"
#include "platform/MessageLoop.h"
#include "platform/StopSignals.h"
#include "service/FtpService.h"

namespace {

int Usage() {
    std::fprintf(stderr, "usage: tarnsvc -f    run the service in the foreground (stop with Ctrl-C)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "-f") != 0) return Usage();
    tw::BlockStopSignals();
    tw::MessageLoop loop;
    tw::CFtpService service(true);
    tw::WatchStopSignals(loop, [&](int) { service.Post(tw::WM_SERVICE_STOP); });
    return service.Run();
}
