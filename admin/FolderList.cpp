#include "admin/FolderList.h"

#include <algorithm>

#include "accounts/AccountStore.h"
#include "admin/AccountTexts.h"
#include "platform/Text.h"

namespace tw::admin {

void CFolderList::Load(const std::vector<VirtualFolder>& own, const Inherited& inherited) {
    rows_.clear();
    for (const VirtualFolder& f : own) rows_.push_back({f, {}, true});
    for (const auto& [group, folders] : inherited)
        for (const VirtualFolder& f : folders) rows_.push_back({f, group, false});
    selected_ = rows_.empty() ? -1 : 0;
}

void CFolderList::Select(int row) { selected_ = row >= 0 && row < static_cast<int>(rows_.size()) ? row : -1; }

bool CFolderList::IsOwn(int row) const { return row >= 0 && row < static_cast<int>(rows_.size()) && rows_[row].own; }

int CFolderList::OwnCount() const {
    return static_cast<int>(std::count_if(rows_.begin(), rows_.end(), [](const FolderRow& r) { return r.own; }));
}

std::vector<VirtualFolder> CFolderList::Own() const {
    std::vector<VirtualFolder> own;
    for (const FolderRow& r : rows_)
        if (r.own) own.push_back(r.folder);
    return own;
}

FormCheck CFolderList::CheckEntry(std::string& name, std::string& dir, std::optional<int> editing,
                                  bool dirConfirmed) const {
    name = std::string(Trim(name));
    dir = NormalizeDirectory(dir);
    if (name.empty()) return FormCheck::Refuse(AccountField::FolderName, kEnterName);
    if (dir.empty()) return FormCheck::Refuse(AccountField::FolderDir, kChoosePath);
    if (AccountStatus s = CheckFolder({name, dir, {}}); !s) return CheckOf(s, FolderOwner::User);
    for (int row = 0; row < static_cast<int>(rows_.size()); ++row)
        if (rows_[row].own && row != editing && EqualsNoCase(rows_[row].folder.name, name))
            return FormCheck::Refuse(AccountField::FolderName, kFolderExists);
    if (!dirConfirmed) return CheckOf(CheckDirectoryExists(dir, AccountField::FolderDir), FolderOwner::User);
    return {};
}

int CFolderList::Add(const std::string& name, const std::string& dir) {
    const int row = OwnCount();
    rows_.insert(rows_.begin() + row, {{name, dir, *RightsSet::FromString(kNewRights)}, {}, true});
    selected_ = row;
    return row;
}

bool CFolderList::Edit(int row, const std::string& name, const std::string& dir) {
    if (!IsOwn(row)) return false;
    rows_[row].folder.name = name;
    rows_[row].folder.dir = dir;
    return true;
}

bool CFolderList::Remove(int row) {
    if (!IsOwn(row)) return false;
    rows_.erase(rows_.begin() + row);
    selected_ = rows_.empty() ? -1 : std::min(row, static_cast<int>(rows_.size()) - 1);
    return true;
}

bool CFolderList::SetRights(int row, const RightsSet& rights) {
    if (!IsOwn(row)) return false;
    rows_[row].folder.rights = rights;
    return true;
}

bool CFolderList::MoveUp(int row) {
    if (!IsOwn(row) || !IsOwn(row - 1)) return false;
    std::swap(rows_[row], rows_[row - 1]);
    selected_ = row - 1;
    return true;
}

bool CFolderList::MoveDown(int row) {
    if (!IsOwn(row) || !IsOwn(row + 1)) return false;
    std::swap(rows_[row], rows_[row + 1]);
    selected_ = row + 1;
    return true;
}

}  // namespace tw::admin
