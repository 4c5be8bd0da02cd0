// CUploadQuota: the quota of uploads still in flight, so that parallel uploads of one user are checked
// together. quota_current (the stored use) grows only when an upload's data connection is dropped; until
// then its bytes are counted here.
//
// Owned by CFtpServer; used from every connection thread. One lock guards the ledger, and is held across
// the account read of Begin and the settlement of End (which take the account lock inside it), so that
// no settlement falls between an upload's read of the stored use and its mark of what was settled.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "accounts/Accounts.h"

namespace tw {

class CUploadQuota {
public:
    // One upload's view of the quota, taken by Begin.
    struct Ticket {
        std::string user;    // the ledger key (the login name in lower case)
        uint64_t max = 0;    // bytes; 0: no quota, and the upload is not in the ledger
        uint64_t stored = 0; // quota_current in bytes when the upload began
        int64_t settledMark = 0;
        uint64_t counted = 0;  // bytes received by this upload, a refused block included
    };

    // Reads the account of `userName` and, when it has a quota, enters an upload into the ledger.
    // Nothing when the account cannot be read.
    std::optional<Account> Begin(CAccountSource& accounts, const std::string& userName, Ticket& ticket);
    // Counts `bytes` more of the ticket's upload; false when the user's stored use, what was settled since
    // the upload began and every upload in flight (these bytes included) reach the quota.
    bool Charge(Ticket& ticket, uint64_t bytes);
    // Bills `kb` (negative: a refund) to the user's quota_current and takes the upload out of the ledger.
    void End(CAccountSource& accounts, const std::string& userName, const Ticket& ticket, double kb);

private:
    struct Entry {
        uint64_t inFlight = 0;  // bytes counted by running uploads
        int64_t settled = 0;    // bytes billed to quota_current since the entry was made (a refund below 0)
        int uploads = 0;
    };
    std::mutex mutex_;  // guards entries_
    std::map<std::string, Entry> entries_;
};

}  // namespace tw
