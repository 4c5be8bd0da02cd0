#include "FileSystem.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tw {

namespace {

// Paths with an embedded NUL would name a different file at the system boundary.
bool Usable(const std::string& path) { return !path.empty() && path.find('\0') == std::string::npos; }

int Result(int rc) { return rc == 0 ? 0 : errno; }

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

int64_t FileSize(const std::string& path) {
    struct stat st;
    if (!Usable(path) || stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

int SetModifiedTime(const std::string& path, std::time_t time) {
    if (!Usable(path)) return ENOENT;
    const struct timespec times[2] = {{0, UTIME_OMIT}, {time, 0}};
    return Result(utimensat(AT_FDCWD, path.c_str(), times, 0));
}

int64_t EntrySize(const std::string& path) {
    struct stat st;
    if (!Usable(path) || lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

int MakeDirectory(const std::string& path) { return Usable(path) ? Result(mkdir(path.c_str(), 0755)) : ENOENT; }

int RemoveDirectory(const std::string& path) { return Usable(path) ? Result(rmdir(path.c_str())) : ENOENT; }

int RemoveFile(const std::string& path) { return Usable(path) ? Result(unlink(path.c_str())) : ENOENT; }

int WriteFileReplacing(const std::string& path, const std::string& content) {
    if (!Usable(path)) return ENOENT;
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    int error = 0;
    for (size_t done = 0; done < content.size() && !error;) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? EIO : errno;
    }
    if (close(fd) != 0 && !error) error = errno;
    if (!error && rename(tmp.c_str(), path.c_str()) != 0) error = errno;
    if (error) unlink(tmp.c_str());
    return error;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (!Usable(from) || !Usable(to)) return ENOENT;
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL) return errno;
    // File systems without the flag: check, then move (the check and the move are not atomic there).
    if (PathExists(to)) return EEXIST;
    return Result(rename(from.c_str(), to.c_str()));
}

int RenameReplace(const std::string& from, const std::string& to) {
    return Usable(from) && Usable(to) ? Result(rename(from.c_str(), to.c_str())) : ENOENT;
}

void CopyPermissions(const std::string& from, const std::string& to) {
    struct stat st;
    if (Usable(from) && Usable(to) && stat(from.c_str(), &st) == 0) chmod(to.c_str(), st.st_mode & 07777);
}

int CopyFileData(const std::string& from, const std::string& to) {
    if (!Usable(from) || !Usable(to)) return ENOENT;
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (in < 0) return errno;
    int out = open(to.c_str(), O_WRONLY | O_CLOEXEC);
    if (out < 0) {
        int error = errno;
        close(in);
        return error;
    }
    int error = 0;
    struct stat st;
    if (fstat(in, &st) != 0)
        error = errno;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;  // a FIFO or device would block, or never end
    // copy_file_range works across file systems (kernel 5.19 and later); sendfile where it does not.
    for (bool fallback = false; error == 0;) {
        ssize_t n = fallback ? sendfile(out, in, nullptr, 1 << 30) : copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n > 0) continue;
        if (n == 0) break;
        if (errno == EINTR) continue;
        if (!fallback && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS)) {
            fallback = true;
            continue;
        }
        error = errno;
    }
    if (close(out) != 0 && error == 0) error = errno;
    close(in);
    return error;
}

}  // namespace tw
