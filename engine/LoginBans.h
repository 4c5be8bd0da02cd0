// CLoginBans: failed logins per client address and per account, the addresses banned and the accounts
// locked for them.
//
// An address that fails `banAfter` logins within kFailureWindow, on any accounts, is banned for the ban
// time; an IPv6 address counts, and is banned, with its whole /64 (AddressGroup). An account that
// `accountFailLimit` logins fail on within the window, from any addresses, is locked
// for the lock time: logins to it from addresses it has never logged in from are refused without a look
// at the password, so guesses spread over many addresses end there, while its owner at a known address
// still logs in. Failures while an address is banned or an account locked count for neither rule.
// A success clears only the failures of that address on that account.
//
// Both tables are bounded and indexed by key; the entries touched longest ago go first, once stale or
// when a table is full. Accounts keep the addresses of their latest successful logins (at most
// kKnownAddresses each), which makes them outlive their failures.
// Threads: called from every connection thread; one lock guards both tables.
#pragma once

#include <cstddef>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "engine/RecencyMap.h"

namespace tw {

struct LoginLimits {
    int banAfter = 0;  // 0: no bans
    std::time_t banSeconds = 0;
    int accountFailLimit = 0;  // 0: no account locks
    std::time_t accountLockSeconds = 0;
};

// What one failure caused.
struct LoginFailureOutcome {
    bool addressBanned = false;
    bool accountLocked = false;
};

class CLoginBans {
public:
    static constexpr std::time_t kFailureWindow = 10 * 60;
    static constexpr size_t kMaxAddresses = 65536;
    static constexpr size_t kMaxAccounts = 16384;
    static constexpr size_t kKnownAddresses = 16;

    // One failed login on `account` (empty for a name that is no account, which only the address
    // rule counts) from `address` at `now`. Account names compare without regard to case.
    LoginFailureOutcome RecordFailure(const std::string& address, const std::string& account, std::time_t now,
                                      const LoginLimits& limits);
    // A successful login: clears the failures of this address on this account and makes the address a
    // known one of the account. A banned address never logs in, so this never lifts a ban early.
    void RecordSuccess(const std::string& address, const std::string& account, std::time_t now);
    bool IsBanned(const std::string& address, std::time_t now) const;
    // Whether a login to `account` from `address` is refused unchecked: the account is locked and has not
    // logged in from there before.
    bool IsLocked(const std::string& account, const std::string& address, std::time_t now) const;

private:
    // `by` is the other side of the failure: the account in the address table, the address in the
    // account table.
    struct Failure {
        std::time_t when;
        std::string by;
    };
    struct AddressEntry {
        std::vector<Failure> failures;  // within the window, oldest first, fewer than banAfter
        std::time_t bannedUntil = 0;
    };
    struct AccountEntry {
        std::vector<Failure> failures;  // within the window, oldest first, fewer than accountFailLimit
        std::time_t lockedUntil = 0;
        std::vector<std::string> knownAddresses;  // latest last
    };

    // Adds a failure; true when the failures within the window reach `limit`, which clears them.
    static bool CountFailure(std::vector<Failure>& failures, std::string by, std::time_t now, int limit);
    static bool Recent(const std::vector<Failure>& failures, std::time_t now);
    void DropStale(std::time_t now);

    mutable std::mutex mutex_;  // guards both tables
    CRecencyMap<AddressEntry> addresses_{kMaxAddresses};  // by AddressGroup
    CRecencyMap<AccountEntry> accounts_{kMaxAccounts};  // by the account name in lower case
};

}  // namespace tw
