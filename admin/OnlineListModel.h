// COnlineListModel: the rows of the online page, one per USER a connection sent, keyed by the
// connection thread's id. A connection that sent USER twice has two rows; all go when it ends.
//
// Threads: GUI thread only.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"

namespace tw::admin {

class COnlineListModel {
public:
    struct Row {
        ThreadId thread = 0;
        std::string user, address;
        std::string loginTime;  // "%Y-%m-%d %H:%M:%S", local
    };

    void Add(ThreadId thread, const std::string& user, const std::string& address, std::time_t when);
    // The rows of a connection, in ascending order.
    std::vector<int> RowsOf(ThreadId thread) const;
    void RemoveRow(int row);
    void Clear() { rows_.clear(); }
    int Size() const { return static_cast<int>(rows_.size()); }
    const Row& At(int row) const { return rows_[static_cast<size_t>(row)]; }

private:
    std::vector<Row> rows_;
};

}  // namespace tw::admin
