#include "engine/LoginBans.h"

#include <algorithm>

#include "engine/IpFilter.h"

namespace tw {

namespace {

// Login names match without regard to case, so their failures and known addresses do too.
std::string AccountKey(const std::string& name) {
    std::string key = name;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return key;
}

}  // namespace

LoginFailureOutcome CLoginBans::RecordFailure(const std::string& address, const std::string& account, std::time_t now,
                                              const LoginLimits& limits) {
    const std::string key = AccountKey(account);
    LoginFailureOutcome outcome;
    std::lock_guard lock(mutex_);
    DropStale(now);
    if (limits.banAfter > 0) {
        AddressEntry& e = addresses_.Touch(AddressGroup(address));
        if (e.bannedUntil <= now && CountFailure(e.failures, key, now, limits.banAfter)) {
            e.bannedUntil = now + limits.banSeconds;
            outcome.addressBanned = true;
        }
    }
    if (!key.empty() && limits.accountFailLimit > 0) {
        AccountEntry& a = accounts_.Touch(key);
        if (a.lockedUntil <= now && CountFailure(a.failures, address, now, limits.accountFailLimit)) {
            a.lockedUntil = now + limits.accountLockSeconds;
            outcome.accountLocked = true;
        }
    }
    return outcome;
}

void CLoginBans::RecordSuccess(const std::string& address, const std::string& account, std::time_t now) {
    const std::string key = AccountKey(account);
    std::lock_guard lock(mutex_);
    DropStale(now);
    if (AddressEntry* e = addresses_.Find(AddressGroup(address)))
        std::erase_if(e->failures, [&](const Failure& f) { return f.by == key; });
    AccountEntry& a = accounts_.Touch(key);
    std::erase_if(a.failures, [&](const Failure& f) { return f.by == address; });
    std::erase(a.knownAddresses, address);
    a.knownAddresses.push_back(address);
    if (a.knownAddresses.size() > kKnownAddresses) a.knownAddresses.erase(a.knownAddresses.begin());
}

bool CLoginBans::IsBanned(const std::string& address, std::time_t now) const {
    std::lock_guard lock(mutex_);
    const AddressEntry* e = addresses_.Find(AddressGroup(address));
    return e && e->bannedUntil > now;
}

bool CLoginBans::IsLocked(const std::string& account, const std::string& address, std::time_t now) const {
    if (account.empty()) return false;
    const std::string key = AccountKey(account);
    std::lock_guard lock(mutex_);
    const AccountEntry* a = accounts_.Find(key);
    return a && a->lockedUntil > now &&
           std::find(a->knownAddresses.begin(), a->knownAddresses.end(), address) == a->knownAddresses.end();
}

bool CLoginBans::CountFailure(std::vector<Failure>& failures, std::string by, std::time_t now, int limit) {
    // Failures that left the window go, and so do any after `now`, left from before the wall clock stepped
    // back.
    std::erase_if(failures, [now](const Failure& f) { return f.when + kFailureWindow <= now || f.when > now; });
    failures.push_back({now, std::move(by)});
    const size_t needed = static_cast<size_t>(limit);
    if (failures.size() < needed) return false;
    failures.clear();
    return true;
}

bool CLoginBans::Recent(const std::vector<Failure>& failures, std::time_t now) {
    return std::any_of(failures.begin(), failures.end(),
                       [now](const Failure& f) { return f.when + kFailureWindow > now; });
}

void CLoginBans::DropStale(std::time_t now) {
    // Entries are in the order they were last touched, which is the order they go stale in for a steady
    // ban and lock time; one that is not stale yet keeps those behind it until a later call.
    addresses_.DropOldestWhile(
        [&](const std::string&, const AddressEntry& e) { return e.bannedUntil <= now && !Recent(e.failures, now); });
    accounts_.DropOldestWhile([&](const std::string&, const AccountEntry& a) {
        return a.lockedUntil <= now && !Recent(a.failures, now) && a.knownAddresses.empty();
    });
}

}  // namespace tw
