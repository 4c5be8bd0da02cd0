#include "admin/AccountForms.h"

#include <fmt/printf.h>

#include <algorithm>

#include "admin/AccountRows.h"
#include "admin/AccountTexts.h"
#include "platform/Text.h"

namespace tw::admin {

namespace {

using F = AccountField;

// A speed as the change names it: parsed only when its text changed, else the stored value.
FormCheck TakeSpeed(bool all, bool on, const std::string& text, bool wasOn, const std::string& wasText, int stored,
                    AccountField field, const char* invalid, std::optional<SpeedLimit>& into) {
    if (!all && on == wasOn && text == wasText) return {};
    int kb = stored;
    if ((all || text != wasText) && !ParseSpeed(std::string(Trim(text)), kb)) return FormCheck::Refuse(field, invalid);
    into = SpeedLimit{on, kb};
    return {};
}

FormCheck TakeKb(bool all, const std::string& text, const std::string& wasText, AccountField field,
                 const char* invalid, std::optional<double>& into) {
    if (!all && text == wasText) return {};
    double kb = 0;
    if (!ParseKb(std::string(Trim(text)), kb)) return FormCheck::Refuse(field, invalid);
    into = kb;
    return {};
}

}  // namespace

std::string FormatKb(double kb) { return fmt::sprintf("%0.f", kb); }

void CUserForm::New(const std::string& defaultHome, const std::string& today) {
    id_.reset();
    account_ = Account{};
    loaded_ = UserFormValues{};
    loaded_.homedir = defaultHome;
    loaded_.rights = *RightsSet::FromString(kNewRights);
    loaded_.expiry = {false, today};
    folders_.Load({});
}

FormCheck CUserForm::Load(int id, const std::string& today) {
    Account a;
    std::vector<VirtualFolder> own;
    if (!store_.FindUser(id, a) || !store_.Folders(FolderOwner::User, id, own))
        return FormCheck::Refuse(F::None, kCannotLoadUser);
    // Without the group table the groups show as their ids, which a save resolves again.
    std::vector<Group> groups;
    store_.Groups(groups);
    const std::string groupText = GroupNamesText(a.groups, groups);
    CFolderList::Inherited inherited;
    for (int id : a.groups) {  // in the user's order, as the server looks them up
        auto g = std::find_if(groups.begin(), groups.end(), [id](const Group& group) { return group.id == id; });
        std::vector<VirtualFolder> folders;
        if (g != groups.end() && store_.Folders(FolderOwner::Group, id, folders) && !folders.empty())
            inherited.emplace_back(g->name, std::move(folders));
    }
    id_ = id;
    account_ = a;
    loaded_ = UserFormValues{
        .enabled = a.enabled, .userid = a.userid, .password = {}, .groups = groupText, .homedir = a.homedir,
        .email = a.email, .hashPassword = true, .rights = a.rights,
        .expiry = {a.expiry.on, ValidDate(a.expiry.date) ? a.expiry.date : today},
        .downloadLimit = a.downloadLimit, .uploadLimit = a.uploadLimit,
        .downloadSpeed = std::to_string(a.downloadSpeed), .uploadSpeed = std::to_string(a.uploadSpeed),
        .quotaMax = FormatKb(a.quotaMax), .quotaCurrent = FormatKb(a.quotaCurrent)};
    folders_.Load(own, inherited);
    return {};
}

FormCheck CUserForm::MakeChange(const UserFormValues& v, UserChange& c) const {
    c = UserChange{};
    const bool all = IsNew();
    const UserFormValues& was = loaded_;
    const std::string userid(Trim(v.userid)), home(Trim(v.homedir));
    if (userid.empty()) return FormCheck::Refuse(F::UserName, kUserNameEmpty);
    if (home.empty()) return FormCheck::Refuse(F::Home, kHomeEmpty);
    if (all || v.userid != was.userid) c.userid = userid;
    if (all || v.homedir != was.homedir) c.homedir = home;
    if (all || v.email != was.email) c.email = v.email;
    if (all || !v.password.empty()) c.password = PasswordText{v.password, v.hashPassword};
    if (all || v.enabled != was.enabled) c.enabled = v.enabled;
    if (all || v.rights != was.rights) c.rights = v.rights;
    if (all || v.expiry != was.expiry) c.expiry = v.expiry;
    if (FormCheck k = TakeSpeed(all, v.downloadLimit, v.downloadSpeed, was.downloadLimit, was.downloadSpeed,
                                account_.downloadSpeed, F::DownloadSpeed, kDownloadSpeedInvalid, c.download); !k)
        return k;
    if (FormCheck k = TakeSpeed(all, v.uploadLimit, v.uploadSpeed, was.uploadLimit, was.uploadSpeed,
                                account_.uploadSpeed, F::UploadSpeed, kUploadSpeedInvalid, c.upload); !k)
        return k;
    if (FormCheck k = TakeKb(all, v.quotaMax, was.quotaMax, F::QuotaMax, kQuotaMaxInvalid, c.quotaMax); !k) return k;
    if (FormCheck k = TakeKb(all, v.quotaCurrent, was.quotaCurrent, F::QuotaCurrent, kQuotaCurrentInvalid,
                             c.quotaCurrent); !k)
        return k;
    if (all || v.groups != was.groups) {
        // Names that match no group are dropped; a group table that does not open refuses the save rather
        // than drop every group.
        std::vector<int> ids;
        std::vector<std::string> unknown;
        if (!store_.ResolveGroups(v.groups, ids, unknown)) return FormCheck::Refuse(F::Groups, kCannotSaveUser);
        c.groups = std::move(ids);
    }
    return {};
}

FormCheck CUserForm::Save(const UserFormValues& values, bool homeConfirmed) {
    UserChange change;
    if (FormCheck k = MakeChange(values, change); !k) return k;
    if (!homeConfirmed) {
        const AccountStatus home = CheckDirectoryExists(NormalizeDirectory(values.homedir), F::Home);
        if (FormCheck k = CheckOf(home, FolderOwner::User); !k) return k;
    }
    const std::vector<VirtualFolder> own = folders_.Own();
    AccountStatus s;
    if (id_) {
        s = store_.ChangeUser(*id_, change, &own);
    } else {
        int id = 0;
        s = store_.AddUser(change, &own, id);
        if (s) id_ = id;
    }
    return CheckOf(s, FolderOwner::User);
}

void CGroupForm::New() {
    id_.reset();
    loaded_ = {};
    folders_.Load({});
}

FormCheck CGroupForm::Load(int id) {
    std::vector<Group> groups;
    std::vector<VirtualFolder> own;
    store_.Groups(groups);
    auto it = std::find_if(groups.begin(), groups.end(), [id](const Group& g) { return g.id == id; });
    if (it == groups.end() || !store_.Folders(FolderOwner::Group, id, own))
        return FormCheck::Refuse(F::None, kCannotLoadGroup);
    id_ = id;
    loaded_ = {it->name, it->notes};
    folders_.Load(own);
    return {};
}

FormCheck CGroupForm::Save(const GroupFormValues& v) {
    const std::string name(Trim(v.name));
    if (name.empty()) return FormCheck::Refuse(F::GroupName, kNameEmpty);
    GroupChange change;
    if (!id_ || v.name != loaded_.name) change.name = name;
    if (!id_ || v.notes != loaded_.notes) change.notes = v.notes;
    const std::vector<VirtualFolder> own = folders_.Own();
    AccountStatus s;
    if (id_) {
        s = store_.ChangeGroup(*id_, change, &own);
    } else {
        int id = 0;
        s = store_.AddGroup(change, &own, id);
        if (s) id_ = id;
    }
    return CheckOf(s, FolderOwner::Group);
}

std::string AppendGroupNames(const std::string& field, const std::vector<std::string>& chosen) {
    std::string text = field;
    for (const std::string& name : chosen) text += "," + name;
    const size_t first = text.find_first_not_of(", ");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(", ") - first + 1);
}

}  // namespace tw::admin
