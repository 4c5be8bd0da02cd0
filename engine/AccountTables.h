// The account tables of the program directory: user.sdb, group.sdb and the virtual-folder tables
// vfolder_user<id>.sdb and vfolder_group<id>.sdb.
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
// Readers find fields by name and tolerate missing ones (they read as empty or 0), so tables written by
// other tools with other field orders or widths are read too.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "engine/Accounts.h"

namespace tw {

std::string UserTablePath(const std::string& programDir);
std::string GroupTablePath(const std::string& programDir);
std::string FolderTablePath(const std::string& programDir, FolderOwner owner, int id);

// Creates an empty table with its schema; false with `error` set on failure.
bool CreateUserTable(const std::string& path, std::string& error);
bool CreateGroupTable(const std::string& path, std::string& error);
// Creates the folder table afresh and appends the folders in order.
bool WriteFolderTable(const std::string& path, const std::vector<VirtualFolder>& folders, std::string& error);
// Width of user.sdb's password field: room for a yescrypt hash (73 characters). Tables made with a
// narrower field are read as they are.
constexpr int kPasswordWidth = 128;
// Widths of a folder table's name and dir fields.
constexpr int kFolderNameWidth = 64;
constexpr int kFolderDirWidth = 512;

struct Group {
    int id = 0;
    std::string name, notes;
};

// Every record of user.sdb or group.sdb in the order of key 0, or nothing when the table does not open.
std::optional<std::vector<Account>> LoadAllAccounts(const std::string& programDir);
std::optional<std::vector<Group>> LoadAllGroups(const std::string& programDir);

// Disables every account whose expiry is switched on and whose expiry date is `today` or earlier.
// Returns the number of accounts disabled; nothing happens when user.sdb does not open.
int ExpirySweep(const std::string& programDir, std::time_t today);

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
