// CRateBudget: the speed limits of accounts, one budget per account and direction, so that parallel
// transfers of one user share the user's limit instead of each having it.
//
// Time runs in one-second windows per budget: a window opens at the first request after the last one
// ended, and every budget grants at most its rate in a window. Fair between connections: in a window a
// connection takes at most rate / (its budget's connections) bytes, so a single transfer gets the whole
// rate. A connection that is refused waits until WindowEnd on its own timer and asks again.
//
// Owned by CFtpServer; used from every connection thread. One lock guards the budgets; a Share is used
// only by the thread of its connection.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace tw {

class CRateBudget {
public:
    using Clock = std::chrono::steady_clock;
    enum class Direction { DOWNLOAD, UPLOAD };

    // One connection's place in the budget of its account (the name in any case) and direction, from
    // construction to destruction; the last one of a budget takes it away.
    class Share {
    public:
        Share(CRateBudget& budget, const std::string& account, Direction direction, uint64_t bytesPerSecond);
        ~Share();
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        // Grants up to `want` bytes of the current window (opening a new one when it is over); 0 when this
        // connection or its account has used up the window.
        uint64_t Take(uint64_t want, Clock::time_point now = Clock::now());
        // Gives back granted bytes that were not moved.
        void Return(uint64_t bytes);
        // When the window of the last Take ends.
        Clock::time_point WindowEnd() const { return windowEnd_; }

    private:
        friend class CRateBudget;
        CRateBudget& budget_;
        std::pair<std::string, Direction> key_;
        uint64_t rate_;
        uint64_t window_ = 0;  // the budget's window that taken_ counts in
        uint64_t taken_ = 0;
        Clock::time_point windowEnd_{};
    };

    // Budgets with connections.
    size_t Size();

private:
    struct Budget {
        int shares = 0;
        uint64_t window = 0;  // numbers the windows; 0: none opened yet
        Clock::time_point start{};
        uint64_t used = 0;  // granted in the current window
    };
    std::mutex mutex_;  // guards budgets_
    std::map<std::pair<std::string, Direction>, Budget> budgets_;
};

}  // namespace tw
