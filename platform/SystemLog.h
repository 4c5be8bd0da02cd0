// The system log (syslog, facility daemon), with a seam for tests: when $TARNWICK_SYSLOG_FILE names a file,
// entries are appended there as "identity: text" lines instead.
#pragma once

#include <string>

namespace tw {

// One entry at informational level under `identity`.
void WriteSystemLog(const std::string& identity, const std::string& text, bool error = false);

}  // namespace tw
