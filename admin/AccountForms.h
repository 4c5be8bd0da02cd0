// The forms behind the user and the group editor: the control values of a loaded account, and the change
// a save writes. A save of an existing account names only what the administrator changed since loading,
// so that it never writes back a value another writer changed meanwhile (above all quota_current, which
// the server raises while an editor is open).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "accounts/AccountStore.h"
#include "admin/EditorChecks.h"
#include "admin/FolderList.h"

namespace tw::admin {

// The user editor's controls as they show: numbers as texts, the date as "%Y-%m-%d".
struct UserFormValues {
    bool enabled = true;
    std::string userid, password, groups, homedir, email;
    bool hashPassword = true;
    RightsSet rights;
    Expiry expiry;  // the picker's date even when off
    bool downloadLimit = false, uploadLimit = false;
    std::string downloadSpeed = "0", uploadSpeed = "0", quotaMax = "0", quotaCurrent = "0";
    bool operator==(const UserFormValues&) const = default;
};

// A quota as shown: whole KB ("%0.f").
std::string FormatKb(double kb);

class CUserForm {
public:
    explicit CUserForm(CAccountStore& store) : store_(store) {}

    // A new user: enabled, read and list, no expiry (the picker on `today`), the home prefilled.
    void New(const std::string& defaultHome, const std::string& today);
    // An existing user with its own folders and those of its groups. Refused when the user or its folder
    // table cannot be read: a save could then only lose what the tables hold.
    FormCheck Load(int id, const std::string& today);

    CAccountStore& Store() const { return store_; }
    bool IsNew() const { return !id_; }
    std::optional<int> Id() const { return id_; }
    const UserFormValues& Values() const { return loaded_; }
    CFolderList& Folders() { return folders_; }
    const CFolderList& Folders() const { return folders_; }

    // The change `values` make: every field for a new user, only the changed ones otherwise (the password
    // only when one was typed). Refuses a blank user name or home, and numbers out of range.
    FormCheck MakeChange(const UserFormValues& values, UserChange& change) const;
    // Checks, asks before a home that does not exist (unless `homeConfirmed`), then writes the user and
    // its own folders; a new user keeps the id it was given.
    FormCheck Save(const UserFormValues& values, bool homeConfirmed);

private:
    CAccountStore& store_;
    std::optional<int> id_;
    Account account_;        // as loaded
    UserFormValues loaded_;  // its control values
    CFolderList folders_;
};

struct GroupFormValues {
    std::string name, notes;
};

class CGroupForm {
public:
    explicit CGroupForm(CAccountStore& store) : store_(store) {}

    void New();
    FormCheck Load(int id);

    bool IsNew() const { return !id_; }
    std::optional<int> Id() const { return id_; }
    const GroupFormValues& Values() const { return loaded_; }
    CFolderList& Folders() { return folders_; }

    // Refuses a blank name ("名称不能为空!"); writes the group and its folders.
    FormCheck Save(const GroupFormValues& values);

private:
    CAccountStore& store_;
    std::optional<int> id_;
    GroupFormValues loaded_;
    CFolderList folders_;
};

// The groups field after the group selection: `chosen` appended, leading and trailing commas trimmed.
std::string AppendGroupNames(const std::string& field, const std::vector<std::string>& chosen);

}  // namespace tw::admin
