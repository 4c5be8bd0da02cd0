#include "platform/InstanceLock.h"

namespace tw {

bool CInstanceLock::Acquire(const std::string& path) {
    Release();
    UniqueFd fd = OpenFile(path, OpenFor::READ_WRITE_CREATE, 0644);
    if (!fd.IsOpen() || !TryLockFile(fd.Get(), LockKind::EXCLUSIVE)) return false;
    fd_ = std::move(fd);
    return true;
}

}  // namespace tw
