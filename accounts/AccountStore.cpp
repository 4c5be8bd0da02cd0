#include "accounts/AccountStore.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "accounts/AccountTables.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"
#include "recordengine/RecordTable.h"

namespace tw {

namespace {

using F = AccountField;

AccountStatus Fail(AccountFault fault, AccountField field, std::string text, int limit = 0) {
    return AccountStatus::Fail(fault, field, std::move(text), limit);
}

AccountStatus Open(CRecordTable& t, const std::string& path, const std::string& what, OpenMode mode) {
    if (t.Open(path, mode)) return {};
    return Fail(AccountFault::Table, F::None, "cannot open " + what + ": " + t.GetErrorText());
}

AccountStatus OpenUsers(CRecordTable& t, const std::string& dir, OpenMode mode) {
    return Open(t, UserTablePath(dir), "user table", mode);
}

AccountStatus OpenGroups(CRecordTable& t, const std::string& dir, OpenMode mode) {
    return Open(t, GroupTablePath(dir), "group table", mode);
}

AccountStatus OpenOwners(CRecordTable& t, const std::string& dir, FolderOwner owner) {
    return owner == FolderOwner::User ? OpenUsers(t, dir, OpenMode::ReadWrite) : OpenGroups(t, dir, OpenMode::ReadWrite);
}

// Writes the folder table beside its place and moves it over, so that a reader, a failure or a crash
// never meets a half-written list. Called under the owner table's exclusive lock.
AccountStatus ReplaceFolderTable(const std::string& path, const std::vector<VirtualFolder>& folders) {
    const std::string beside = path + ".new";
    std::string error;
    if (!WriteFolderTable(beside, folders, error)) {
        RemoveFile(beside);
        return Fail(AccountFault::FolderTable, F::None, "cannot write " + path + ": " + error);
    }
    if (int e = RenameFile(beside, path)) {
        RemoveFile(beside);
        return Fail(AccountFault::FolderTable, F::None, "cannot write " + path + ": " + std::strerror(e));
    }
    return {};
}

// Appends the record in `t`'s edit buffer and writes the new owner's folder table in the same locked step;
// when the table cannot be written the record is taken out again. A group always gets a table (the server
// denies everything outside a member's home once one does not open); a user without folders gets none, and
// loses one that an earlier holder of the id left behind.
AccountStatus AppendOwner(CRecordTable& t, FolderOwner owner, const std::string& what, const std::string& dir,
                          const std::vector<VirtualFolder>* folders, int& id) {
    if (!t.AppendRecord()) return Fail(AccountFault::Table, F::None, "cannot add " + what + ": " + t.GetErrorText());
    id = t.GetLastId();
    const std::string path = FolderTablePath(dir, owner, id);
    if (!folders && owner == FolderOwner::User) {
        RemoveFile(path);
        return {};
    }
    AccountStatus s = ReplaceFolderTable(path, folders ? *folders : std::vector<VirtualFolder>());
    if (!s && SeekId(t, id)) t.DeleteRecord();
    return s;
}

// A name as stored: trimmed, not empty.
AccountStatus TrimName(std::optional<std::string>& name, AccountField field, const char* what) {
    if (!name) return {};
    name = std::string(Trim(*name));
    if (name->empty()) return Fail(AccountFault::Empty, field, std::string(what) + " name must not be empty");
    return {};
}

// Trims what a user change names and refuses values the server could never use.
AccountStatus Normalize(UserChange& c) {
    if (AccountStatus s = TrimName(c.userid, F::UserName, "user"); !s) return s;
    if (c.homedir) {
        c.homedir = NormalizeDirectory(*c.homedir);
        if (c.homedir->empty()) return Fail(AccountFault::Empty, F::Home, "home directory must not be empty");
    }
    if (c.expiry && !c.expiry->date.empty() && !ValidDate(c.expiry->date))
        return Fail(AccountFault::Invalid, F::Expiry, "expiry is a date YYYY-MM-DD");
    if (c.expiry && c.expiry->on && c.expiry->date.empty())
        return Fail(AccountFault::Invalid, F::Expiry, "an expiry that is on needs a date");
    for (auto [limit, field, what] : {std::tuple{&c.download, F::DownloadSpeed, "download speed"},
                                      std::tuple{&c.upload, F::UploadSpeed, "upload speed"}})
        if (*limit && (*limit)->kbPerSecond < 0)
            return Fail(AccountFault::Invalid, field, std::string(what) + " must be 0 or more");
    for (auto [kb, field, what] : {std::tuple{&c.quotaMax, F::QuotaMax, "quota"},
                                   std::tuple{&c.quotaCurrent, F::QuotaCurrent, "used quota"}})
        if (*kb && !(std::isfinite(**kb) && **kb >= 0))
            return Fail(AccountFault::Invalid, field, std::string(what) + " is a number of KB, 0 or more");
    return {};
}

AccountStatus CheckGivenFolders(const std::vector<VirtualFolder>* folders) {
    return folders ? CheckFolders(*folders) : AccountStatus{};
}

std::string Quoted(const std::string& name) { return "'" + name + "'"; }

}  // namespace

AccountStatus CAccountStore::Users(std::vector<Account>& users) const {
    CRecordTable t;
    AccountStatus s = OpenUsers(t, dir_, OpenMode::Read);
    users = s ? ReadUsers(t) : std::vector<Account>();
    return s;
}

AccountStatus CAccountStore::Groups(std::vector<Group>& groups) const {
    CRecordTable t;
    AccountStatus s = OpenGroups(t, dir_, OpenMode::Read);
    groups = s ? ReadGroups(t) : std::vector<Group>();
    return s;
}

AccountStatus CAccountStore::FindUser(const std::string& userid, Account& user) const {
    CRecordTable t;
    if (AccountStatus s = OpenUsers(t, dir_, OpenMode::Read); !s) return s;
    if (!SeekUser(t, userid)) return Fail(AccountFault::Unknown, F::UserName, "unknown user " + Quoted(userid));
    user = ReadUser(t);
    return {};
}

AccountStatus CAccountStore::FindUser(int id, Account& user) const {
    CRecordTable t;
    if (AccountStatus s = OpenUsers(t, dir_, OpenMode::Read); !s) return s;
    if (!SeekId(t, id)) return Fail(AccountFault::Unknown, F::UserName, "no user has the id " + std::to_string(id));
    user = ReadUser(t);
    return {};
}

AccountStatus CAccountStore::FindGroup(const std::string& name, Group& group) const {
    CRecordTable t;
    if (AccountStatus s = OpenGroups(t, dir_, OpenMode::Read); !s) return s;
    if (!SeekGroup(t, name)) return Fail(AccountFault::Unknown, F::GroupName, "unknown group " + Quoted(name));
    group = ReadGroup(t);
    return {};
}

AccountStatus CAccountStore::Folders(FolderOwner owner, int id, std::vector<VirtualFolder>& folders) const {
    folders.clear();
    const std::string path = FolderTablePath(dir_, owner, id);
    if (!PathExists(path)) return {};
    CRecordTable t;
    if (AccountStatus s = Open(t, path, path, OpenMode::Read); !s) return s;
    folders = ReadFolders(t);
    return {};
}

AccountStatus CAccountStore::ResolveGroups(const std::string& names, std::vector<int>& ids,
                                           std::vector<std::string>& unknown) const {
    ids.clear();
    unknown.clear();
    const std::vector<std::string_view> pieces = SplitList(names);
    if (pieces.empty()) return {};
    CRecordTable t;
    if (AccountStatus s = OpenGroups(t, dir_, OpenMode::Read); !s) return s;
    for (const std::string_view name : pieces) {
        const std::string piece(name);
        const std::optional<int> number = ParseSignedDecimal<int>(piece);
        if (SeekGroup(t, piece) || (number && SeekId(t, *number))) {
            const int id = ReadGroup(t).id;
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
        } else {
            unknown.push_back(piece);
        }
    }
    return {};
}

AccountStatus CAccountStore::AddUser(const UserChange& user, const std::vector<VirtualFolder>* folders, int& id) {
    // Every field is written, so that nothing of another record's buffer reaches the new one.
    UserChange c{.userid = std::string(), .email = std::string(), .homedir = std::string(),
                 .password = PasswordText{"", false}, .groups = std::vector<int>(), .enabled = true,
                 .expiry = Expiry{}, .rights = RightsSet::FromString(kNewRights), .download = SpeedLimit{},
                 .upload = SpeedLimit{}, .quotaMax = 0.0, .quotaCurrent = 0.0};
    auto take = [](auto& into, const auto& given) { if (given) into = given; };
    take(c.userid, user.userid), take(c.email, user.email), take(c.homedir, user.homedir);
    take(c.password, user.password), take(c.groups, user.groups), take(c.enabled, user.enabled);
    take(c.expiry, user.expiry), take(c.rights, user.rights), take(c.download, user.download);
    take(c.upload, user.upload), take(c.quotaMax, user.quotaMax), take(c.quotaCurrent, user.quotaCurrent);
    if (AccountStatus s = Normalize(c); !s) return s;
    if (AccountStatus s = CheckGivenFolders(folders); !s) return s;

    CRecordTable t;
    if (AccountStatus s = OpenUsers(t, dir_, OpenMode::ReadWrite); !s) return s;
    if (SeekUser(t, *c.userid)) return Fail(AccountFault::Exists, F::UserName, "user " + Quoted(*c.userid) + " exists");
    if (AccountStatus s = PutUser(t, c); !s) return s;
    return AppendOwner(t, FolderOwner::User, "user " + Quoted(*c.userid), dir_, folders, id);
}

AccountStatus CAccountStore::ChangeUser(int id, const UserChange& change, const std::vector<VirtualFolder>* folders) {
    UserChange c = change;
    if (AccountStatus s = Normalize(c); !s) return s;
    if (AccountStatus s = CheckGivenFolders(folders); !s) return s;

    CRecordTable t;
    if (AccountStatus s = OpenUsers(t, dir_, OpenMode::ReadWrite); !s) return s;
    auto unknown = [&] { return Fail(AccountFault::Unknown, F::UserName, "no user has the id " + std::to_string(id)); };
    if (c.userid && SeekUser(t, *c.userid) && ReadUser(t).id != id)
        return Fail(AccountFault::Exists, F::UserName, "user " + Quoted(*c.userid) + " exists");
    if (!SeekId(t, id)) return unknown();
    const std::string name = ReadUser(t).userid;
    if (AccountStatus s = PutUser(t, c); !s) return s;
    const std::string path = FolderTablePath(dir_, FolderOwner::User, id);
    if (!t.UpdateRecord())
        return Fail(AccountFault::Table, F::None, "cannot change user " + Quoted(name) + ": " + t.GetErrorText());
    return folders ? ReplaceFolderTable(path, *folders) : AccountStatus{};
}

AccountStatus CAccountStore::DeleteUser(int id) {
    CRecordTable t;
    if (AccountStatus s = OpenUsers(t, dir_, OpenMode::ReadWrite); !s) return s;
    if (!SeekId(t, id)) return Fail(AccountFault::Unknown, F::UserName, "no user has the id " + std::to_string(id));
    const std::string name = ReadUser(t).userid;
    if (!t.DeleteRecord())
        return Fail(AccountFault::Table, F::None, "cannot delete user " + Quoted(name) + ": " + t.GetErrorText());
    RemoveFile(FolderTablePath(dir_, FolderOwner::User, id));
    return {};
}

AccountStatus CAccountStore::AddGroup(const GroupChange& group, const std::vector<VirtualFolder>* folders, int& id) {
    GroupChange c{.name = group.name.value_or(""), .notes = group.notes.value_or("")};
    if (AccountStatus s = TrimName(c.name, F::GroupName, "group"); !s) return s;
    if (AccountStatus s = CheckGivenFolders(folders); !s) return s;

    CRecordTable t;
    if (AccountStatus s = OpenGroups(t, dir_, OpenMode::ReadWrite); !s) return s;
    if (SeekGroup(t, *c.name)) return Fail(AccountFault::Exists, F::GroupName, "group " + Quoted(*c.name) + " exists");
    if (AccountStatus s = PutGroup(t, c); !s) return s;
    return AppendOwner(t, FolderOwner::Group, "group " + Quoted(*c.name), dir_, folders, id);
}

AccountStatus CAccountStore::ChangeGroup(int id, const GroupChange& change, const std::vector<VirtualFolder>* folders) {
    GroupChange c = change;
    if (AccountStatus s = TrimName(c.name, F::GroupName, "group"); !s) return s;
    if (AccountStatus s = CheckGivenFolders(folders); !s) return s;

    CRecordTable t;
    if (AccountStatus s = OpenGroups(t, dir_, OpenMode::ReadWrite); !s) return s;
    if (c.name && SeekGroup(t, *c.name) && ReadGroup(t).id != id)
        return Fail(AccountFault::Exists, F::GroupName, "group " + Quoted(*c.name) + " exists");
    if (!SeekId(t, id)) return Fail(AccountFault::Unknown, F::GroupName, "no group has the id " + std::to_string(id));
    const std::string name = ReadGroup(t).name;
    if (AccountStatus s = PutGroup(t, c); !s) return s;
    if (!t.UpdateRecord())
        return Fail(AccountFault::Table, F::None, "cannot change group " + Quoted(name) + ": " + t.GetErrorText());
    return folders ? ReplaceFolderTable(FolderTablePath(dir_, FolderOwner::Group, id), *folders) : AccountStatus{};
}

AccountStatus CAccountStore::DeleteGroup(int id) {
    CRecordTable t;
    if (AccountStatus s = OpenGroups(t, dir_, OpenMode::ReadWrite); !s) return s;
    if (!SeekId(t, id)) return Fail(AccountFault::Unknown, F::GroupName, "no group has the id " + std::to_string(id));
    const std::string name = ReadGroup(t).name;
    const std::string failed = "cannot delete group " + Quoted(name) + ": ";
    // Members first: a failure then leaves the group in place rather than its id in users' lists.
    CRecordTable users;
    if (AccountStatus s = OpenUsers(users, dir_, OpenMode::ReadWrite); !s)
        return Fail(s.fault, s.field, failed + s.text);
    for (bool more = users.MoveFirst(0); more; more = users.MoveNext(0)) {
        const Account member = ReadUser(users);
        std::vector<int> kept;
        std::copy_if(member.groups.begin(), member.groups.end(), std::back_inserter(kept), [&](int g) { return g != id; });
        if (kept.size() == member.groups.size()) continue;
        if (!PutUserGroups(users, kept) || !users.UpdateRecord())
            return Fail(AccountFault::Table, F::None,
                        failed + "cannot change user " + Quoted(member.userid) + ": " + users.GetErrorText());
    }
    if (!users.GetErrorText().empty()) return Fail(AccountFault::Table, F::None, failed + users.GetErrorText());
    users.Close();
    if (!t.DeleteRecord()) return Fail(AccountFault::Table, F::None, failed + t.GetErrorText());
    RemoveFile(FolderTablePath(dir_, FolderOwner::Group, id));
    return {};
}

AccountStatus CAccountStore::EditFolders(FolderOwner owner, int id,
                                         const std::function<AccountStatus(std::vector<VirtualFolder>&)>& edit) {
    CRecordTable owners;  // held from the read to the write
    if (AccountStatus s = OpenOwners(owners, dir_, owner); !s) return s;
    if (!SeekId(owners, id))
        return Fail(AccountFault::Unknown, owner == FolderOwner::User ? F::UserName : F::GroupName,
                    std::string("no ") + (owner == FolderOwner::User ? "user" : "group") + " has the id " + std::to_string(id));
    std::vector<VirtualFolder> folders;
    if (AccountStatus s = Folders(owner, id, folders); !s) return s;
    if (AccountStatus s = edit(folders); !s) return s;
    if (AccountStatus s = CheckFolders(folders); !s) return s;
    return ReplaceFolderTable(FolderTablePath(dir_, owner, id), folders);
}

int CAccountStore::ExpirySweep(std::time_t today) {
    CRecordTable t;
    if (!t.Open(UserTablePath(dir_), OpenMode::ReadWrite)) return 0;
    std::tm tm{};
    localtime_r(&today, &tm);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
    int disabled = 0;
    for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0)) {
        const Account a = ReadUser(t);
        if (a.expiry.on && std::string(date) >= a.expiry.date && a.enabled && PutDisabled(t) && t.UpdateRecord())
            ++disabled;
    }
    return disabled;
}

AccountStatus CheckFolder(const VirtualFolder& f) {
    const std::string& name = f.name;
    if (name.empty() || name == "." || name == ".." ||
        std::any_of(name.begin(), name.end(), [](char c) { return c == '/' || c == '\\' || IsControlByte(c); }))
        return Fail(AccountFault::Invalid, F::FolderName,
                    "a folder name is one path piece: not empty, '.' or '..', without '/', '\\' or control characters");
    if (name.size() > static_cast<size_t>(kFolderNameWidth))
        return Fail(AccountFault::TooLong, F::FolderName,
                    "folder name takes at most " + std::to_string(kFolderNameWidth) + " characters", kFolderNameWidth);
    if (f.dir.empty()) return Fail(AccountFault::Empty, F::FolderDir, "folder '" + name + "' needs a directory");
    if (f.dir.front() != '/')
        return Fail(AccountFault::Invalid, F::FolderDir, "folder directory '" + f.dir + "' is not an absolute path");
    if (f.dir.size() > static_cast<size_t>(kFolderDirWidth))
        return Fail(AccountFault::TooLong, F::FolderDir,
                    "folder directory takes at most " + std::to_string(kFolderDirWidth) + " characters", kFolderDirWidth);
    return {};
}

AccountStatus CheckFolders(const std::vector<VirtualFolder>& folders) {
    for (size_t i = 0; i < folders.size(); ++i) {
        if (AccountStatus s = CheckFolder(folders[i]); !s) return s;
        for (size_t j = 0; j < i; ++j)
            if (EqualsNoCase(folders[i].name, folders[j].name))
                return Fail(AccountFault::Exists, F::FolderName, "folder " + Quoted(folders[i].name) + " exists");
    }
    return {};
}

AccountStatus CheckDirectoryExists(const std::string& path, AccountField field) {
    if (IsDirectory(path)) return {};
    return Fail(AccountFault::NoDirectory, field,
                std::string(field == F::Home ? "home directory " : "directory ") + Quoted(path) + " does not exist");
}

std::string NormalizeDirectory(const std::string& path) {
    std::string dir(Trim(path));
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

bool ParseSpeed(const std::string& text, int& kbPerSecond) {
    const std::optional<int> value = ParseSignedDecimal<int>(text);  // "-0" is 0
    if (!value || *value < 0) return false;
    kbPerSecond = *value;
    return true;
}

bool ParseKb(const std::string& text, double& kb) {
    char* end = nullptr;
    kb = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(kb) && kb >= 0;
}

bool ValidDate(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    const std::string_view t = text;
    const std::optional<int> y = ParseDecimal<int>(t.substr(0, 4));
    const std::optional<unsigned> m = ParseDecimal<unsigned>(t.substr(5, 2));
    const std::optional<unsigned> d = ParseDecimal<unsigned>(t.substr(8, 2));
    using namespace std::chrono;
    return y && m && d && year_month_day{year(*y), month(*m), day(*d)}.ok();
}

}  // namespace tw
