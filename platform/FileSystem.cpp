#include "platform/FileSystem.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Descriptor.h"

namespace tw {

namespace {

// Paths with an embedded NUL would name a different file at the system boundary.
bool Usable(const std::string& path) { return !path.empty() && path.find('\0') == std::string::npos; }

int Result(int rc) { return rc == 0 ? 0 : errno; }

// Writes all of `content` to `fd`; 0 or the errno value.
int WriteAll(int fd, const std::string& content) { return WriteFull(fd, content.data(), content.size()) ? 0 : errno; }

}  // namespace

FileKind KindOf(const std::string& path) {
    struct stat st;
    if (!Usable(path) || stat(path.c_str(), &st) != 0) return FileKind::None;
    if (S_ISDIR(st.st_mode)) return FileKind::Directory;
    if (S_ISREG(st.st_mode)) return FileKind::File;
    return FileKind::Other;
}

bool IsWritableDirectory(const std::string& path) {
    return IsDirectory(path) && access(path.c_str(), W_OK | X_OK) == 0;
}

bool IsReadableByOthers(const std::string& path) {
    struct stat st;
    return Usable(path) && stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

std::string RealPath(const std::string& path) {
    if (!Usable(path)) return {};
    if (char* real = realpath(path.c_str(), nullptr)) {
        std::string resolved(real);
        free(real);
        return resolved;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) return {};  // it exists, yet does not resolve
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    std::string parent = RealPath(slash == 0 ? "/" : path.substr(0, slash));
    return parent.empty() ? parent : JoinPath(parent, path.substr(slash + 1));
}

int64_t EntrySize(const std::string& path) {
    struct stat st;
    if (!Usable(path) || lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

int RemoveFile(const std::string& path) { return Usable(path) ? Result(unlink(path.c_str())) : ENOENT; }

int RenameFile(const std::string& from, const std::string& to) {
    return Usable(from) && Usable(to) ? Result(rename(from.c_str(), to.c_str())) : ENOENT;
}

int CreateFileExclusive(const std::string& path, const std::string& content, int mode) {
    if (!Usable(path)) return ENOENT;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(mode));
    if (fd < 0) return errno;
    int error = WriteAll(fd, content);
    if (close(fd) != 0 && !error) error = errno;
    if (error) unlink(path.c_str());
    return error;
}

int WriteFileReplacing(const std::string& path, const std::string& content) {
    if (!Usable(path)) return ENOENT;
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int error = WriteAll(fd, content);
    if (close(fd) != 0 && !error) error = errno;
    if (!error && rename(tmp.c_str(), path.c_str()) != 0) error = errno;
    if (error) unlink(tmp.c_str());
    return error;
}

}  // namespace tw
