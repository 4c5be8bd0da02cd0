#include "platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/FileSystem.h"

extern char** environ;

namespace tw {

namespace {

constexpr size_t kMaxOutput = 64 * 1024;

int Reap(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit, ErrorOutput errors) {
    ProcessResult result;
    if (argv.empty()) return result;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return result;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (errors == ErrorOutput::Captured) posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    // The child gets the default signal mask: the host blocks SIGTERM and SIGINT for its signal descriptor.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        close(out[0]);
        return result;
    }

    // glibc 2.36 declares pidfd_open without C linkage; the raw call is the same.
    int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    auto deadline = std::chrono::steady_clock::now() + limit;
    bool outputOpen = true, exited = false;
    // Reads what is there; false at the end of the output.
    auto readOutput = [&] {
        char buffer[4096];
        ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got < 0) return errno == EINTR;
        if (got > 0 && result.output.size() < kMaxOutput)
            result.output.append(buffer, std::min(static_cast<size_t>(got), kMaxOutput - result.output.size()));
        return got > 0;
    };
    // Until the child exits: a descendant holding the pipe open does not keep us waiting.
    while (!exited && pidFd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd fds[2] = {{pidFd, POLLIN, 0}, {outputOpen ? out[0] : -1, POLLIN, 0}};
        int n = poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno != EINTR) break;
        if (n <= 0) continue;
        if (fds[1].revents) outputOpen = readOutput();
        if (fds[0].revents) exited = true;
    }
    // What the child wrote before it exited.
    for (pollfd fd{out[0], POLLIN, 0}; exited && outputOpen && poll(&fd, 1, 0) > 0;) outputOpen = readOutput();
    close(out[0]);
    if (pidFd >= 0) close(pidFd);
    if (!exited) {
        kill(pid, SIGKILL);
        Reap(pid);
        return result;
    }
    result.exitCode = Reap(pid);
    result.finished = true;
    return result;
}

std::string FindInPath(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos) return {};
    const char* path = std::getenv("PATH");
    // An unset PATH searches what execvp's default would.
    std::string_view dirs = path ? path : "/bin:/usr/bin";
    while (true) {
        const size_t colon = dirs.find(':');
        const std::string_view dir = dirs.substr(0, colon);
        // An empty entry is the working directory.
        const std::string candidate = JoinPath(dir.empty() ? std::string(".") : std::string(dir), name);
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (colon == std::string_view::npos) return {};
        dirs.remove_prefix(colon + 1);
    }
}

bool RunningAsRoot() { return geteuid() == 0; }

void RaiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace tw
