// CFolderList: the virtual-folder list of an account editor. The owner's own folders come first, in
// their stored order, and are edited and saved; below them the folders inherited from the user's groups,
// each with its group's name, shown only: never edited, moved or saved. Own rows therefore always form
// the top of the list, and a new folder goes after the last of them.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "accounts/Accounts.h"
#include "admin/EditorChecks.h"

namespace tw::admin {

struct FolderRow {
    VirtualFolder folder;
    std::string group;  // the group's name on an inherited row
    bool own = true;
};

class CFolderList {
public:
    using Inherited = std::vector<std::pair<std::string, std::vector<VirtualFolder>>>;  // group name, folders

    // Replaces the rows; the first row is selected.
    void Load(const std::vector<VirtualFolder>& own, const Inherited& inherited = {});

    size_t Size() const { return rows_.size(); }
    const FolderRow& At(size_t row) const { return rows_.at(row); }
    // The selected row, or -1 when the list is empty.
    int Selected() const { return selected_; }
    void Select(int row);
    // Whether `row` is an own row (editable).
    bool IsOwn(int row) const;
    std::vector<VirtualFolder> Own() const;

    // The folder dialog's entry before Add or Edit: the name trimmed, the path as stored (trimmed, "/"
    // kept, a trailing "/" dropped) written back. Refuses an empty name ("请输入名称!"), an empty path
    // ("请选择路径!"), what no folder table holds, and a name another own row has; asks before a path
    // that does not exist unless `dirConfirmed`. `editing` is the row being edited, if any.
    FormCheck CheckEntry(std::string& name, std::string& dir, std::optional<int> editing, bool dirConfirmed) const;

    // A new own row with read and list, after the last own row; it becomes the selection. Its index.
    int Add(const std::string& name, const std::string& dir);
    // The changes below act on own rows only and return false for any other row.
    bool Edit(int row, const std::string& name, const std::string& dir);
    bool Remove(int row);
    bool SetRights(int row, const RightsSet& rights);
    // Swaps the row with the own row above or below it, the selection following; false at the end of the
    // own rows (an inherited row is never passed).
    bool MoveUp(int row);
    bool MoveDown(int row);

private:
    int OwnCount() const;

    std::vector<FolderRow> rows_;
    int selected_ = -1;
};

}  // namespace tw::admin
