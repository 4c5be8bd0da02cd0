#include "engine/UploadQuota.h"

#include <algorithm>

#include "platform/Text.h"

namespace tw {

namespace {

// Login names match without regard to case, so "Tester" and "tester" share one entry.
std::string LedgerKey(const std::string& userName) { return LowerAscii(userName); }

}  // namespace

std::optional<Account> CUploadQuota::Begin(CAccountSource& accounts, const std::string& userName, Ticket& ticket) {
    ticket = Ticket{};
    std::lock_guard lock(mutex_);
    auto account = accounts.LoadAccount(userName);
    if (!account || KbToBytes(account->quotaMax) == 0) return account;
    ticket.user = LedgerKey(userName);
    ticket.max = KbToBytes(account->quotaMax);
    ticket.stored = KbToBytes(account->quotaCurrent);
    Entry& e = entries_[ticket.user];
    ++e.uploads;
    ticket.settledMark = e.settled;
    return account;
}

bool CUploadQuota::Charge(Ticket& ticket, uint64_t bytes) {
    if (ticket.max == 0) return true;
    std::lock_guard lock(mutex_);
    Entry& e = entries_[ticket.user];
    e.inFlight += bytes;
    ticket.counted += bytes;
    const int64_t use = static_cast<int64_t>(ticket.stored) + (e.settled - ticket.settledMark) +
                        static_cast<int64_t>(e.inFlight);
    return use < static_cast<int64_t>(ticket.max);
}

void CUploadQuota::End(CAccountSource& accounts, const std::string& userName, const Ticket& ticket, double kb) {
    if (ticket.max == 0) return;
    std::lock_guard lock(mutex_);
    if (kb != 0) accounts.AddUsedQuota(userName, kb);
    auto it = entries_.find(ticket.user);
    if (it == entries_.end()) return;
    Entry& e = it->second;
    e.inFlight -= std::min(e.inFlight, ticket.counted);
    e.settled += static_cast<int64_t>(kb * 1024);
    if (--e.uploads <= 0) entries_.erase(it);
}

}  // namespace tw
