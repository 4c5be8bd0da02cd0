#include "platform/Descriptor.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tw {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);  // never retried: the descriptor is gone even when close reports EINTR
    fd_ = fd;
}

void ShutdownSocket(int fd) { ::shutdown(fd, SHUT_RDWR); }

UniqueFd OpenFile(const std::string& path, OpenFor access, int createMode) {
    int flags = O_CLOEXEC;
    if (access == OpenFor::READ)
        flags |= O_RDONLY;
    else
        flags |= access == OpenFor::READ_WRITE_CREATE ? O_RDWR | O_CREAT : O_RDWR;
    int fd;
    do fd = ::open(path.c_str(), flags, static_cast<mode_t>(createMode));
    while (fd < 0 && errno == EINTR);
    return UniqueFd(fd);
}

int64_t ReadFullAt(int fd, int64_t pos, void* buffer, size_t n) {
    auto* p = static_cast<char*>(buffer);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::pread(fd, p + got, n - got, static_cast<off_t>(pos + static_cast<int64_t>(got)));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(got);
}

namespace {

// Calls `write(p, n)` until every byte is written; a write that takes nothing fails with EIO.
template <typename WriteFn>
bool WriteAll(const void* data, size_t n, WriteFn write) {
    auto* p = static_cast<const char*>(data);
    while (n > 0) {
        ssize_t r = write(p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            if (r == 0) errno = EIO;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

bool WriteFullAt(int fd, int64_t pos, const void* data, size_t n) {
    const auto* start = static_cast<const char*>(data);
    return WriteAll(data, n, [&](const char* p, size_t left) {
        return ::pwrite(fd, p, left, static_cast<off_t>(pos + (p - start)));
    });
}

bool WriteFull(int fd, const void* data, size_t n) {
    return WriteAll(data, n, [&](const char* p, size_t left) { return ::write(fd, p, left); });
}

bool TruncateFile(int fd, int64_t length) {
    int r;
    do r = ::ftruncate(fd, static_cast<off_t>(length));
    while (r < 0 && errno == EINTR);
    return r == 0;
}

bool FileStatus::IsRegular() const { return S_ISREG(mode); }

bool StatFile(int fd, FileStatus& status) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    status.size = st.st_size;
    status.links = st.st_nlink;
    status.device = st.st_dev;
    status.inode = st.st_ino;
    status.mode = st.st_mode;
    return true;
}

bool TryLockFile(int fd, LockKind kind) {
    int r;
    do r = ::flock(fd, (kind == LockKind::SHARED ? LOCK_SH : LOCK_EX) | LOCK_NB);
    while (r != 0 && errno == EINTR);
    return r == 0;
}

}  // namespace tw
