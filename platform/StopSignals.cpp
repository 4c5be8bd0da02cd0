#include "platform/StopSignals.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/MessageLoop.h"

namespace tw {

namespace {

sigset_t StopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void BlockStopSignals() {
    sigset_t set = StopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool WatchStopSignals(MessageLoop& loop, std::function<void(int)> onSignal) {
    sigset_t set = StopSet();
    int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) return false;
    // The descriptor lives as long as the process.
    loop.WatchFd(fd, FD_READ, [fd, onSignal = std::move(onSignal)](unsigned) {
        signalfd_siginfo info;
        while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) onSignal(static_cast<int>(info.ssi_signo));
    });
    return true;
}

}  // namespace tw
