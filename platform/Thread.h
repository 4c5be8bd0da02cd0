// Threads with small stacks (a thousand connection threads cost little memory) and a completion flag
// that a thread waiting while dispatching can poll.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>

#include "platform/MessageLoop.h"

namespace tw {

struct ThreadExit {
    std::atomic<bool> ended{false};
    std::atomic<ThreadId> tid{0};
};

// Starts a detached thread running `body`. The returned record gets the thread's id before `body`
// runs and `ended` after it returned; `notify`, when given, wakes its loop then. nullptr when no thread
// could be created.
std::shared_ptr<ThreadExit> StartThread(std::function<void()> body, size_t stackBytes = 256 * 1024,
                                        std::shared_ptr<Waker> notify = nullptr);

}  // namespace tw
