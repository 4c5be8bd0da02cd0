#include "platform/MessageLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <fcntl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace tw {

namespace {

constexpr uint64_t kWakeSerial = UINT64_MAX;
constexpr uint64_t kTimerSerial = UINT64_MAX - 1;

thread_local MessageLoop* tCurrent = nullptr;

std::mutex gLoopsMutex;
std::unordered_map<ThreadId, MessageLoop*> gLoops;  // guarded by gLoopsMutex

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

ThreadId CurrentThreadId() {
    static thread_local ThreadId tid = gettid();
    return tid;
}

// A Send waiting on another thread's loop.
struct SendState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool handled = false;

    void Complete(bool wasHandled) {
        std::lock_guard lock(mutex);
        handled = wasHandled;
        done = true;
        cv.notify_one();
    }
};

// ---- MessageTarget ----

MessageTarget::MessageTarget() : loop_(MessageLoop::Current()) {
    if (!loop_) throw std::logic_error("MessageTarget created on a thread without a MessageLoop");
    loop_->Register(this);
}

MessageTarget::~MessageTarget() { loop_->Unregister(this); }

void MessageTarget::Post(unsigned id, uintptr_t wParam, intptr_t lParam) {
    loop_->Enqueue({{this, id, wParam, lParam}, {}, nullptr});
}

void MessageTarget::PostLazy(unsigned id, uintptr_t wParam, intptr_t lParam) {
    loop_->Enqueue({{this, id, wParam, lParam}, {}, nullptr}, true);
}

bool MessageTarget::Send(unsigned id, uintptr_t wParam, intptr_t lParam) {
    return loop_->SendMessage(this, id, wParam, lParam);
}

// ---- MessageLoop ----

MessageLoop::MessageLoop() : thread_(CurrentThreadId()) {
    if (tCurrent) throw std::logic_error("a thread has at most one MessageLoop");
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    bool ready = epoll_ >= 0 && wakeFd_ >= 0 && timerFd_ >= 0;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeSerial;
    ready = ready && epoll_ctl(epoll_, EPOLL_CTL_ADD, wakeFd_, &ev) == 0;
    ev.data.u64 = kTimerSerial;
    ready = ready && epoll_ctl(epoll_, EPOLL_CTL_ADD, timerFd_, &ev) == 0;
    if (!ready) {
        // Out of descriptors, typically: the caller survives the exception, so nothing may stay open.
        int error = errno;
        for (int fd : {timerFd_, wakeFd_, epoll_})
            if (fd >= 0) close(fd);
        errno = error;
        ThrowErrno("MessageLoop");
    }
    tCurrent = this;
    std::lock_guard lock(gLoopsMutex);
    gLoops[thread_] = this;
}

MessageLoop::~MessageLoop() {
    {
        std::lock_guard lock(gLoopsMutex);
        gLoops.erase(thread_);
    }
    std::deque<Pending> rest;
    {
        std::lock_guard lock(mutex_);
        rest.swap(queue_);
    }
    for (auto& p : rest)
        if (p.send) p.send->Complete(false);
    tCurrent = nullptr;
    close(timerFd_);
    close(wakeFd_);
    close(epoll_);
}

MessageLoop* MessageLoop::Current() { return tCurrent; }

bool MessageLoop::PostThreadMessage(ThreadId tid, unsigned id, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard lock(gLoopsMutex);
    auto it = gLoops.find(tid);
    if (it == gLoops.end()) return false;
    it->second->PostThread(id, wParam, lParam);
    return true;
}

void MessageLoop::PostThread(unsigned id, uintptr_t wParam, intptr_t lParam) {
    Enqueue({{nullptr, id, wParam, lParam}, {}, nullptr});
}

void MessageLoop::PostTask(std::function<void()> task) { Enqueue({{}, std::move(task), nullptr}); }

namespace {

void Signal(int eventFd) {
    uint64_t one = 1;
    while (write(eventFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace

Waker::~Waker() {
    if (fd_ >= 0) close(fd_);
}

void Waker::Wake() {
    if (fd_ >= 0) Signal(fd_);
}

void MessageLoop::Wake() { Signal(wakeFd_); }

std::shared_ptr<Waker> MessageLoop::GetWaker() { return std::make_shared<Waker>(fcntl(wakeFd_, F_DUPFD_CLOEXEC, 0)); }

void MessageLoop::Enqueue(Pending p, bool lazy) {
    // Lazy posts wake the loop only once this many are queued.
    constexpr size_t kLazyBatch = 64;
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(p));
        if (!wakePending_ && (!lazy || queue_.size() >= kLazyBatch)) wake = wakePending_ = true;
    }
    if (wake) Wake();
}

bool MessageLoop::SendMessage(MessageTarget* target, unsigned id, uintptr_t wParam, intptr_t lParam) {
    if (CurrentThreadId() == thread_) {
        target->OnMessage(id, wParam, lParam);
        return true;
    }
    SendState state;
    Enqueue({{target, id, wParam, lParam}, {}, &state});
    std::unique_lock lock(state.mutex);
    state.cv.wait(lock, [&] { return state.done; });
    return state.handled;
}

void MessageLoop::Register(MessageTarget* t) {
    std::lock_guard lock(mutex_);
    targets_.insert(t);
}

void MessageLoop::Unregister(MessageTarget* t) {
    std::vector<SendState*> dropped;
    {
        std::lock_guard lock(mutex_);
        targets_.erase(t);
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->msg.target == t) {
                if (it->send) dropped.push_back(it->send);
                it = queue_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto* s : dropped) s->Complete(false);
}

bool MessageLoop::HasThreadMessage(unsigned id) {
    std::lock_guard lock(mutex_);
    return std::any_of(queue_.begin(), queue_.end(),
                       [&](const Pending& p) { return !p.task && !p.msg.target && p.msg.id == id; });
}

std::vector<Message> MessageLoop::TakeThreadMessages(unsigned id) {
    std::vector<Message> taken;
    std::lock_guard lock(mutex_);
    for (auto it = queue_.begin(); it != queue_.end();) {
        if (!it->task && !it->msg.target && it->msg.id == id) {
            taken.push_back(it->msg);
            it = queue_.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void MessageLoop::Quit(int code) {
    quit_ = true;
    quitCode_ = code;
}

int MessageLoop::Run() {
    while (!quit_) DispatchOnce(-1);
    return quitCode_;
}

void MessageLoop::DispatchReady() { DispatchOnce(0); }

void MessageLoop::HandleQueue() {
    // Handle what was queued on entry; later arrivals wait for the next round (self-woken below), so a
    // stream of posts cannot starve timers and sockets.
    size_t budget;
    {
        std::lock_guard lock(mutex_);
        budget = queue_.size();
    }
    while (budget-- > 0 && !quit_) {
        Pending p;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) return;
            p = std::move(queue_.front());
            queue_.pop_front();
            if (p.msg.target && !targets_.count(p.msg.target)) {
                if (p.send) p.send->Complete(false);
                continue;
            }
        }
        if (p.task) {
            p.task();
        } else if (p.msg.target) {
            try {
                p.msg.target->OnMessage(p.msg.id, p.msg.wParam, p.msg.lParam);
            } catch (...) {
                if (p.send) p.send->Complete(true);
                throw;
            }
            if (p.send) p.send->Complete(true);
        } else if (p.msg.id == WM_QUIT) {
            Quit(static_cast<int>(p.msg.wParam));
        } else if (threadHandler_) {
            threadHandler_(p.msg);
        }
    }
    std::lock_guard lock(mutex_);
    if (!queue_.empty() && !wakePending_) {
        wakePending_ = true;
        Wake();
    }
}

MessageLoop::TimerId MessageLoop::SetTimer(std::chrono::milliseconds period, std::function<void()> callback,
                                           bool periodic) {
    if (period.count() < 1) period = std::chrono::milliseconds(1);
    TimerId id = nextTimer_++;
    timers_[id] = Timer{std::chrono::steady_clock::now() + period, period, periodic, std::move(callback)};
    ArmTimerFd();
    return id;
}

void MessageLoop::KillTimer(TimerId id) {
    if (timers_.erase(id)) ArmTimerFd();
}

void MessageLoop::ArmTimerFd() {
    itimerspec when{};
    if (!timers_.empty()) {
        auto due = std::min_element(timers_.begin(), timers_.end(), [](auto& a, auto& b) {
                       return a.second.due < b.second.due;
                   })->second.due;
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
        if (ns <= 0) ns = 1;
        when.it_value.tv_sec = ns / 1000000000;
        when.it_value.tv_nsec = ns % 1000000000;
    }
    timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &when, nullptr);
}

void MessageLoop::HandleTimers() {
    auto now = std::chrono::steady_clock::now();
    std::vector<TimerId> due;
    for (auto& [id, t] : timers_)
        if (t.due <= now) due.push_back(id);
    for (TimerId id : due) {
        auto it = timers_.find(id);  // an earlier callback may have killed it
        if (it == timers_.end()) continue;
        auto callback = it->second.callback;
        if (it->second.periodic) {
            it->second.due += it->second.period;
            if (it->second.due <= now) it->second.due = now + it->second.period;
        } else {
            timers_.erase(it);
        }
        callback();
        if (quit_) break;
    }
    ArmTimerFd();
}

unsigned MessageLoop::ToEpoll(unsigned events) {
    unsigned e = 0;
    if (events & FD_READ) e |= EPOLLIN | EPOLLRDHUP;
    if (events & FD_WRITE) e |= EPOLLOUT;
    return e;
}

void MessageLoop::WatchFd(int fd, unsigned events, FdCallback callback) {
    UnwatchFd(fd);
    uint64_t serial = nextSerial_++;
    watches_[serial] = Watch{fd, events, std::move(callback)};
    serialOfFd_[fd] = serial;
    epoll_event ev{};
    ev.events = ToEpoll(events);
    ev.data.u64 = serial;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) < 0) {
        watches_.erase(serial);
        serialOfFd_.erase(fd);
        ThrowErrno("epoll_ctl add");
    }
}

void MessageLoop::ModifyFd(int fd, unsigned events) {
    auto it = serialOfFd_.find(fd);
    if (it == serialOfFd_.end()) return;
    Watch& w = watches_[it->second];
    if (w.events == events) return;
    w.events = events;
    if (w.suspended) return;
    epoll_event ev{};
    ev.events = ToEpoll(events);
    ev.data.u64 = it->second;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
}

void MessageLoop::UnwatchFd(int fd) {
    auto it = serialOfFd_.find(fd);
    if (it == serialOfFd_.end()) return;
    auto w = watches_.find(it->second);
    if (!w->second.suspended) epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    watches_.erase(w);
    serialOfFd_.erase(it);
}

bool MessageLoop::DispatchOnce(int timeoutMs) {
    {
        // Messages can wait without a pending wake: lazy posts, and a nested wait that runs while the
        // outer round still holds queued messages.
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) timeoutMs = 0;
    }
    epoll_event events[64];
    int n = epoll_wait(epoll_, events, 64, timeoutMs);
    if (n < 0) {
        if (errno == EINTR) return !quit_;
        ThrowErrno("epoll_wait");
    }
    bool timersDue = false;
    std::vector<std::pair<uint64_t, unsigned>> ready;
    for (int i = 0; i < n; ++i) {
        uint64_t serial = events[i].data.u64;
        if (serial == kWakeSerial) {
            uint64_t count;
            while (read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
            }
            std::lock_guard lock(mutex_);
            wakePending_ = false;  // posts from now on wake again
        } else if (serial == kTimerSerial) {
            uint64_t count;
            while (read(timerFd_, &count, sizeof count) < 0 && errno == EINTR) {
            }
            timersDue = true;
        } else {
            unsigned e = 0;
            if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) e |= FD_READ;
            if (events[i].events & EPOLLOUT) e |= FD_WRITE;
            if (events[i].events & EPOLLERR) e |= FD_ERROR;
            ready.emplace_back(serial, e);
        }
    }
    HandleQueue();
    for (auto [serial, e] : ready) {
        if (quit_) break;
        auto it = watches_.find(serial);
        if (it == watches_.end() || it->second.suspended) continue;
        unsigned wanted = e & (it->second.events | FD_ERROR);
        if (e & FD_ERROR) wanted |= it->second.events & FD_READ;  // errors surface through the read path
        if (!wanted) continue;
        auto callback = it->second.callback;  // the callback may unwatch itself
        running_.push_back(serial);
        try {
            callback(wanted);
        } catch (...) {
            running_.pop_back();
            throw;
        }
        running_.pop_back();
    }
    if (timersDue && !quit_) HandleTimers();
    return !quit_;
}

bool MessageLoop::RunFor(std::chrono::milliseconds limit, const std::function<bool()>& done, int liveFd) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<uint64_t> suspended;
    for (uint64_t serial : running_) {
        auto it = watches_.find(serial);
        if (it == watches_.end() || it->second.suspended || it->second.fd == liveFd) continue;
        epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
        it->second.suspended = true;
        suspended.push_back(serial);
    }
    bool result;
    for (;;) {
        if (done()) {
            result = true;
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (quit_ || left.count() <= 0) {
            result = false;
            break;
        }
        DispatchOnce(static_cast<int>(left.count()) + 1);
    }
    for (uint64_t serial : suspended) {
        auto it = watches_.find(serial);
        if (it == watches_.end()) continue;
        it->second.suspended = false;
        epoll_event ev{};
        ev.events = ToEpoll(it->second.events);
        ev.data.u64 = serial;
        epoll_ctl(epoll_, EPOLL_CTL_ADD, it->second.fd, &ev);
    }
    return result;
}

}  // namespace tw
