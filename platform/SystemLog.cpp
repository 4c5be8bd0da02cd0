#include "platform/SystemLog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>

namespace tw {

void WriteSystemLog(const std::string& identity, const std::string& text, bool error) {
    if (const char* seam = std::getenv("TARNWICK_SYSLOG_FILE"); seam && *seam) {
        int fd = open(seam, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
        std::string line = identity + ": " + text + "\n";
        ssize_t written = write(fd, line.data(), line.size());  // one call: entries never interleave
        (void)written;
        close(fd);
        return;
    }
    openlog(identity.c_str(), LOG_PID, LOG_DAEMON);
    syslog(error ? LOG_ERR : LOG_INFO, "%s", text.c_str());
    closelog();
}

}  // namespace tw
