#include "platform/Thread.h"

#include <pthread.h>

#include <algorithm>
#include <future>

namespace tw {

namespace {

struct Start {
    std::function<void()> body;
    std::shared_ptr<ThreadExit> exit;
    std::shared_ptr<Waker> notify;
    std::promise<void> started;
};

void* Trampoline(void* arg) {
    std::unique_ptr<Start> start(static_cast<Start*>(arg));
    start->exit->tid = CurrentThreadId();
    start->started.set_value();
    start->body();
    start->exit->ended = true;
    if (start->notify) start->notify->Wake();
    return nullptr;
}

}  // namespace

std::shared_ptr<ThreadExit> StartThread(std::function<void()> body, size_t stackBytes, std::shared_ptr<Waker> notify) {
    auto exit = std::make_shared<ThreadExit>();
    auto* start = new Start{std::move(body), exit, std::move(notify), {}};
    auto started = start->started.get_future();
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, std::max<size_t>(stackBytes, PTHREAD_STACK_MIN));
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, Trampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        return nullptr;
    }
    started.wait();  // the id is known before the caller goes on
    return exit;
}

}  // namespace tw
