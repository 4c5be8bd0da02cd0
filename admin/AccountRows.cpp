#include "admin/AccountRows.h"

#include <algorithm>

namespace tw::admin {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return text;
}

}  // namespace

std::string GroupNamesText(const std::vector<int>& ids, const std::vector<Group>& groups) {
    std::string text;
    for (int id : ids) {
        auto it = std::find_if(groups.begin(), groups.end(), [id](const Group& g) { return g.id == id; });
        text += (text.empty() ? "" : ",") + (it != groups.end() ? it->name : std::to_string(id));
    }
    return text;
}

std::vector<AccountRow> UserRows(const std::vector<Account>& users, const std::vector<Group>& groups) {
    std::vector<AccountRow> rows;
    for (const Account& a : users)
        rows.push_back({a.id, {a.userid, a.password.empty() ? "" : "******", a.email, GroupNamesText(a.groups, groups),
                               a.enabled ? "Enable" : "Disable", a.homedir}});
    return rows;
}

std::vector<AccountRow> GroupRows(const std::vector<Group>& groups) {
    std::vector<AccountRow> rows;
    for (const Group& g : groups) rows.push_back({g.id, {std::to_string(g.id), g.name}});
    return rows;
}

bool RowMatches(const AccountRow& row, const std::string& filter) {
    std::vector<std::string> columns;
    for (const std::string& c : row.columns) columns.push_back(Lower(c));
    const std::string words = Lower(filter);
    for (size_t at = 0; at < words.size();) {
        const size_t end = std::min(words.find(' ', at), words.size());
        const std::string word = words.substr(at, end - at);
        at = end + 1;
        if (word.empty()) continue;
        if (std::none_of(columns.begin(), columns.end(),
                         [&](const std::string& c) { return c.find(word) != std::string::npos; }))
            return false;
    }
    return true;
}

}  // namespace tw::admin
