#include "admin/OnlineListModel.h"

#include "engine/LogFile.h"

namespace tw::admin {

void COnlineListModel::Add(ThreadId thread, const std::string& user, const std::string& address, std::time_t when) {
    rows_.push_back({thread, user, address, LocalTimeText(when, "%Y-%m-%d %H:%M:%S")});
}

std::vector<int> COnlineListModel::RowsOf(ThreadId thread) const {
    std::vector<int> rows;
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].thread == thread) rows.push_back(static_cast<int>(i));
    return rows;
}

void COnlineListModel::RemoveRow(int row) {
    if (row >= 0 && row < Size()) rows_.erase(rows_.begin() + row);
}

}  // namespace tw::admin
