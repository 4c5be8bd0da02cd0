#include "ProgramDir.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace tw {

std::string ProgramDirectory() {
    std::string dir;
    if (const char* home = std::getenv("TARNWICK_HOME"); home && *home) {
        dir = home;
    } else {
        char path[PATH_MAX];
        ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        if (n > 0) {
            dir.assign(path, static_cast<size_t>(n));
            dir.erase(dir.rfind('/') + 1);
        } else {
            dir = "./";
        }
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

bool WriteSmallFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return out.write(content.data(), static_cast<std::streamsize>(content.size())).flush().good();
}

}  // namespace tw
