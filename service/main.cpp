// tarnsvc: the service host. "-f" runs the service body in the console until SIGINT or SIGTERM.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
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

// Each connection takes four to six descriptors, so the usual soft limit of 1024 would end a busy server
// at about 250 clients; the hard limit is what the administrator allows.
void RaiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::strcmp(argv[1], "-f") != 0) return Usage();
    RaiseDescriptorLimit();
    tw::BlockStopSignals();
    tw::MessageLoop loop;
    tw::CFtpService service(true);
    tw::WatchStopSignals(loop, [&](int) { service.Post(tw::WM_SERVICE_STOP); });
    int code = service.Run();
    if (service.ThreadsRunning()) {
        // A stuck connection thread still uses the server object: end the process with the thread instead
        // of destroying the object under it (or waiting for the thread once more).
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
