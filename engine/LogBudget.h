// CLogBudget: how many event lines the connections of one client address may cause per second, so that
// no client can fill the disk through the log. Lines over the budget are counted instead of written, and
// the counts are handed out once a second for one line each.
//
// Threads: any; one lock guards the table, which is bounded (the address whose lines came longest ago
// goes first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/RecencyMap.h"

namespace tw {

class CLogBudget {
public:
    static constexpr int kLinesPerSecond = 200;
    static constexpr size_t kMaxAddresses = 65536;

    // Whether one more line of `address` may be written in `second` (of a monotonic clock).
    bool Admit(const std::string& address, int64_t second);
    // The lines held back per address since the last call, and forgets the addresses whose latest line
    // came before `second`.
    std::vector<std::pair<std::string, uint64_t>> TakeHeldBack(int64_t second);

private:
    struct Entry {
        int64_t second = 0;  // of the latest line
        int lines = 0;       // written in that second
        uint64_t heldBack = 0;  // since the last hand-out
    };

    std::mutex mutex_;  // guards both below
    CRecencyMap<Entry> entries_{kMaxAddresses};  // in the order of their latest lines
    std::vector<std::string> holding_;           // the addresses with lines held back, each once
};

}  // namespace tw
