#include "platform/Autostart.h"

#include <cerrno>
#include <cstdlib>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"

namespace tw {

namespace {

// The invoking user's configuration directory; empty when unknown. Under sudo or pkexec the environment is
// not that user's, so only their home counts there.
std::string ConfigDirectory() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/' && !RunThroughElevation()) return xdg;
    const std::string home = InvokingUserHome();
    return home.empty() ? std::string() : home + "/.config";
}

// An Exec argument quoted by the desktop-entry rules: inside double quotes, ", `, $ and \ are escaped;
// the entry format then escapes every \ once more.
std::string QuoteExecArgument(const std::string& arg) {
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$') quoted += "\\\\";
        if (c == '\\') quoted += "\\\\\\";
        quoted += c;
    }
    return quoted + '"';
}

}  // namespace

std::string AutostartEntryPath(const std::string& name) {
    const std::string config = ConfigDirectory();
    return config.empty() ? std::string() : config + "/autostart/" + name + ".desktop";
}

bool WriteAutostartEntry(const std::string& name, const std::string& title, const std::string& program) {
    const std::string config = ConfigDirectory();
    if (config.empty() || !EnsureDirectory(config) || !EnsureDirectory(config + "/autostart")) return false;
    return WriteFileReplacing(AutostartEntryPath(name), "[Desktop Entry]\nType=Application\nName=" + title +
                                                            "\nExec=" + QuoteExecArgument(program) + "\n") == 0;
}

bool RemoveAutostartEntry(const std::string& name) {
    const std::string path = AutostartEntryPath(name);
    if (path.empty()) return true;
    const int error = RemoveFile(path);
    return error == 0 || error == ENOENT;
}

}  // namespace tw
