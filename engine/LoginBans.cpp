#include "LoginBans.h"

namespace tw {

bool CLoginBans::RecordFailure(const std::string& address, std::time_t now, int banAfter, std::time_t banSeconds) {
    std::lock_guard lock(mutex_);
    DropStale(now);
    if (banAfter <= 0) return false;  // banning switched off
    Entry& e = entries_[address];
    if (e.bannedUntil > now) return false;
    e.failures.push_back(now);
    while (!e.failures.empty() && (e.failures.front() + kFailureWindow <= now ||
                                   e.failures.size() > static_cast<size_t>(banAfter)))
        e.failures.pop_front();
    if (e.failures.size() < static_cast<size_t>(banAfter)) return false;
    e.failures.clear();
    e.bannedUntil = now + banSeconds;
    return true;
}

void CLoginBans::Clear(const std::string& address) {
    std::lock_guard lock(mutex_);
    entries_.erase(address);
}

bool CLoginBans::IsBanned(const std::string& address, std::time_t now) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(address);
    return it != entries_.end() && it->second.bannedUntil > now;
}

void CLoginBans::DropStale(std::time_t now) {
    std::erase_if(entries_, [now](const auto& item) {
        const Entry& e = item.second;
        return e.bannedUntil <= now && (e.failures.empty() || e.failures.back() + kFailureWindow <= now);
    });
}

}  // namespace tw
