// A process-wide single-instance lock: an exclusive flock on a lock file, released when the holder ends.
#pragma once

#include <string>

#include "platform/Descriptor.h"

namespace tw {

class CInstanceLock {
public:
    CInstanceLock() = default;
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // Creates the file when missing and takes the lock without waiting. False when another process holds
    // it or the file cannot be opened.
    bool Acquire(const std::string& path);
    void Release() { fd_.Reset(); }  // closing drops the lock

private:
    UniqueFd fd_;
};

}  // namespace tw
