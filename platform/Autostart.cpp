#include "Autostart.h"

#include <cerrno>
#include <cstdlib>

#include "platform/FileSystem.h"
#include "platform/ProgramDir.h"

namespace tw {

namespace {

std::string ConfigDirectory() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') return xdg;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "") + "/.config";
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

std::string AutostartEntryPath(const std::string& name) { return ConfigDirectory() + "/autostart/" + name + ".desktop"; }

bool WriteAutostartEntry(const std::string& name, const std::string& title, const std::string& program) {
    const std::string config = ConfigDirectory();
    if (!EnsureDirectory(config) || !EnsureDirectory(config + "/autostart")) return false;
    return WriteFileReplacing(AutostartEntryPath(name), "[Desktop Entry]\nType=Application\nName=" + title +
                                                            "\nExec=" + QuoteExecArgument(program) + "\n") == 0;
}

bool RemoveAutostartEntry(const std::string& name) {
    const int error = RemoveFile(AutostartEntryPath(name));
    return error == 0 || error == ENOENT;
}

}  // namespace tw
