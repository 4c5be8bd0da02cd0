#include "platform/File.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tw {

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
    UniqueFd file(fd);
    // Only regular files are transferred: a FIFO or device would block the connection thread.
    FileStatus status;
    int error = !StatFile(fd, status) ? errno : status.IsRegular() ? 0 : EINVAL;
    if (error != 0) {
        lastError_ = error;
        return false;
    }
    fd_ = std::move(file);
    return true;
}

void CFile::Close() { fd_.Reset(); }

long CFile::ReadAt(void* buffer, size_t length, uint64_t offset) {
    int64_t n = ReadFullAt(fd_.Get(), static_cast<int64_t>(offset), buffer, length);
    if (n < 0) lastError_ = errno;
    return static_cast<long>(n);
}

bool CFile::Write(const void* data, size_t length) {
    if (WriteFull(fd_.Get(), data, length)) return true;
    lastError_ = errno;
    return false;
}

bool CFile::SeekToEnd() {
    if (lseek(fd_.Get(), 0, SEEK_END) >= 0) return true;
    lastError_ = errno;
    return false;
}

bool CFile::SetLength(uint64_t length) {
    // Cutting an empty file to 0 changes nothing but makes some file systems flush the whole new
    // content when it is closed.
    if (length == 0 && Size() == 0) return true;
    if (TruncateFile(fd_.Get(), static_cast<int64_t>(length))) return true;
    lastError_ = errno;
    return false;
}

int64_t CFile::Size() {
    FileStatus status;
    if (StatFile(fd_.Get(), status)) return status.size;
    lastError_ = errno;
    return -1;
}

long CFile::SendTo(int socketFd, uint64_t offset, size_t count) {
    off_t at = static_cast<off_t>(offset);
    for (;;) {
        ssize_t n = sendfile(socketFd, fd_.Get(), &at, count);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        lastError_ = errno == EWOULDBLOCK ? EAGAIN : errno;
        return -1;
    }
}

int CFile::CopyFrom(CFile& source) {
    // copy_file_range works across file systems (kernel 5.19 and later); sendfile where it does not.
    for (bool fallback = false;;) {
        ssize_t n = fallback ? sendfile(fd_.Get(), source.fd_.Get(), nullptr, 1 << 30)
                             : copy_file_range(source.fd_.Get(), nullptr, fd_.Get(), nullptr, 1 << 30, 0);
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

bool CFile::TryLock() {
    if (TryLockFile(fd_.Get(), LockKind::EXCLUSIVE)) return true;
    lastError_ = errno;
    return false;
}

bool CFile::HasName() {
    FileStatus status;
    if (StatFile(fd_.Get(), status)) return status.links > 0;
    lastError_ = errno;
    return false;
}

int CFile::Permissions() {
    FileStatus status;
    if (StatFile(fd_.Get(), status)) return static_cast<int>(status.mode & 07777);
    lastError_ = errno;
    return -1;
}

bool CFile::SetPermissions(int mode) {
    if (fchmod(fd_.Get(), static_cast<mode_t>(mode)) == 0) return true;
    lastError_ = errno;
    return false;
}

}  // namespace tw
