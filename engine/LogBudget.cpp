#include "engine/LogBudget.h"

#include <utility>

namespace tw {

bool CLogBudget::Admit(const std::string& address, int64_t second) {
    std::lock_guard lock(mutex_);
    Entry& e = entries_.Touch(address);
    if (e.second != second) {
        e.second = second;
        e.lines = 0;
    }
    if (e.lines < kLinesPerSecond) {
        ++e.lines;
        return true;
    }
    if (e.heldBack++ == 0) holding_.push_back(address);
    return false;
}

std::vector<std::pair<std::string, uint64_t>> CLogBudget::TakeHeldBack(int64_t second) {
    std::vector<std::pair<std::string, uint64_t>> held;
    std::lock_guard lock(mutex_);
    for (const std::string& address : holding_)
        if (Entry* e = entries_.Find(address); e && e->heldBack > 0) held.emplace_back(address, std::exchange(e->heldBack, 0));
    holding_.clear();
    // The oldest entries are those of past seconds, which the budget of a new second does not need.
    entries_.DropOldestWhile([second](const std::string&, const Entry& e) { return e.second < second; });
    return held;
}

}  // namespace tw
