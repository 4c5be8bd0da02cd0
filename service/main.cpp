// tarnsvc: the service host. "-i", "-u", "-s", "-e" install, remove, start and stop the systemd service;
// without a switch it runs as that service; "-f" runs the service body in the console until SIGINT or
// SIGTERM.
#include <cstdio>
#include <cstdlib>

#include "platform/MessageLoop.h"
#include "platform/Process.h"
#include "platform/ProgramDir.h"
#include "platform/StopSignals.h"
#include "service/FtpService.h"
#include "service/ServiceLog.h"

int main(int argc, char** argv) {
    // Before any thread exists: the stop signals are taken from the service loop's signal descriptor.
    tw::BlockStopSignals();
    // Each connection takes four to six descriptors, so the usual soft limit of 1024 would end a busy
    // server at about 250 clients; the hard limit is what the administrator allows.
    tw::RaiseDescriptorLimit();

    const std::string dir = tw::ProgramDirectory();
    tw::CServiceLogFile log;
    if (tw::ReadLogLevel(dir) != 0 && !log.Open(dir + "ploverService.log"))
        std::fprintf(stderr, "Error in CLogFile::Open(): Cannot create or open file: '%s'\n",
                     (dir + "ploverService.log").c_str());

    tw::MessageLoop loop;
    tw::CFtpService service(log);
    int code = service.ParseCommandLine(argc, argv);
    if (service.ThreadsRunning()) {
        // A stuck connection thread still uses the server object: end the process with the thread instead
        // of destroying the object under it (or waiting for the thread once more).
        std::fflush(nullptr);
        std::_Exit(code);
    }
    return code;
}
