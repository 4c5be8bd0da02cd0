#include "platform/DirectoryList.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace tw {

namespace {

void Fill(DirEntry& e, const struct stat& st) {
    e.isDirectory = S_ISDIR(st.st_mode);
    e.size = e.isDirectory ? 0 : static_cast<uint64_t>(st.st_size);
    e.lastWrite = st.st_mtime;
}

bool IsDots(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// Reads the open directory `d` and closes it. Every entry is looked at without following it;
// `follow(dirFd, name, st)` then replaces a link's facts with its target's (false leaves the link out).
using FollowLink = std::function<bool(int dirFd, const char* name, struct stat& st)>;

void ReadEntries(DIR* d, std::vector<DirEntry>& entries, const FollowLink& follow) {
    int dfd = dirfd(d);
    while (dirent* de = readdir(d)) {
        if (IsDots(de->d_name)) continue;
        DirEntry e;
        struct stat st;
        if (fstatat(dfd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        e.isLink = S_ISLNK(st.st_mode);
        if (e.isLink && !follow(dfd, de->d_name, st)) continue;
        e.name = de->d_name;
        Fill(e, st);
        entries.push_back(std::move(e));
    }
    closedir(d);
}

// The directory opened beneath its root, as a directory stream; null when it cannot be.
DIR* OpenBeneathDir(const PathBeneath& dir) {
    int fd = OpenBeneath(dir, O_RDONLY | O_DIRECTORY);
    if (fd < 0) return nullptr;
    DIR* d = fdopendir(fd);
    if (!d) close(fd);
    return d;
}

}  // namespace

bool ListDirectory(const std::string& dir, std::vector<DirEntry>& entries) {
    DIR* d = opendir(dir.c_str());
    if (!d) return false;
    ReadEntries(d, entries, [](int dfd, const char* name, struct stat& st) { return fstatat(dfd, name, &st, 0) == 0; });
    return true;
}

bool ListDirectory(const PathBeneath& dir, std::vector<DirEntry>& entries) {
    DIR* d = OpenBeneathDir(dir);
    if (!d) return false;
    ReadEntries(d, entries, [&](int, const char* name, struct stat& st) {
        int fd = OpenBeneath(dir.Child(name), O_PATH);
        if (fd == -EXDEV) return true;  // it leads out: the link's own facts
        if (fd < 0) return false;
        bool found = fstat(fd, &st) == 0;
        close(fd);
        return found;
    });
    return true;
}

namespace {

// Beneath the walked directory, so that a directory swapped for a link meanwhile leads the walk nowhere.
bool VisitBelow(const PathBeneath& dir, int depth, const std::function<void(const PathBeneath&, const DirEntry&)>& visit) {
    std::vector<DirEntry> entries;
    if (depth > kWalkDepth || !ListDirectory(dir, entries)) return false;
    for (const DirEntry& e : entries) {
        if (e.isLink) continue;
        if (e.isDirectory)
            VisitBelow(dir.Child(e.name), depth + 1, visit);
        else
            visit(dir, e);
    }
    return true;
}

}  // namespace

bool VisitFilesBelow(const PathBeneath& dir, const std::function<void(const PathBeneath&, const DirEntry&)>& visit) {
    return VisitBelow(dir, 0, visit);
}

bool ListNames(const PathBeneath& dir, std::vector<std::string>& names) {
    DIR* d = OpenBeneathDir(dir);
    if (!d) return false;
    while (dirent* de = readdir(d))
        if (!IsDots(de->d_name)) names.emplace_back(de->d_name);
    closedir(d);
    return true;
}

bool FindEntry(const PathBeneath& path, DirEntry& entry) {
    int fd = OpenBeneath(path, O_PATH);
    if (fd < 0) return false;
    struct stat st;
    bool found = fstat(fd, &st) == 0;
    close(fd);
    if (!found) return false;
    entry.isLink = false;
    entry.name = path.rel.empty() ? path.root.substr(path.root.find_last_of('/') + 1) : path.Name();
    Fill(entry, st);
    return true;
}

}  // namespace tw
