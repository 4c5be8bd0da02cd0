// sdbtool group / vfolder: groups and the virtual folders of users and groups.
#include <algorithm>
#include <cstdio>

#include "accounts/AccountStore.h"
#include "platform/Text.h"
#include "tools/sdbtool/AccountCommands.h"

namespace tw {

namespace {

using namespace sdbtool;

int GroupCommand(const CommandArgs& args) {
    if (args.size() < 2) return Misuse("usage: sdbtool group add|set|del|list DIR [NAME] [--notes TEXT]");
    const std::string& verb = args[0];
    std::string dir;
    if (!ProgramDirectoryArg(args[1], dir)) return 1;
    CAccountStore store(dir);
    if (verb == "list") {
        std::vector<Group> groups;
        if (AccountStatus s = store.Groups(groups); !s) return Fail(s.text);
        for (const Group& g : groups) std::printf("%-6d %-20s %s\n", g.id, g.name.c_str(), g.notes.c_str());
        return 0;
    }
    if (args.size() < 3) return Misuse("group " + verb + " needs a group name");
    const std::string& name = args[2];
    std::map<std::string, std::string> options;
    std::string error;
    if (!ParseOptions(args, 3, {"notes"}, options, error)) return Misuse(error);
    GroupChange change;
    if (options.count("notes")) change.notes = options["notes"];
    if (verb == "add") {
        change.name = name;
        int id = 0;
        if (AccountStatus s = store.AddGroup(change, nullptr, id); !s) return Refused(s);
        std::printf("group %s added (id %d)\n", change.name->c_str(), id);
        return 0;
    }
    if (verb != "set" && verb != "del") return Misuse("unknown group command '" + verb + "'");
    Group group;
    if (AccountStatus s = store.FindGroup(name, group); !s) return Fail(s.text);
    AccountStatus s = verb == "set" ? store.ChangeGroup(group.id, change, nullptr) : store.DeleteGroup(group.id);
    return s ? 0 : Refused(s);
}

int FolderCommand(const CommandArgs& args) {
    const char* usage =
        "usage: sdbtool vfolder add DIR user|group OWNER NAME LOCALDIR [--rights R----L---]\n"
        "       sdbtool vfolder del DIR user|group OWNER NAME\n"
        "       sdbtool vfolder list DIR user|group OWNER";
    if (args.size() < 4 || (args[2] != "user" && args[2] != "group")) return Misuse(usage);
    const std::string& verb = args[0];
    std::string dir;
    if (!ProgramDirectoryArg(args[1], dir)) return 1;
    CAccountStore store(dir);
    const FolderOwner owner = args[2] == "user" ? FolderOwner::User : FolderOwner::Group;
    int id = 0;
    if (owner == FolderOwner::User) {
        Account user;
        if (AccountStatus s = store.FindUser(args[3], user); !s) return Fail(s.text);
        id = user.id;
    } else {
        Group group;
        if (AccountStatus s = store.FindGroup(args[3], group); !s) return Fail(s.text);
        id = group.id;
    }
    if (verb == "list") {
        std::vector<VirtualFolder> folders;
        if (AccountStatus s = store.Folders(owner, id, folders); !s) return Fail(s.text);
        for (const auto& f : folders)
            std::printf("%-20s %s %s\n", f.name.c_str(), f.rights.ToString().c_str(), f.dir.c_str());
        return 0;
    }
    if (args.size() < 5) return Misuse(usage);
    const std::string& name = args[4];
    auto named = [&](const VirtualFolder& f) { return EqualsNoCase(f.name, name); };
    std::function<AccountStatus(std::vector<VirtualFolder>&)> edit;
    if (verb == "add") {
        if (args.size() < 6) return Misuse(usage);
        std::map<std::string, std::string> options = {{"rights", kNewRights}};
        std::string error;
        if (!ParseOptions(args, 6, {"rights"}, options, error)) return Misuse(error);
        auto rights = RightsSet::FromString(options["rights"]);
        if (!rights)
            return Misuse("malformed rights '" + options["rights"] + "' (nine letters RWDRALCRR, '-' where denied)");
        const VirtualFolder folder{name, AbsoluteDirectory(args[5]), *rights};
        if (AccountStatus s = CheckFolder(folder); !s) return Refused(s);
        if (AccountStatus s = CheckDirectoryExists(args[5], AccountField::FolderDir); !s) return Fail(s.text);
        edit = [&, folder](std::vector<VirtualFolder>& folders) {
            if (std::any_of(folders.begin(), folders.end(), named))
                return AccountStatus::Fail(AccountFault::Exists, AccountField::FolderName,
                                           "folder '" + name + "' exists");
            folders.push_back(folder);
            return AccountStatus{};
        };
    } else if (verb == "del") {
        edit = [&](std::vector<VirtualFolder>& folders) {
            auto it = std::find_if(folders.begin(), folders.end(), named);
            if (it == folders.end())
                return AccountStatus::Fail(AccountFault::Unknown, AccountField::FolderName,
                                           "unknown folder '" + name + "'");
            folders.erase(it);
            return AccountStatus{};
        };
    } else {
        return Misuse(usage);
    }
    AccountStatus s = store.EditFolders(owner, id, edit);
    return s ? 0 : Refused(s);
}

}  // namespace

int RunGroup(const CommandArgs& args) { return GroupCommand(args); }
int RunFolder(const CommandArgs& args) { return FolderCommand(args); }

}  // namespace tw
