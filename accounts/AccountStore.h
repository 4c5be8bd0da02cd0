// CAccountStore: every change to the account tables of one program directory, with its checks. The
// front ends (sdbtool, the desktop editors) parse and show; the rules live here. Nothing here prints.
//
// Locks: each read-modify-write holds the record engine's exclusive lock on its table from the read to
// the write, so concurrent editors (in this process or another) never lose one another's changes. A
// folder table is edited under the exclusive lock of its owner's table (user.sdb or group.sdb) and
// replaced atomically (written beside, then moved over), so a reader sees the old list or the new one.
// Lock order: group.sdb before user.sdb. A table held longer than the record engine's lock bound fails
// the change with AccountFault::Table.
//
// Every call opens and closes what it needs; nothing is cached. A store is used by one thread at a time.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "accounts/Accounts.h"

namespace tw {

class CAccountStore {
public:
    // `programDir` ends in "/".
    explicit CAccountStore(std::string programDir) : dir_(std::move(programDir)) {}
    const std::string& Dir() const { return dir_; }

    // Reading. A table that does not open is AccountFault::Table with the file named in `text`.
    AccountStatus Users(std::vector<Account>& users) const;  // in userid order
    AccountStatus Groups(std::vector<Group>& groups) const;  // in id order
    AccountStatus FindUser(const std::string& userid, Account& user) const;  // Unknown when absent
    AccountStatus FindUser(int id, Account& user) const;
    AccountStatus FindGroup(const std::string& name, Group& group) const;
    // A folder table that does not exist is an empty list.
    AccountStatus Folders(FolderOwner owner, int id, std::vector<VirtualFolder>& folders) const;

    // Group names (or decimal ids) separated by ","; blank pieces skipped, each group once, in the given
    // order. Names that match no group go to `unknown`; the front end decides whether that is an error.
    AccountStatus ResolveGroups(const std::string& names, std::vector<int>& ids,
                                std::vector<std::string>& unknown) const;

    // Changes. `folders`, when given, replaces the owner's folder table in the same locked step; a change
    // whose folder table cannot be written keeps nothing (a new record is taken out again). Every new group
    // gets a folder table, empty when no `folders` are given: the server denies everything outside the home
    // of a member once a group's table does not open. A new user without a field gets the defaults:
    // enabled, no expiry, read and list only, no limits. `id` gets the new record's id.
    AccountStatus AddUser(const UserChange& user, const std::vector<VirtualFolder>* folders, int& id);
    AccountStatus ChangeUser(int id, const UserChange& change, const std::vector<VirtualFolder>* folders);
    // Removes the record and the user's folder table.
    AccountStatus DeleteUser(int id);
    AccountStatus AddGroup(const GroupChange& group, const std::vector<VirtualFolder>* folders, int& id);
    AccountStatus ChangeGroup(int id, const GroupChange& change, const std::vector<VirtualFolder>* folders);
    // Takes the id out of every member's group list first (ids are handed out again, so members would
    // silently join the next group made), then removes the record and the group's folder table.
    AccountStatus DeleteGroup(int id);
    // One read-modify-write of an owner's folder list: `edit` changes the list as read; the result is
    // checked and written when `edit` succeeds. The owner must exist.
    AccountStatus EditFolders(FolderOwner owner, int id,
                              const std::function<AccountStatus(std::vector<VirtualFolder>&)>& edit);

    // Disables every account whose expiry is on and whose date is `today` or earlier (local time).
    // Returns the number disabled; nothing happens when user.sdb does not open.
    int ExpirySweep(std::time_t today);

private:
    std::string dir_;
};

// Checks a front end may make before a change (the store makes them again).
// A virtual folder: the name one path piece that fits its field, the directory fits and is absolute.
AccountStatus CheckFolder(const VirtualFolder& folder);
// Every folder, and no two of one name (names compare ignoring case, as clients see them).
AccountStatus CheckFolders(const std::vector<VirtualFolder>& folders);
// A directory that exists (a home or a folder's directory).
AccountStatus CheckDirectoryExists(const std::string& path, AccountField field);

// A local directory as stored: trimmed, "/" stays "/", a longer path loses its trailing "/".
std::string NormalizeDirectory(const std::string& path);
// Parsers of the texts administrators type. A speed: a whole number of KB per second, 0..INT_MAX. A quota:
// a finite number of KB, 0 or more. A date: a real calendar date written YYYY-MM-DD.
bool ParseSpeed(const std::string& text, int& kbPerSecond);
bool ParseKb(const std::string& text, double& kb);
bool ValidDate(const std::string& text);

}  // namespace tw
