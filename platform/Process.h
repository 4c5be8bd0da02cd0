// Running a helper program (systemctl) to its end, bounded in time; the process's own limits.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tw {

struct ProcessResult {
    bool finished = false;  // started and exited within the limit
    int exitCode = -1;      // exit status when finished; -1 when killed by a signal
    std::string output;     // standard output, at most 64 KiB
};

// Runs argv[0] (looked up in PATH when it holds no "/") with argv, standard input from /dev/null, standard
// error inherited. A child still running after `limit` is killed (it is ours) and reported unfinished.
ProcessResult RunProcess(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

// Raises the soft descriptor limit to the hard one.
void RaiseDescriptorLimit();

}  // namespace tw
