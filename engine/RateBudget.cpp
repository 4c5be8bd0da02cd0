#include "engine/RateBudget.h"

#include <algorithm>

#include "platform/Text.h"

namespace tw {

namespace {

constexpr auto kWindow = std::chrono::seconds(1);

}  // namespace

CRateBudget::Share::Share(CRateBudget& budget, const std::string& account, Direction direction,
                          uint64_t bytesPerSecond)
    : budget_(budget), key_(LowerAscii(account), direction), rate_(bytesPerSecond) {
    std::lock_guard lock(budget_.mutex_);
    ++budget_.budgets_[key_].shares;
}

CRateBudget::Share::~Share() {
    std::lock_guard lock(budget_.mutex_);
    auto it = budget_.budgets_.find(key_);
    if (--it->second.shares == 0) budget_.budgets_.erase(it);
}

uint64_t CRateBudget::Share::Take(uint64_t want, Clock::time_point now) {
    std::lock_guard lock(budget_.mutex_);
    Budget& b = budget_.budgets_.at(key_);
    if (b.window == 0 || now >= b.start + kWindow) {
        ++b.window;
        b.start = now;
        b.used = 0;
    }
    if (window_ != b.window) window_ = b.window, taken_ = 0;
    windowEnd_ = b.start + kWindow;
    const uint64_t share = std::max<uint64_t>(rate_ / static_cast<uint64_t>(b.shares), 1);
    const uint64_t left = std::min(share - std::min(share, taken_), rate_ - std::min(rate_, b.used));
    const uint64_t granted = std::min(want, left);
    taken_ += granted;
    b.used += granted;
    return granted;
}

void CRateBudget::Share::Return(uint64_t bytes) {
    std::lock_guard lock(budget_.mutex_);
    Budget& b = budget_.budgets_.at(key_);
    if (window_ != b.window) return;  // a later window has opened: the bytes belonged to one that is over
    bytes = std::min(bytes, taken_);
    taken_ -= bytes;
    b.used -= std::min(bytes, b.used);
}

size_t CRateBudget::Size() {
    std::lock_guard lock(mutex_);
    return budgets_.size();
}

}  // namespace tw
