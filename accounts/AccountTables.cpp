#include "accounts/AccountTables.h"

#include <algorithm>
#include <charconv>
#include <tuple>
#include <cstdlib>
#include <mutex>

#include "platform/PasswordHash.h"
#include "platform/Text.h"
#include "recordengine/RecordTable.h"

namespace tw {

namespace {

// Guards every read-modify-write of quota_current in this process.
std::mutex gAccountLock;

// Field readers that tolerate missing fields and any stored type.
std::string Text(CRecordTable& t, const char* name) {
    return t.GetFieldIndex(name) < 0 ? std::string() : t.GetFieldText(name);
}
int Int(CRecordTable& t, const char* name) { return LeadingInt(Text(t, name)); }
double Double(CRecordTable& t, const char* name) { return std::strtod(Text(t, name).c_str(), nullptr); }

// The rights fields in RightsSet's letter order.
struct RightField {
    const char* name;
    bool RightsSet::*flag;
};
constexpr RightField kRightFields[9] = {
    {"read", &RightsSet::read},         {"write", &RightsSet::write},          {"delete", &RightsSet::del},
    {"rename", &RightsSet::rename},     {"append", &RightsSet::append},        {"dir_list", &RightsSet::dirList},
    {"dir_create", &RightsSet::dirCreate}, {"dir_remove", &RightsSet::dirRemove}, {"dir_rename", &RightsSet::dirRename},
};

RightsSet ReadRights(CRecordTable& t) {
    RightsSet r;
    for (const auto& f : kRightFields) r.*f.flag = Int(t, f.name) == 1;
    return r;
}

bool Fail(CRecordTable& t, std::string& error) {
    error = t.GetErrorText();
    t.Close();
    return false;
}

// A folder table's integer fields in schema order; "execute", "dir_sub" and "reserved1" are stored, never read.
const char* const kFolderIntFields[] = {"read",     "write",      "delete",     "rename",     "append", "execute",
                                        "dir_list", "dir_create", "dir_remove", "dir_rename", "dir_sub", "reserved1"};

// The key of `name`, or key 0 when the table has none.
int KeyNamed(const CRecordTable& t, const char* name) {
    for (int k = 0; k < t.GetKeyCount(); ++k)
        if (EqualsNoCase(t.GetHeader().KeyName(k), name)) return k;
    return 0;
}

// Writes `text` into a string field after checking it fits: the record engine would store it cut.
AccountStatus PutText(CRecordTable& t, const char* name, AccountField field, const std::string& text) {
    const int index = t.GetFieldIndex(name);
    if (index < 0) return AccountStatus::Fail(AccountFault::Table, field, std::string("the table has no field ") + name);
    if (t.GetFieldType(index) == FT_STRING) {
        const int width = t.GetHeader().FieldWidth(index);
        if (text.size() > static_cast<size_t>(width))
            return AccountStatus::Fail(AccountFault::TooLong, field,
                                       std::string(name) + " takes at most " + std::to_string(width) + " characters",
                                       width);
    }
    if (!t.SetFieldText(text, index))
        return AccountStatus::Fail(AccountFault::Table, field, std::string("cannot set ") + name + ": " + t.GetErrorText());
    return {};
}

AccountStatus PutNumber(CRecordTable& t, const char* name, AccountField field, double value) {
    const int index = t.GetFieldIndex(name);
    bool ok = index >= 0;
    if (ok && t.GetFieldType(index) == FT_DOUBLE) ok = t.SetFieldValue(&value, index);
    else if (ok) {
        char text[32];
        ok = t.SetFieldText(std::string(text, std::to_chars(text, text + sizeof text, value).ptr), index);
    }
    if (!ok) return AccountStatus::Fail(AccountFault::Table, field, std::string("cannot set ") + name + ": " + t.GetErrorText());
    return {};
}

}  // namespace

std::string UserTablePath(const std::string& programDir) { return programDir + "user.sdb"; }
std::string GroupTablePath(const std::string& programDir) { return programDir + "group.sdb"; }
std::string FolderTablePath(const std::string& programDir, FolderOwner owner, int id) {
    return programDir + (owner == FolderOwner::User ? "vfolder_user" : "vfolder_group") + std::to_string(id) + ".sdb";
}

bool CreateUserTable(const std::string& path, std::string& error) {
    CRecordTable t;
    bool ok = t.CreateField("id", FT_AUTOINC) && t.CreateField("userid", FT_STRING, 64) &&
              t.CreateField("password", FT_STRING, kPasswordWidth) && t.CreateField("email", FT_STRING, 128) &&
              t.CreateField("group", FT_STRING, 128) && t.CreateField("homedir", FT_STRING, 512) &&
              t.CreateField("status", FT_STRING, 4) && t.CreateField("reserved", FT_STRING, 32);
    for (const char* right : {"read", "write", "append", "delete", "rename", "dir_list", "dir_create", "dir_remove",
                              "dir_rename", "download_limit", "upload_limit", "download_speed", "upload_speed"})
        ok = ok && t.CreateField(right, FT_INT);
    ok = ok && t.CreateField("quota_max", FT_DOUBLE) && t.CreateField("quota_current", FT_DOUBLE) &&
         t.CreateKey("userid", KEY_UNIQUE, 1, 2) && t.Create(path, "users");
    if (!ok) return Fail(t, error);
    t.Close();
    return true;
}

bool CreateGroupTable(const std::string& path, std::string& error) {
    CRecordTable t;
    bool ok = t.CreateField("id", FT_AUTOINC) && t.CreateField("name", FT_STRING, 64) &&
              t.CreateField("notes", FT_STRING, 256) && t.CreateKey("name", KEY_UNIQUE, 1, 2) &&
              t.Create(path, "groups");
    if (!ok) return Fail(t, error);
    t.Close();
    return true;
}

bool WriteFolderTable(const std::string& path, const std::vector<VirtualFolder>& folders, std::string& error) {
    CRecordTable t;
    bool ok = t.CreateField("id", FT_AUTOINC) && t.CreateField("name", FT_STRING, kFolderNameWidth) &&
              t.CreateField("dir", FT_STRING, kFolderDirWidth);
    for (const char* field : kFolderIntFields) ok = ok && t.CreateField(field, FT_INT);
    ok = ok && t.CreateField("reserved2", FT_STRING, 32) && t.CreateKey("name", KEY_UNIQUE, 1, 0) && t.Create(path, "");
    for (const auto& f : folders) {
        ok = ok && t.SetFieldText(f.name, "name") && t.SetFieldText(f.dir, "dir");
        for (const auto& right : kRightFields) ok = ok && t.SetFieldText(f.rights.*right.flag ? "1" : "0", right.name);
        ok = ok && t.SetFieldText("0", "execute") && t.SetFieldText("1", "dir_sub") && t.SetFieldText("0", "reserved1") &&
             t.AppendRecord();
    }
    if (!ok) return Fail(t, error);
    t.Close();
    return true;
}

bool SeekUser(CRecordTable& t, const std::string& userid) { return t.Seek("userid", userid.c_str()); }
bool SeekGroup(CRecordTable& t, const std::string& name) { return t.Seek("name", name.c_str()); }
bool SeekId(CRecordTable& t, int id) { return t.Seek("id", &id); }

Account ReadUser(CRecordTable& t) {
    Account a;
    a.id = Int(t, "id");
    a.userid = Text(t, "userid");
    a.password = Text(t, "password");
    a.email = Text(t, "email");
    a.groups = DecodeGroupIds(Text(t, "group"));
    a.homedir = Text(t, "homedir");
    a.enabled = Int(t, "status") == 1;
    a.expiry = DecodeExpiry(Text(t, "reserved"));
    a.rights = ReadRights(t);
    a.downloadLimit = Int(t, "download_limit") == 1;
    a.uploadLimit = Int(t, "upload_limit") == 1;
    a.downloadSpeed = Int(t, "download_speed");
    a.uploadSpeed = Int(t, "upload_speed");
    a.quotaMax = Double(t, "quota_max");
    a.quotaCurrent = Double(t, "quota_current");
    return a;
}

Group ReadGroup(CRecordTable& t) { return {Int(t, "id"), Text(t, "name"), Text(t, "notes")}; }

std::vector<VirtualFolder> ReadFolders(CRecordTable& t) {
    std::vector<VirtualFolder> folders;
    for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0))
        folders.push_back({Text(t, "name"), Text(t, "dir"), ReadRights(t)});
    return folders;
}

std::vector<Account> ReadUsers(CRecordTable& t) {
    std::vector<Account> users;
    const int key = KeyNamed(t, "userid");
    for (bool more = t.MoveFirst(key); more; more = t.MoveNext(key)) users.push_back(ReadUser(t));
    return users;
}

std::vector<Group> ReadGroups(CRecordTable& t) {
    std::vector<Group> groups;
    for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0)) groups.push_back(ReadGroup(t));
    return groups;
}

AccountStatus PutUser(CRecordTable& t, const UserChange& c) {
    AccountStatus s;
    if (s && c.userid) s = PutText(t, "userid", AccountField::UserName, *c.userid);
    if (s && c.password) {
        std::string stored = c.password->text;
        if (c.password->hashed && !stored.empty()) {
            stored = MakePasswordHash(stored);
            if (stored.empty()) return AccountStatus::Fail(AccountFault::Invalid, AccountField::Password, "cannot hash the password");
        }
        s = PutText(t, "password", AccountField::Password, stored);
    }
    if (s && c.email) s = PutText(t, "email", AccountField::Email, *c.email);
    if (s && c.homedir) s = PutText(t, "homedir", AccountField::Home, *c.homedir);
    if (s && c.groups) s = PutText(t, "group", AccountField::Groups, EncodeGroupIds(*c.groups));
    if (s && c.enabled) s = PutText(t, "status", AccountField::None, *c.enabled ? "1" : "0");
    if (s && c.expiry) s = PutText(t, "reserved", AccountField::Expiry, EncodeExpiry(*c.expiry));
    for (const auto& right : kRightFields)
        if (s && c.rights) s = PutText(t, right.name, AccountField::None, (*c.rights).*right.flag ? "1" : "0");
    const std::tuple<const std::optional<SpeedLimit>&, const char*, const char*, AccountField> speeds[] = {
        {c.download, "download_limit", "download_speed", AccountField::DownloadSpeed},
        {c.upload, "upload_limit", "upload_speed", AccountField::UploadSpeed}};
    for (const auto& [limit, flag, speed, field] : speeds) {
        if (s && limit) s = PutText(t, flag, field, limit->on ? "1" : "0");
        if (s && limit) s = PutText(t, speed, field, std::to_string(limit->kbPerSecond));
    }
    if (s && c.quotaMax) s = PutNumber(t, "quota_max", AccountField::QuotaMax, *c.quotaMax);
    if (s && c.quotaCurrent) s = PutNumber(t, "quota_current", AccountField::QuotaCurrent, *c.quotaCurrent);
    return s;
}

AccountStatus PutGroup(CRecordTable& t, const GroupChange& c) {
    AccountStatus s;
    if (s && c.name) s = PutText(t, "name", AccountField::GroupName, *c.name);
    if (s && c.notes) s = PutText(t, "notes", AccountField::Notes, *c.notes);
    return s;
}

bool PutUserGroups(CRecordTable& t, const std::vector<int>& groups) {
    return t.SetFieldText(EncodeGroupIds(groups), "group");
}

bool PutDisabled(CRecordTable& t) { return t.SetFieldText("0", "status"); }

std::vector<std::string> ServedDirectories(const std::string& programDir) {
    std::vector<std::string> dirs;
    auto add = [&](const std::string& dir) {
        if (!dir.empty() && std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
    };
    auto addFolders = [&](FolderOwner owner, int id) {
        CRecordTable f;
        if (!f.Open(FolderTablePath(programDir, owner, id), OpenMode::Read)) return;
        for (const VirtualFolder& folder : ReadFolders(f)) add(folder.dir);
    };
    CRecordTable t;
    if (t.Open(UserTablePath(programDir), OpenMode::Read))
        for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0)) {
            add(Text(t, "homedir"));
            addFolders(FolderOwner::User, Int(t, "id"));
        }
    CRecordTable g;
    if (g.Open(GroupTablePath(programDir), OpenMode::Read))
        for (bool more = g.MoveFirst(0); more; more = g.MoveNext(0)) addFolders(FolderOwner::Group, Int(g, "id"));
    return dirs;
}

std::optional<Account> CSdbAccounts::LoadAccount(const std::string& userName) {
    CRecordTable t;
    if (!t.Open(UserTablePath(dir_), OpenMode::Read) || !SeekUser(t, userName)) return std::nullopt;
    return ReadUser(t);
}

std::optional<std::vector<VirtualFolder>> CSdbAccounts::LoadFolders(FolderOwner owner, int id) {
    CRecordTable t;
    if (!t.Open(FolderTablePath(dir_, owner, id), OpenMode::Read)) return std::nullopt;
    return ReadFolders(t);
}

bool CSdbAccounts::AddUsedQuota(const std::string& userName, double kb) {
    std::lock_guard lock(gAccountLock);
    CRecordTable t;
    if (!t.Open(UserTablePath(dir_), OpenMode::ReadWrite) || !SeekUser(t, userName)) return false;
    if (Double(t, "quota_max") <= 0) return true;
    double current = std::max(0.0, Double(t, "quota_current") + kb);
    return t.SetFieldValue(&current, "quota_current") && t.UpdateRecord();
}

}  // namespace tw
