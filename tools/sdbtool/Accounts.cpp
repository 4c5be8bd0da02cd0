// sdbtool init / user: create the account tables of a program directory and edit their users.
#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>

#include "accounts/AccountStore.h"
#include "accounts/AccountTables.h"
#include "accounts/StoredFiles.h"
#include "tools/sdbtool/AccountCommands.h"
#include "tools/sdbtool/Commands.h"

namespace tw {

namespace {

using namespace sdbtool;

const std::vector<std::string> kUserOptions = {
    "password", "password-hash", "password-plain", "email",        "home",  "rights", "groups",
    "status",   "expires",       "download-speed", "upload-speed", "quota", "used"};

// The change the options ask for; false with `error` (and `usage` for a malformed value) otherwise.
bool ParseUserOptions(const CAccountStore& store, const std::map<std::string, std::string>& options, UserChange& change,
                      std::string& error) {
    for (const auto& [key, value] : options) {
        if (key == "password" || key == "password-hash") {
            change.password = PasswordText{value, true};
        } else if (key == "password-plain") {
            change.password = PasswordText{value, false};
        } else if (key == "email") {
            change.email = value;
        } else if (key == "home") {
            if (AccountStatus s = CheckDirectoryExists(value, AccountField::Home); !s)
                error = s.text;
            else
                change.homedir = AbsoluteDirectory(value);
        } else if (key == "rights") {
            change.rights = RightsSet::FromString(value);
            if (!change.rights) error = "malformed rights '" + value + "' (nine letters RWDRALCRR, '-' where denied)";
        } else if (key == "groups") {
            std::vector<int> ids;
            std::vector<std::string> unknown;
            if (AccountStatus s = store.ResolveGroups(value, ids, unknown); !s)
                error = s.text;
            else if (!unknown.empty())
                error = "unknown group '" + unknown.front() + "'";
            else
                change.groups = ids;
        } else if (key == "status") {
            if (value == "enabled" || value == "disabled")
                change.enabled = value == "enabled";
            else
                error = "status is 'enabled' or 'disabled'";
        } else if (key == "expires") {
            if (value == "never")
                change.expiry = Expiry{};
            else if (ValidDate(value))
                change.expiry = Expiry{true, value};
            else
                error = "expiry is a date YYYY-MM-DD or 'never'";
        } else if (key == "download-speed" || key == "upload-speed") {
            int speed = 0;
            if (!ParseSpeed(value, speed))
                error =
                    key + " is a whole number of KB per second up to " + std::to_string(INT_MAX) + " (0: unlimited)";
            else
                (key == "download-speed" ? change.download : change.upload) = SpeedLimit{speed > 0, speed};
        } else if (key == "quota" || key == "used") {
            double kb = 0;
            if (!ParseKb(value, kb))
                error = key + " is a number of KB, 0 or more";
            else
                (key == "quota" ? change.quotaMax : change.quotaCurrent) = kb;
        }
        if (!error.empty()) return false;
    }
    return true;
}

int UserAddOrSet(CAccountStore& store, const std::string& verb, const std::string& name, const CommandArgs& args) {
    std::map<std::string, std::string> options;
    std::string error;
    if (!ParseOptions(args, 3, kUserOptions, options, error)) return Misuse(error);
    UserChange change;
    if (verb == "add") {
        if (!options.count("home")) return Misuse("user add needs --home DIR");
        change.userid = name;
        if (!ParseUserOptions(store, options, change, error)) return Fail(error);
        int id = 0;
        if (AccountStatus s = store.AddUser(change, nullptr, id); !s) return Refused(s);
        std::printf("user %s added (id %d)\n", change.userid->c_str(), id);
        return 0;
    }
    Account user;
    if (AccountStatus s = store.FindUser(name, user); !s) return Fail(s.text);
    if (!ParseUserOptions(store, options, change, error)) return Fail(error);
    if (AccountStatus s = store.ChangeUser(user.id, change, nullptr); !s) return Refused(s);
    return 0;
}

int UserDel(CAccountStore& store, const std::string& name) {
    Account user;
    if (AccountStatus s = store.FindUser(name, user); !s) return Fail(s.text);
    if (AccountStatus s = store.DeleteUser(user.id); !s) return Fail(s.text);
    return 0;
}

std::string SpeedText(bool on, int speed) { return on && speed > 0 ? std::to_string(speed) + " KB/s" : "unlimited"; }

void PrintUser(const Account& a) {
    std::printf("userid         %s\nid             %d\nhomedir        %s\nstatus         %s\nrights         %s\n",
                a.userid.c_str(), a.id, a.homedir.c_str(), a.enabled ? "enabled" : "disabled",
                a.rights.ToString().c_str());
    std::printf("groups         %s\nemail          %s\nexpires        %s\n", EncodeGroupIds(a.groups).c_str(),
                a.email.c_str(), a.expiry.on ? a.expiry.date.c_str() : "never");
    std::printf("download       %s\nupload         %s\nquota          %.0f KB, used %.0f KB\n",
                SpeedText(a.downloadLimit, a.downloadSpeed).c_str(), SpeedText(a.uploadLimit, a.uploadSpeed).c_str(),
                a.quotaMax, a.quotaCurrent);
}

int UserList(const CAccountStore& store) {
    std::vector<Account> users;
    if (AccountStatus s = store.Users(users); !s) return Fail(s.text);
    for (const Account& a : users)
        std::printf("%-20s %-9s %s\n", a.userid.c_str(), a.enabled ? "enabled" : "disabled", a.homedir.c_str());
    return 0;
}

// Sets quota_current to what the home stores; prints the old and the new value.
bool RescanQuota(CAccountStore& store, const Account& user) {
    double kb = 0;
    if (!StoredKb(user.homedir, kb)) {
        std::fprintf(stderr, "sdbtool: %s: cannot read home %s\n", user.userid.c_str(), user.homedir.c_str());
        return false;
    }
    UserChange change;
    change.quotaCurrent = kb;
    if (AccountStatus s = store.ChangeUser(user.id, change, nullptr); !s) {
        std::fprintf(stderr, "sdbtool: %s: %s\n", user.userid.c_str(), s.text.c_str());
        return false;
    }
    std::printf("%s: used %.0f KB -> %.0f KB\n", user.userid.c_str(), user.quotaCurrent, kb);
    return true;
}

// One user by name, or with --all every user with a quota; exits 1 when any could not be rescanned.
int UserRescanQuota(CAccountStore& store, const std::string& name) {
    std::vector<Account> users;
    if (name == "--all") {
        if (AccountStatus s = store.Users(users); !s) return Fail(s.text);
        std::erase_if(users, [](const Account& a) { return a.quotaMax <= 0; });
    } else {
        Account user;
        if (AccountStatus s = store.FindUser(name, user); !s) return Fail(s.text);
        users.push_back(user);
    }
    bool ok = true;
    for (const Account& user : users) ok &= RescanQuota(store, user);
    return ok ? 0 : 1;
}

int RunUserCommand(const CommandArgs& args) {
    if (args.size() < 2) return Misuse("usage: sdbtool user add|set|del|list|show|rescan-quota DIR [NAME] [options]");
    const std::string& verb = args[0];
    std::string dir;
    if (!ProgramDirectoryArg(args[1], dir)) return 1;
    CAccountStore store(dir);
    if (verb == "list") return UserList(store);
    if (args.size() < 3) return Misuse("user " + verb + " needs a user name");
    const std::string& name = args[2];
    if (verb == "add" || verb == "set") return UserAddOrSet(store, verb, name, args);
    if (verb == "del") return UserDel(store, name);
    if (verb == "rescan-quota")
        return args.size() == 3 ? UserRescanQuota(store, name)
                                : Misuse("usage: sdbtool user rescan-quota DIR NAME|--all");
    if (verb == "show") {
        Account user;
        if (AccountStatus s = store.FindUser(name, user); !s) return Fail(s.text);
        PrintUser(user);
        return 0;
    }
    return Misuse("unknown user command '" + verb + "'");
}

}  // namespace

int RunInit(const CommandArgs& args) {
    if (args.size() != 1) return Misuse("usage: sdbtool init DIR");
    std::string dir;
    if (!ProgramDirectoryArg(args[0], dir)) return 1;
    for (const std::string& path : {UserTablePath(dir), GroupTablePath(dir)})
        if (std::filesystem::exists(path)) return Fail(path + " exists; remove it first");
    std::string error;
    if (!CreateUserTable(UserTablePath(dir), error) || !CreateGroupTable(GroupTablePath(dir), error))
        return Fail(error);
    return 0;
}

int RunUser(const CommandArgs& args) { return RunUserCommand(args); }

}  // namespace tw
