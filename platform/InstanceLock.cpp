#include "InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

namespace tw {

bool CInstanceLock::Acquire(const std::string& path) {
    Release();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    int rc;
    while ((rc = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void CInstanceLock::Release() {
    if (fd_ >= 0) close(fd_);  // closing drops the lock
    fd_ = -1;
}

}  // namespace tw
