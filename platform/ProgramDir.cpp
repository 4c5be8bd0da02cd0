#include "platform/ProgramDir.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/Text.h"

namespace tw {

std::string ProgramPath() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

std::string InvokingUserHome() {
    const passwd* user = nullptr;
    if (const char* name = std::getenv("SUDO_USER"); name && *name) {
        user = getpwnam(name);
    } else if (const char* uid = std::getenv("PKEXEC_UID"); uid && *uid) {
        user = getpwuid(static_cast<uid_t>(LeadingDecimal(uid, kAsciiSpace)));
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        return home;
    }
    return user && user->pw_dir ? std::string(user->pw_dir) : std::string();
}

bool RunThroughElevation() {
    const char* sudo = std::getenv("SUDO_USER");
    const char* pkexec = std::getenv("PKEXEC_UID");
    return (sudo && *sudo) || (pkexec && *pkexec);
}

std::string ProgramDirectory() {
    std::string dir;
    if (const char* home = std::getenv("TARNWICK_HOME"); home && *home) {
        dir = home;
    } else {
        dir = ProgramPath();
        if (!dir.empty())
            dir.erase(dir.rfind('/') + 1);
        else
            dir = "./";
    }
    if (dir.back() != '/') dir += '/';
    return dir;
}

bool EnsureDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) {
        struct stat st;
        return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    return false;
}

std::string ReadSmallFile(const std::string& path, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    std::string content(limit, '\0');
    in.read(content.data(), static_cast<std::streamsize>(limit));
    content.resize(static_cast<size_t>(in.gcount()));
    return content;
}

}  // namespace tw
