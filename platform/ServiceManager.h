// The running service's side of systemd: state reports over NOTIFY_SOCKET (sd_notify).
#pragma once

#include <string>

namespace tw {

// True when systemd started this process as a service (NOTIFY_SOCKET or INVOCATION_ID is set).
bool StartedByServiceManager();

// Sends newline-separated assignments ("READY=1", "STATUS=...") to the service manager; false when there
// is no notification socket or the report fails.
bool NotifyServiceManager(const std::string& state);

}  // namespace tw
