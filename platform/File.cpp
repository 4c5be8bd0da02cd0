#include "File.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tw {

CFile::~CFile() { Close(); }

bool CFile::Open(const PathBeneath& path, Mode mode, int createMode) {
    Close();
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it is refused below.
    int flags = O_NONBLOCK | (mode == READ ? O_RDONLY : O_WRONLY | O_CREAT);
    if (mode == CREATE_NEW) flags |= O_EXCL;
    if (mode == APPEND) flags |= O_APPEND;
    int fd = OpenBeneath(path, flags, createMode);
    if (fd < 0) {
        lastError_ = -fd;
        return false;
    }
    // Only regular files are transferred: a FIFO or device would block the connection thread.
    struct stat st;
    int error = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EINVAL;
    if (error != 0) {
        lastError_ = error;
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void CFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

long CFile::ReadAt(void* buffer, size_t length, uint64_t offset) {
    for (;;) {
        ssize_t n = pread(fd_, buffer, length, static_cast<off_t>(offset));
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        lastError_ = errno;
        return -1;
    }
}

bool CFile::Write(const void* data, size_t length) {
    auto* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::write(fd_, p, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            lastError_ = errno;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool CFile::SeekToEnd() {
    if (lseek(fd_, 0, SEEK_END) >= 0) return true;
    lastError_ = errno;
    return false;
}

bool CFile::SetLength(uint64_t length) {
    // Cutting an empty file to 0 changes nothing but makes some file systems flush the whole new
    // content when it is closed.
    if (length == 0 && Size() == 0) return true;
    int r;
    do r = ftruncate(fd_, static_cast<off_t>(length));
    while (r < 0 && errno == EINTR);
    if (r == 0) return true;
    lastError_ = errno;
    return false;
}

int64_t CFile::Size() {
    struct stat st;
    if (fstat(fd_, &st) == 0) return st.st_size;
    lastError_ = errno;
    return -1;
}

long CFile::SendTo(int socketFd, uint64_t offset, size_t count) {
    off_t at = static_cast<off_t>(offset);
    for (;;) {
        ssize_t n = sendfile(socketFd, fd_, &at, count);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        lastError_ = errno == EWOULDBLOCK ? EAGAIN : errno;
        return -1;
    }
}

int CFile::CopyFrom(CFile& source) {
    // copy_file_range works across file systems (kernel 5.19 and later); sendfile where it does not.
    for (bool fallback = false;;) {
        ssize_t n = fallback ? sendfile(fd_, source.fd_, nullptr, 1 << 30)
                             : copy_file_range(source.fd_, nullptr, fd_, nullptr, 1 << 30, 0);
        if (n > 0) continue;
        if (n == 0) return 0;
        if (errno == EINTR) continue;
        if (!fallback && (errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == ENOSYS)) {
            fallback = true;
            continue;
        }
        return lastError_ = errno;
    }
}

int CFile::Permissions() {
    struct stat st;
    if (fstat(fd_, &st) == 0) return static_cast<int>(st.st_mode & 07777);
    lastError_ = errno;
    return -1;
}

bool CFile::SetPermissions(int mode) {
    if (fchmod(fd_, static_cast<mode_t>(mode)) == 0) return true;
    lastError_ = errno;
    return false;
}

}  // namespace tw
