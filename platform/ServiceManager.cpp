#include "platform/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace tw {

bool StartedByServiceManager() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    return set("NOTIFY_SOCKET") || set("INVOCATION_ID");
}

bool NotifyServiceManager(const std::string& state) { return sd_notify(0, state.c_str()) > 0; }

}  // namespace tw
