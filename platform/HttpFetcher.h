// CHttpFetcher: one HTTP GET per call, each on a worker thread of its own, reported to a notify target
// as WM_MYIP_DONE (wParam the caller's tag, 0 unless given; lParam 0 success / 1 failure). The body of the last finished request
// is kept for the target to read.
//
// Threads: Fetch and the setters on the owning thread; workers touch only the shared state below, under
// its lock. Destruction cancels the running requests and waits a short bounded time for their workers;
// one that still outlives the fetcher finds no target and posts nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "platform/MessageLoop.h"

namespace tw {

constexpr unsigned WM_MYIP_DONE = WM_USER + 100;  // 1124

class CHttpFetcher {
public:
    static constexpr size_t kDefaultBody = 5120;      // read when the reply states no length
    static constexpr size_t kMaxBody = 64 * 1024;     // bound on a stated length

    CHttpFetcher();
    ~CHttpFetcher();
    CHttpFetcher(const CHttpFetcher&) = delete;
    CHttpFetcher& operator=(const CHttpFetcher&) = delete;

    void SetNotifyTarget(MessageTarget* target);
    // Bounds of every request (10 s to connect, 30 s in all unless changed).
    void SetTimeouts(std::chrono::milliseconds connect, std::chrono::milliseconds total);

    // Starts a GET of `url` (http:// or https://) and returns at once. Nothing is posted when the address
    // has no host or there is no notify target.
    void Fetch(const std::string& url, uintptr_t tag = 0);
    // The body of the last request that ended, at most the stated length (kDefaultBody without one).
    std::string Response() const;

private:
    struct Shared {
        std::atomic<bool> cancelled{false};  // polled by running transfers
        std::mutex mutex;                    // guards the fields below
        std::condition_variable ended;       // a worker finished
        MessageTarget* target = nullptr;
        std::string response;
        int running = 0;                     // workers not yet finished
    };
    static void RequestWorker(std::shared_ptr<Shared> shared, std::string url, uintptr_t tag, long connectMs,
                              long totalMs);

    std::shared_ptr<Shared> shared_;
    std::chrono::milliseconds connectTimeout_{10000};
    std::chrono::milliseconds totalTimeout_{30000};
};

// `text` with every byte outside the URL's unreserved set percent-encoded.
std::string UrlEncode(const std::string& text);

}  // namespace tw
