// Running a helper program (systemctl, tarnsvc) to its end, bounded in time; finding one in PATH; the
// process's own limits and privilege.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tw {

struct ProcessResult {
    bool finished = false;  // started and exited within the limit
    int exitCode = -1;      // exit status when finished; -1 when killed by a signal
    std::string output;     // standard output (and error, when captured), at most 64 KiB
};

enum class ErrorOutput { Inherited, Captured };

// Runs argv[0] (looked up in PATH when it holds no "/") with argv, standard input from /dev/null; standard
// error inherited, or captured into the output in the order written. A child still running after `limit`
// is killed (it is ours) and reported unfinished.
ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                         ErrorOutput errors = ErrorOutput::Inherited);

// The full path of the executable file `name` in a directory of PATH, as a spawn would find it; empty
// when there is none.
std::string FindInPath(const std::string& name);

// True when this process runs with the effective user id 0.
bool RunningAsRoot();

// Raises the soft descriptor limit to the hard one.
void RaiseDescriptorLimit();

}  // namespace tw
