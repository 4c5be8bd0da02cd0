// CLoginBans: failed logins per client address, and the addresses banned for them.
//
// An address that fails `banAfter` logins within kFailureWindow is banned for the ban time; a successful
// login clears its failures. Entries whose failures are older than the window and whose ban has ended are
// dropped as others are recorded, so the map holds only addresses that failed recently.
// Threads: called from every connection thread; one lock guards the map.
#pragma once

#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace tw {

class CLoginBans {
public:
    static constexpr std::time_t kFailureWindow = 10 * 60;

    // Records one failure at `now`; true when it bans the address (it was not banned before).
    bool RecordFailure(const std::string& address, std::time_t now, int banAfter, std::time_t banSeconds);
    // A banned address never logs in, so this never lifts a ban early.
    void Clear(const std::string& address);
    bool IsBanned(const std::string& address, std::time_t now) const;

private:
    struct Entry {
        std::deque<std::time_t> failures;  // within the window, oldest first, at most banAfter
        std::time_t bannedUntil = 0;
    };
    void DropStale(std::time_t now);

    mutable std::mutex mutex_;  // guards entries_
    std::map<std::string, Entry> entries_;
};

}  // namespace tw
