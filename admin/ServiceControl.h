// What the service panel runs and shows: the command line of each tarnsvc switch (directly as root,
// through pkexec otherwise), the outcome of one run and the state of the installed unit.
//
// Threads: RunServiceCommand blocks for as long as the switch runs; the panel calls it off the GUI thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace tw::admin {

enum class ServiceSwitch { Install, Uninstall, Start, Stop };

// "-i", "-u", "-s", "-e".
const char* SwitchArgument(ServiceSwitch which);

struct ServiceCommand {
    std::vector<std::string> argv;  // what to run; empty when it cannot be run from here
    std::string refusal;            // then the message naming the command to run as root
};

// `toolDir`'s tarnsvc (the directory ends in "/") with the switch: run itself when `root`, else through
// `pkexec` (the path of pkexec; empty when there is none, which gives the refusal).
ServiceCommand BuildServiceCommand(ServiceSwitch which, const std::string& toolDir, bool root,
                                   const std::string& pkexec);

// A word as a POSIX shell reads it back: as it is when it holds only safe characters, else in '...'.
std::string ShellWord(const std::string& word);
std::string ShellLine(const std::vector<std::string>& argv);

// The installed unit and its systemd state ("active", "inactive", "failed", ...; empty when unknown).
struct ServiceState {
    bool installed = false;
    std::string activeState;
};
// The unit file of tarnsvc's unit, and `systemctl is-active` on it.
ServiceState QueryServiceState();
// The panel's state line.
std::string StateText(const ServiceState& state);

struct ServiceOutcome {
    bool ran = false;  // a command was given and run
    ProcessResult result;
    ServiceState state;  // read after the command
};
// Runs `argv` (when not empty) within `limit`, its standard error with its output, then reads the state.
ServiceOutcome RunServiceCommand(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

// tarnsvc's exit status is 1 when the switch did its work and 0 when it failed (pkexec's own refusals
// are 126 and 127).
bool SwitchSucceeded(const ProcessResult& result);
// The box shown for a run that did not succeed: the command, its exit status and its output.
std::string FailureText(const std::vector<std::string>& argv, const ProcessResult& result);

}  // namespace tw::admin
