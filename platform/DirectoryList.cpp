#include "DirectoryList.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

namespace tw {

namespace {

void Fill(DirEntry& e, const struct stat& st) {
    e.isDirectory = S_ISDIR(st.st_mode);
    e.size = e.isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
    e.lastWrite = st.st_mtime;
}

}  // namespace

bool ListDirectory(const std::string& dir, std::vector<DirEntry>& entries) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    int dfd = dirfd(d);
    while (dirent* de = readdir(d)) {
        if (std::strcmp(de->d_name, ".") == 0 || std::strcmp(de->d_name, "..") == 0) continue;
        struct stat st;
        if (fstatat(dfd, de->d_name, &st, 0) != 0) continue;
        DirEntry e;
        e.name = de->d_name;
        Fill(e, st);
        entries.push_back(std::move(e));
    }
    closedir(d);
    return true;
}

bool ListNames(const std::string& dir, std::vector<std::string>& names) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    while (dirent* de = readdir(d))
        if (std::strcmp(de->d_name, ".") != 0 && std::strcmp(de->d_name, "..") != 0) names.emplace_back(de->d_name);
    closedir(d);
    return true;
}

bool FindEntry(const std::string& path, DirEntry& entry) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    size_t slash = path.find_last_of('/', path.size() > 1 ? path.size() - 2 : 0);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    entry.name = name;
    Fill(entry, st);
    return true;
}

}  // namespace tw
