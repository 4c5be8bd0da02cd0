#include "AccountTables.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "platform/IniFile.h"
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

RightsSet ReadRights(CRecordTable& t) {
    RightsSet r;
    r.read = Int(t, "read") == 1;
    r.write = Int(t, "write") == 1;
    r.append = Int(t, "append") == 1;
    r.del = Int(t, "delete") == 1;
    r.rename = Int(t, "rename") == 1;
    r.dirList = Int(t, "dir_list") == 1;
    r.dirCreate = Int(t, "dir_create") == 1;
    r.dirRemove = Int(t, "dir_remove") == 1;
    r.dirRename = Int(t, "dir_rename") == 1;
    return r;
}

Account ReadAccount(CRecordTable& t) {
    Account a;
    a.id = Int(t, "id");
    a.userid = Text(t, "userid");
    a.password = Text(t, "password");
    a.email = Text(t, "email");
    a.group = Text(t, "group");
    a.homedir = Text(t, "homedir");
    a.status = Int(t, "status");
    a.reserved = Text(t, "reserved");
    a.rights = ReadRights(t);
    a.downloadLimit = Int(t, "download_limit") == 1;
    a.uploadLimit = Int(t, "upload_limit") == 1;
    a.downloadSpeed = Int(t, "download_speed");
    a.uploadSpeed = Int(t, "upload_speed");
    a.quotaMax = Double(t, "quota_max");
    a.quotaCurrent = Double(t, "quota_current");
    return a;
}

bool Fail(CRecordTable& t, std::string& error) {
    error = t.GetErrorText();
    t.Close();
    return false;
}

const char* const kFolderRights[] = {"read",     "write",      "delete",     "rename",     "append", "execute",
                                     "dir_list", "dir_create", "dir_remove", "dir_rename", "dir_sub", "reserved1"};

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
    for (const char* right : kFolderRights) ok = ok && t.CreateField(right, FT_INT);
    ok = ok && t.CreateField("reserved2", FT_STRING, 32) && t.CreateKey("name", KEY_UNIQUE, 1, 0) && t.Create(path, "");
    for (const auto& f : folders) {
        const RightsSet& r = f.rights;
        const bool flags[] = {r.read, r.write, r.del, r.rename, r.append, false,
                              r.dirList, r.dirCreate, r.dirRemove, r.dirRename, true, false};
        ok = ok && t.SetFieldText(f.name, "name") && t.SetFieldText(f.dir, "dir");
        for (size_t i = 0; ok && i < std::size(kFolderRights); ++i) ok = t.SetFieldText(flags[i] ? "1" : "0", kFolderRights[i]);
        ok = ok && t.AppendRecord();
    }
    if (!ok) return Fail(t, error);
    t.Close();
    return true;
}

std::optional<std::vector<Account>> LoadAllAccounts(const std::string& programDir) {
    CRecordTable t;
    if (!t.Open(UserTablePath(programDir), OpenMode::Read)) return std::nullopt;
    std::vector<Account> accounts;
    for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0)) accounts.push_back(ReadAccount(t));
    return accounts;
}

std::optional<std::vector<Group>> LoadAllGroups(const std::string& programDir) {
    CRecordTable t;
    if (!t.Open(GroupTablePath(programDir), OpenMode::Read)) return std::nullopt;
    std::vector<Group> groups;
    for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0))
        groups.push_back({Int(t, "id"), Text(t, "name"), Text(t, "notes")});
    return groups;
}

int ExpirySweep(const std::string& programDir, std::time_t today) {
    CRecordTable t;
    if (!t.Open(UserTablePath(programDir), OpenMode::ReadWrite)) return 0;
    std::tm tm{};
    localtime_r(&today, &tm);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
    int disabled = 0;
    for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0)) {
        std::string reserved = Text(t, "reserved");
        if (reserved.empty() || LeadingInt(reserved.substr(0, 1)) != 1) continue;
        std::string expiry = reserved.size() > 2 ? reserved.substr(2) : std::string();
        if (std::string(date) >= expiry && Int(t, "status") != 0) {
            if (t.SetFieldText("0", "status") && t.UpdateRecord()) ++disabled;
        }
    }
    t.Close();
    return disabled;
}

std::vector<std::string> ServedDirectories(const std::string& programDir) {
    std::vector<std::string> dirs;
    auto add = [&](const std::string& dir) {
        if (!dir.empty() && std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
    };
    auto addFolders = [&](FolderOwner owner, int id) {
        CRecordTable f;
        if (!f.Open(FolderTablePath(programDir, owner, id), OpenMode::Read)) return;
        for (bool more = f.MoveFirst(0); more; more = f.MoveNext(0)) add(Text(f, "dir"));
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
    if (!t.Open(UserTablePath(dir_), OpenMode::Read) || !t.Seek("userid", userName.c_str())) return std::nullopt;
    return ReadAccount(t);
}

std::optional<std::vector<VirtualFolder>> CSdbAccounts::LoadFolders(FolderOwner owner, int id) {
    CRecordTable t;
    if (!t.Open(FolderTablePath(dir_, owner, id), OpenMode::Read)) return std::nullopt;
    std::vector<VirtualFolder> folders;
    for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0))
        folders.push_back({Text(t, "name"), Text(t, "dir"), ReadRights(t)});
    return folders;
}

bool CSdbAccounts::AddUsedQuota(const std::string& userName, double kb) {
    std::lock_guard lock(gAccountLock);
    CRecordTable t;
    if (!t.Open(UserTablePath(dir_), OpenMode::ReadWrite) || !t.Seek("userid", userName.c_str())) return false;
    if (Double(t, "quota_max") <= 0) return true;
    double current = std::max(0.0, Double(t, "quota_current") + kb);
    return t.SetFieldValue(&current, "quota_current") && t.UpdateRecord();
}

}  // namespace tw
