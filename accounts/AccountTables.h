// The account tables of the program directory: user.sdb, group.sdb and the virtual-folder tables
// vfolder_user<id>.sdb and vfolder_group<id>.sdb. The one place that knows their field names.
//
// Schemas (field 0 is `id`, FT_AUTOINC, in every table):
//   user.sdb   userid S64, password S128, email S128, group S128, homedir S512, status S4, reserved S32,
//              read write append delete rename dir_list dir_create dir_remove dir_rename (FT_INT),
//              download_limit upload_limit download_speed upload_speed (FT_INT),
//              quota_max quota_current (FT_DOUBLE); key `userid` KEY_UNIQUE, ignoring case, so login
//              names match without regard to case.
//   group.sdb  name S64, notes S256; key `name` KEY_UNIQUE, ignoring case.
//   vfolder_*  name S64, dir S512, read write delete rename append execute dir_list dir_create dir_remove
//              dir_rename dir_sub reserved1 (FT_INT), reserved2 S32; key `name` KEY_UNIQUE, exact.
// Encodings: status "1" enabled; group the ids joined with ","; reserved "<flag>,<%Y-%m-%d>"; rights 1 or 0.
// Readers find fields by name and tolerate missing ones (they read as empty or 0), so tables written by
// other tools with other field orders or widths are read too; writers check text against the widths of
// the table at hand.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "accounts/Accounts.h"

namespace tw {

class CRecordTable;

std::string UserTablePath(const std::string& programDir);
std::string GroupTablePath(const std::string& programDir);
std::string FolderTablePath(const std::string& programDir, FolderOwner owner, int id);

// Creates an empty table with its schema; false with `error` set on failure.
bool CreateUserTable(const std::string& path, std::string& error);
bool CreateGroupTable(const std::string& path, std::string& error);
// Creates the folder table afresh at `path` and appends the folders in order.
bool WriteFolderTable(const std::string& path, const std::vector<VirtualFolder>& folders, std::string& error);
// Width of user.sdb's password field: room for a yescrypt hash (73 characters). Tables made with a
// narrower field are read as they are.
constexpr int kPasswordWidth = 128;
// Widths of a folder table's name and dir fields.
constexpr int kFolderNameWidth = 64;
constexpr int kFolderDirWidth = 512;

// Records of an open table. Seeks position the table on the record; reads decode the current record.
bool SeekUser(CRecordTable& t, const std::string& userid);
bool SeekGroup(CRecordTable& t, const std::string& name);
// By id, in any table whose field 0 is the id.
bool SeekId(CRecordTable& t, int id);
Account ReadUser(CRecordTable& t);
Group ReadGroup(CRecordTable& t);
std::vector<VirtualFolder> ReadFolders(CRecordTable& t);
// Every record in the order of the key named `userid` (users) or key 0.
std::vector<Account> ReadUsers(CRecordTable& t);
std::vector<Group> ReadGroups(CRecordTable& t);

// Puts the fields a change names into the edit buffer of an open table positioned on the record (or
// fresh for an append), after checking every text against its field's width. The password is hashed
// here when asked. Nothing is stored until the caller's AppendRecord or UpdateRecord.
AccountStatus PutUser(CRecordTable& t, const UserChange& change);
AccountStatus PutGroup(CRecordTable& t, const GroupChange& change);
// Sets only the stored group list of the current user record.
bool PutUserGroups(CRecordTable& t, const std::vector<int>& groups);
// Disables the current user record (status "0").
bool PutDisabled(CRecordTable& t);

// Every directory the accounts serve: each user's home and the directory of each virtual folder of
// every user and group, each once, in table order.
std::vector<std::string> ServedDirectories(const std::string& programDir);

// The account source over the tables of one program directory. Reads open the tables shared; the quota
// update takes the process-wide account lock and opens user.sdb for writing.
class CSdbAccounts : public CAccountSource {
public:
    explicit CSdbAccounts(std::string programDir) : dir_(std::move(programDir)) {}

    std::optional<Account> LoadAccount(const std::string& userName) override;
    std::optional<std::vector<VirtualFolder>> LoadFolders(FolderOwner owner, int id) override;
    // Changes nothing when the user's quota_max is 0 (quota accounting off).
    bool AddUsedQuota(const std::string& userName, double kb) override;

private:
    std::string dir_;
};

}  // namespace tw
