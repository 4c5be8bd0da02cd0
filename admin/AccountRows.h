// The rows of the users and groups pages: the text of every column, and the filter that narrows a list as
// the administrator types.
#pragma once

#include <string>
#include <vector>

#include "accounts/Accounts.h"

namespace tw::admin {

struct AccountRow {
    int id = 0;
    std::vector<std::string> columns;
};

// The names of the groups `ids` joined with ","; an id that no group has shows as the number stored.
std::string GroupNamesText(const std::vector<int>& ids, const std::vector<Group>& groups);

// "用户", "密码", "电子邮件", "组", "状态", "主目录": a set password shows as "******" (stored as text, scrambled
// or hashed alike); the groups by name, an id no group has as the number stored; "Enable" or "Disable".
std::vector<AccountRow> UserRows(const std::vector<Account>& users, const std::vector<Group>& groups);
// "组ID", "名称".
std::vector<AccountRow> GroupRows(const std::vector<Group>& groups);

// Whether a row shows under `filter`: every blank-separated word of it appears in some column, ASCII letters
// compared without regard to case. An empty filter shows every row.
bool RowMatches(const AccountRow& row, const std::string& filter);

}  // namespace tw::admin
