// MessageLoop: one per thread. A queue of messages {target, id, wParam, lParam} and plain tasks, timers
// and fd watches, all dispatched on the loop's own thread through one epoll set.
//
// Threads: a loop is created and run on one thread ("its thread"). Post, Send, PostThreadMessage and Wake
// may be called from any thread; everything else only on the loop's thread. Targets are registered with
// the loop of the thread that creates them and must be destroyed on that thread; messages to a destroyed
// target are dropped, and a Send waiting for one returns false.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <deque>
#include <vector>

namespace tw {

using ThreadId = pid_t;  // operating-system thread id
ThreadId CurrentThreadId();

constexpr unsigned WM_QUIT = 0x0012;
constexpr unsigned WM_USER = 0x0400;

class MessageLoop;

// Receives messages on the thread of the loop it was created on (the engine's "window").
class MessageTarget {
public:
    MessageTarget();  // registers with the current thread's loop
    virtual ~MessageTarget();
    MessageTarget(const MessageTarget&) = delete;
    MessageTarget& operator=(const MessageTarget&) = delete;

    virtual void OnMessage(unsigned id, uintptr_t wParam, intptr_t lParam) = 0;

    // From any thread. Post queues and returns; Send waits until the message has been handled
    // (handled at once when called on the target's own thread) and returns false when it was dropped.
    void Post(unsigned id, uintptr_t wParam = 0, intptr_t lParam = 0);
    bool Send(unsigned id, uintptr_t wParam = 0, intptr_t lParam = 0);
    // A post that need not be handled promptly (running totals): it does not wake a sleeping loop until a
    // batch has gathered, and is handled, in order, whenever the loop next runs.
    void PostLazy(unsigned id, uintptr_t wParam = 0, intptr_t lParam = 0);
    MessageLoop& Loop() const { return *loop_; }

private:
    MessageLoop* loop_;
};

struct Message {
    MessageTarget* target = nullptr;  // nullptr: a thread message
    unsigned id = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

enum FdEvents : unsigned { FD_READ = 1, FD_WRITE = 2, FD_ERROR = 4 };

// Wakes a loop from any thread, also after the loop is gone (it then wakes nobody): it holds its own
// handle on the loop's wake-up descriptor.
class Waker {
public:
    explicit Waker(int fd) : fd_(fd) {}
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    void Wake();

private:
    int fd_;
};

class MessageLoop {
public:
    using TimerId = uint64_t;
    using ThreadMessageHandler = std::function<void(const Message&)>;
    using FdCallback = std::function<void(unsigned events)>;

    MessageLoop();  // binds the loop to the calling thread; one loop per thread
    ~MessageLoop();
    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;

    // The loop of the calling thread, or nullptr.
    static MessageLoop* Current();
    // Posts a thread message to the loop of thread `tid`; false when that thread has no loop.
    static bool PostThreadMessage(ThreadId tid, unsigned id, uintptr_t wParam = 0, intptr_t lParam = 0);

    ThreadId Thread() const { return thread_; }

    // Any thread.
    void PostThread(unsigned id, uintptr_t wParam = 0, intptr_t lParam = 0);
    void PostTask(std::function<void()> task);
    void Wake();
    std::shared_ptr<Waker> GetWaker();

    // Handler of thread messages other than WM_QUIT (which ends Run).
    void SetThreadMessageHandler(ThreadMessageHandler handler) { threadHandler_ = std::move(handler); }
    // True when a thread message with this id is queued.
    bool HasThreadMessage(unsigned id);
    // Removes every queued thread message with this id and returns them in queue order.
    std::vector<Message> TakeThreadMessages(unsigned id);

    // Timers run on the loop's thread; a one-shot timer is gone after it fired.
    TimerId SetTimer(std::chrono::milliseconds period, std::function<void()> callback, bool periodic = true);
    void KillTimer(TimerId id);

    // Level-triggered watches. A callback may unwatch or change any watch, its own included.
    void WatchFd(int fd, unsigned events, FdCallback callback);
    void ModifyFd(int fd, unsigned events);
    void UnwatchFd(int fd);

    // Runs until WM_QUIT or Quit(); returns the quit code (the wParam of WM_QUIT).
    int Run();
    void Quit(int code = 0);
    bool QuitRequested() const { return quit_; }
    int QuitCode() const { return quitCode_; }
    // Forgets a quit request, so that a shutdown can still wait while dispatching; Quit(QuitCode())
    // restores it.
    void ResetQuit() { quit_ = false; }

    // Nested dispatch: handles events until done() is true (returns true) or the time is up or a quit is
    // requested (returns false). The fd watches whose callbacks are running further up this thread's
    // stack are suspended meanwhile, so the handler that waits is never re-entered; except the watch of
    // `liveFd`, whose callback must then cope with being re-entered.
    //
    // Who re-enters what. Timers, posted tasks and thread messages run in every nested wait.
    // - A transfer command's wait for its data connection (CControlSocket::OpenDataConnection) keeps the
    //   control descriptor live: OnReceive runs inside the command handler, but while the session awaits
    //   the data connection it only buffers bytes and dispatches no line, so no handler runs in another.
    //   A thread message (NOTIFY_CLOSE_DATA) may drop the awaited data socket; the wait checks for that.
    // - The passive port's bind retries (CDataSocket::BindPassivePort) and the server's stop wait keep no
    //   descriptor live.
    bool RunFor(std::chrono::milliseconds limit, const std::function<bool()>& done, int liveFd = -1);

    // Embedding in a foreign event loop: PollFd() is readable whenever something is due;
    // DispatchReady() handles everything due without blocking.
    int PollFd() const { return epoll_; }
    void DispatchReady();

private:
    friend class MessageTarget;
    struct Pending {
        Message msg;
        std::function<void()> task;
        struct SendState* send = nullptr;
    };
    struct Watch {
        int fd;
        unsigned events;
        FdCallback callback;
        bool suspended = false;
    };
    struct Timer {
        std::chrono::steady_clock::time_point due;
        std::chrono::milliseconds period;
        bool periodic;
        std::function<void()> callback;
    };

    void Enqueue(Pending p, bool lazy = false);
    bool SendMessage(MessageTarget* target, unsigned id, uintptr_t wParam, intptr_t lParam);
    void Register(MessageTarget* t);
    void Unregister(MessageTarget* t);
    // Waits for at most `timeoutMs` (-1: forever) and handles what is due; false once quit.
    bool DispatchOnce(int timeoutMs);
    void HandleQueue();
    void HandleTimers();
    void ArmTimerFd();
    static unsigned ToEpoll(unsigned events);

    ThreadId thread_;
    int epoll_ = -1;
    int wakeFd_ = -1;
    int timerFd_ = -1;
    bool quit_ = false;
    int quitCode_ = 0;

    std::mutex mutex_;  // guards queue_, targets_ and wakePending_
    std::deque<Pending> queue_;
    bool wakePending_ = false;  // the wake-up descriptor has been signalled and not yet read
    std::unordered_set<MessageTarget*> targets_;

    ThreadMessageHandler threadHandler_;
    uint64_t nextSerial_ = 1;
    std::unordered_map<int, uint64_t> serialOfFd_;
    std::unordered_map<uint64_t, Watch> watches_;  // by serial, so a reused fd number never gets stale events
    std::vector<uint64_t> running_;                 // serials whose callbacks are on the stack
    TimerId nextTimer_ = 1;
    std::map<TimerId, Timer> timers_;
};

}  // namespace tw
