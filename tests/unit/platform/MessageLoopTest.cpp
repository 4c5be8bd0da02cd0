#include "platform/MessageLoop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace tw {
namespace {

class Recorder : public MessageTarget {
public:
    std::vector<unsigned> ids;
    std::function<void(unsigned)> also;
    void OnMessage(unsigned id, uintptr_t, intptr_t) override {
        ids.push_back(id);
        if (also) also(id);
    }
};

// Runs a loop on its own thread; `setup` runs there before the loop starts.
class LoopThread {
public:
    explicit LoopThread(std::function<void(MessageLoop&)> setup = {}) {
        thread_ = std::thread([this, setup] {
            MessageLoop loop;
            if (setup) setup(loop);
            loop_ = &loop;
            ready_ = true;
            code_ = loop.Run();
            loop_ = nullptr;
        });
        while (!ready_) std::this_thread::sleep_for(1ms);
    }
    ~LoopThread() {
        if (thread_.joinable()) Stop();
    }
    MessageLoop& Loop() { return *loop_; }
    int Stop() {
        MessageLoop::PostThreadMessage(tid(), WM_QUIT, 7);
        thread_.join();
        return code_;
    }
    ThreadId tid() { return loop_->Thread(); }

private:
    std::thread thread_;
    std::atomic<bool> ready_{false};
    MessageLoop* loop_ = nullptr;
    int code_ = -1;
};

TEST(MessageLoop, PostedMessagesArriveInOrderAndQuitEndsRunWithItsCode) {
    MessageLoop loop;
    Recorder r;
    r.Post(1);
    r.Post(2);
    loop.PostTask([&] { r.ids.push_back(99); });
    r.Post(3);
    loop.PostThread(WM_QUIT, 5);
    r.Post(4);  // after the quit: not handled by this Run
    EXPECT_EQ(loop.Run(), 5);
    EXPECT_EQ(r.ids, (std::vector<unsigned>{1, 2, 99, 3}));
}

TEST(MessageLoop, SendFromAnotherThreadWaitsUntilHandled) {
    MessageLoop loop;
    Recorder r;
    std::atomic<int> order{0};
    int handledAt = 0, returnedAt = 0;
    r.also = [&](unsigned) {
        std::this_thread::sleep_for(20ms);
        handledAt = ++order;
    };
    std::thread sender([&] {
        EXPECT_TRUE(r.Send(10));
        returnedAt = ++order;
        r.Loop().PostThread(WM_QUIT);
    });
    loop.Run();
    sender.join();
    EXPECT_EQ(handledAt, 1);
    EXPECT_EQ(returnedAt, 2);
}

TEST(MessageLoop, ThreadMessagesByThreadIdAndTakeById) {
    std::vector<uintptr_t> seen;
    LoopThread t([&](MessageLoop& loop) { loop.SetThreadMessageHandler([&](const Message& m) { seen.push_back(m.wParam); }); });
    EXPECT_FALSE(MessageLoop::PostThreadMessage(0, 1));
    ASSERT_TRUE(MessageLoop::PostThreadMessage(t.tid(), 1226, 3));
    EXPECT_EQ(t.Stop(), 7);
    EXPECT_EQ(seen, (std::vector<uintptr_t>{3}));

    MessageLoop loop;
    loop.PostThread(1226, 0);
    loop.PostThread(1300, 9);
    loop.PostThread(1226, 1);
    EXPECT_TRUE(loop.HasThreadMessage(1226));
    auto taken = loop.TakeThreadMessages(1226);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[0].wParam, 0u);
    EXPECT_EQ(taken[1].wParam, 1u);
    EXPECT_FALSE(loop.HasThreadMessage(1226));
    EXPECT_TRUE(loop.HasThreadMessage(1300));
}

TEST(MessageLoop, TimersFireOnceOrPeriodicallyAndCanBeKilledFromTheirCallback) {
    MessageLoop loop;
    int once = 0, periodic = 0;
    loop.SetTimer(10ms, [&] { ++once; }, false);
    MessageLoop::TimerId id = 0;
    id = loop.SetTimer(5ms, [&] {
        if (++periodic == 3) loop.KillTimer(id);
    });
    auto killed = loop.SetTimer(5ms, [&] { ADD_FAILURE() << "killed timer fired"; });
    loop.KillTimer(killed);
    EXPECT_FALSE(loop.RunFor(100ms, [] { return false; }));
    EXPECT_EQ(once, 1);
    EXPECT_EQ(periodic, 3);
}

TEST(MessageLoop, RunForEndsWhenDoneOrAtTheDeadline) {
    MessageLoop loop;
    bool flag = false;
    loop.SetTimer(10ms, [&] { flag = true; }, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(loop.RunFor(2000ms, [&] { return flag; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.RunFor(50ms, [] { return false; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);
}

TEST(MessageLoop, NestedRunForDoesNotReenterTheWaitingWatch) {
    MessageLoop loop;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int depth = 0, maxDepth = 0, calls = 0;
    bool timerFired = false;
    loop.WatchFd(fds[0], FD_READ, [&](unsigned) {
        ++calls;
        maxDepth = std::max(maxDepth, ++depth);
        if (calls == 1) {
            // The fd stays readable; a nested wait must not call this watch again.
            loop.SetTimer(20ms, [&] { timerFired = true; }, false);
            EXPECT_TRUE(loop.RunFor(1000ms, [&] { return timerFired; }));
        } else {
            char c;
            EXPECT_EQ(read(fds[0], &c, 1), 1);
        }
        --depth;
    });
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    loop.RunFor(200ms, [&] { return calls >= 2; });
    EXPECT_EQ(maxDepth, 1);
    EXPECT_GE(calls, 2);  // resumed after the nested wait
    loop.UnwatchFd(fds[0]);
    close(fds[0]);
    close(fds[1]);
}

TEST(MessageLoop, ANestedWaitSeesPostsThatArriveWhileTheOuterRoundHoldsMessages) {
    MessageLoop loop;
    Recorder r;
    bool nestedDone = false;
    std::thread poster;
    loop.PostTask([&] {
        // Message 1 below is still queued for the outer round, so this post does not wake the loop.
        poster = std::thread([&] {
            std::this_thread::sleep_for(20ms);
            r.Post(2);
        });
        auto start = std::chrono::steady_clock::now();
        nestedDone = loop.RunFor(3000ms, [&] { return std::count(r.ids.begin(), r.ids.end(), 2u) > 0; });
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    });
    r.Post(1);
    loop.RunFor(4000ms, [&] { return r.ids.size() == 2; });
    poster.join();
    EXPECT_TRUE(nestedDone);
}

TEST(MessageLoop, LazyPostsKeepTheirOrderAndWakeTheLoopInBatches) {
    MessageLoop loop;
    Recorder r;
    auto wait = [&](size_t n) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(loop.RunFor(3000ms, [&] { return r.ids.size() >= n; }));
        return std::chrono::steady_clock::now() - start;
    };
    // From another thread: lazy posts, then a normal one, which wakes the loop at once.
    std::thread([&] {
        r.PostLazy(1);
        r.PostLazy(2);
        r.Post(3);
    }).join();
    EXPECT_LT(wait(3), 1000ms);
    EXPECT_EQ(r.ids, (std::vector<unsigned>{1, 2, 3}));
    // While the loop sleeps, lazy posts wait for a batch of 64 to wake it.
    r.ids.clear();
    std::thread poster([&] {
        std::this_thread::sleep_for(50ms);
        for (int i = 0; i < 63; ++i) r.PostLazy(7);
        std::this_thread::sleep_for(300ms);
        r.PostLazy(8);
    });
    auto took = wait(1);
    poster.join();
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 2000ms);
    EXPECT_EQ(r.ids.size(), 64u);
}

TEST(MessageLoop, QuitDuringNestedRunForEndsBothLevels) {
    MessageLoop loop;
    bool nestedResult = true;
    loop.PostTask([&] {
        loop.PostThread(WM_QUIT, 3);
        nestedResult = loop.RunFor(5000ms, [] { return false; });
    });
    EXPECT_EQ(loop.Run(), 3);
    EXPECT_FALSE(nestedResult);
}

TEST(MessageLoop, DispatchReadyHandlesWhatThePollFdSignals) {
    MessageLoop loop;
    Recorder r;
    r.Post(42);
    {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(loop.PollFd(), &set);
        timeval tv{1, 0};
        ASSERT_EQ(select(loop.PollFd() + 1, &set, nullptr, nullptr, &tv), 1);
    }
    loop.DispatchReady();
    EXPECT_EQ(r.ids, (std::vector<unsigned>{42}));
}

TEST(MessageLoop, ManyThreadsPostingConcurrentlyLoseNothing) {
    MessageLoop loop;
    Recorder r;
    constexpr int kThreads = 4, kEach = 5000;
    std::vector<std::thread> senders;
    for (int i = 0; i < kThreads; ++i)
        senders.emplace_back([&] {
            for (int j = 0; j < kEach; ++j) r.Post(1);
        });
    for (auto& s : senders) s.join();
    loop.RunFor(5000ms, [&] { return r.ids.size() == kThreads * kEach; });
    EXPECT_EQ(r.ids.size(), static_cast<size_t>(kThreads * kEach));
}

// Leaves exactly `free` descriptor numbers open under a lowered soft limit, and restores it all at the end.
class DescriptorShortage {
public:
    explicit DescriptorShortage(int free) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(HighestOpen() + 1 + free);
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers_.push_back(fd);
        for (int i = 0; i < free && !fillers_.empty(); ++i) {
            close(fillers_.back());
            fillers_.pop_back();
        }
    }
    ~DescriptorShortage() {
        for (int fd : fillers_) close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    // How many descriptors can still be opened (each one opened is closed again).
    static int Available() {
        std::vector<int> taken;
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
        for (int fd : taken) close(fd);
        return static_cast<int>(taken.size());
    }

private:
    static int HighestOpen() {
        int highest = 2;
        for (int fd = 0; fd < 4096; ++fd)
            if (fcntl(fd, F_GETFD) >= 0) highest = fd;
        return highest;
    }
    rlimit saved_{};
    std::vector<int> fillers_;
};

TEST(MessageLoop, ALoopThatCannotGetItsDescriptorsThrowsAndKeepsNoneOfThem) {
    // Three descriptors make a loop; with two free the last one fails.
    DescriptorShortage shortage(2);
    ASSERT_EQ(DescriptorShortage::Available(), 2);
    std::thread t([] {
        EXPECT_THROW(MessageLoop loop, std::system_error);
        EXPECT_EQ(MessageLoop::Current(), nullptr);
    });
    t.join();
    EXPECT_EQ(DescriptorShortage::Available(), 2);
}

}  // namespace
}  // namespace tw
