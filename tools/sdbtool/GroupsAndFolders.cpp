// sdbtool group / vfolder: groups and the virtual folders of users and groups.
#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "AccountCommands.h"
#include "engine/AccountTables.h"
#include "platform/IniFile.h"
#include "platform/Text.h"
#include "recordengine/RecordTable.h"

namespace {

using namespace accounts;
using tw::FolderOwner;
using tw::VirtualFolder;

// Takes a group out of every user's group list, so that a later group given the same id has no
// members by inheritance.
bool DropMembers(const std::string& dir, int id, std::string& error) {
    CRecordTable t;
    if (!t.Open(tw::UserTablePath(dir), OpenMode::ReadWrite)) {
        error = "cannot open user table: " + t.GetErrorText();
        return false;
    }
    for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0)) {
        tw::Account member;
        member.group = t.GetFieldText("group");
        const std::vector<int> ids = member.GroupIds();
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) continue;
        std::string kept;
        for (int other : ids)
            if (other != id) kept += (kept.empty() ? "" : ",") + std::to_string(other);
        if (!(t.SetFieldText(kept, "group") && t.UpdateRecord())) {
            error = "cannot change user '" + t.GetFieldText("userid") + "': " + t.GetErrorText();
            return false;
        }
    }
    error = t.GetErrorText();
    return error.empty();
}

// Empty when a client can reach a folder of this name directly under "/".
std::string FolderNameError(const std::string& name) {
    if (name.empty() || name == "." || name == ".." ||
        std::any_of(name.begin(), name.end(), [](unsigned char c) { return c == '/' || c == '\\' || c < 0x20 || c == 0x7F; }))
        return "a folder name is one path piece: not empty, '.' or '..', without '/', '\\' or control characters";
    if (name.size() > static_cast<size_t>(tw::kFolderNameWidth))
        return "folder name takes at most " + std::to_string(tw::kFolderNameWidth) + " characters";
    return {};
}

int GroupCommand(const CommandArgs& args) {
    if (args.size() < 2) return Misuse("usage: sdbtool group add|set|del|list DIR [NAME] [--notes TEXT]");
    const std::string& verb = args[0];
    std::string dir;
    if (!ProgramDirectoryArg(args[1], dir)) return 1;
    CRecordTable t;
    if (verb == "list") {
        if (!t.Open(tw::GroupTablePath(dir), OpenMode::Read)) return Fail("cannot open group table: " + t.GetErrorText());
        for (bool more = t.MoveFirst(0); more; more = t.MoveNext(0))
            std::printf("%-6s %-20s %s\n", t.GetFieldText("id").c_str(), t.GetFieldText("name").c_str(),
                        t.GetFieldText("notes").c_str());
        return 0;
    }
    if (args.size() < 3) return Misuse("group " + verb + " needs a group name");
    const std::string& name = args[2];
    std::map<std::string, std::string> options;
    std::string error;
    if (!ParseOptions(args, 3, {"notes"}, options, error)) return Misuse(error);
    if (!OpenForWriting(t, tw::GroupTablePath(dir))) return 1;
    if (verb == "add" && !CheckName(t, "name", name, "group", error)) return Misuse(error);
    if (options.count("notes") && !FitsField(t, "notes", options["notes"], error)) return Fail(error);
    bool exists = t.Seek("name", name.c_str());
    if (verb == "add") {
        if (exists) return Fail("group '" + name + "' exists");
        if (!t.SetFieldText(name, "name") || !t.SetFieldText(options["notes"], "notes") || !t.AppendRecord())
            return Fail("cannot add group '" + name + "': " + t.GetErrorText());
        // The server denies outside the home once a group's folder table does not open, so every group has one.
        const int id = t.GetLastId();
        const std::string path = tw::FolderTablePath(dir, FolderOwner::Group, id);
        if (!tw::WriteFolderTable(path, {}, error)) {
            if (t.Seek("name", name.c_str())) t.DeleteRecord();
            return Fail("cannot write " + path + ": " + error);
        }
        std::printf("group %s added (id %d)\n", name.c_str(), id);
        return 0;
    }
    if (!exists) return Fail("unknown group '" + name + "'");
    if (verb == "set") {
        if (options.count("notes") && (!t.SetFieldText(options["notes"], "notes") || !t.UpdateRecord()))
            return Fail("cannot change group '" + name + "': " + t.GetErrorText());
        return 0;
    }
    if (verb == "del") {
        int id = tw::LeadingInt(t.GetFieldText("id"));
        // Members first: a failure then leaves the group in place rather than its id in users' lists.
        if (!DropMembers(dir, id, error)) return Fail("cannot delete group '" + name + "': " + error);
        if (!t.DeleteRecord()) return Fail("cannot delete group '" + name + "': " + t.GetErrorText());
        std::error_code ignored;
        std::filesystem::remove(tw::FolderTablePath(dir, FolderOwner::Group, id), ignored);
        return 0;
    }
    return Misuse("unknown group command '" + verb + "'");
}

// The id of a user or group by name, or -1 (reported).
int OwnerId(const std::string& dir, FolderOwner owner, const std::string& name) {
    CRecordTable t;
    bool user = owner == FolderOwner::User;
    if (!t.Open(user ? tw::UserTablePath(dir) : tw::GroupTablePath(dir), OpenMode::Read) ||
        !t.Seek(user ? "userid" : "name", name.c_str())) {
        Fail(std::string("unknown ") + (user ? "user" : "group") + " '" + name + "'");
        return -1;
    }
    return tw::LeadingInt(t.GetFieldText("id"));
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
    FolderOwner owner = args[2] == "user" ? FolderOwner::User : FolderOwner::Group;
    int id = OwnerId(dir, owner, args[3]);
    if (id < 0) return 1;
    const std::string path = tw::FolderTablePath(dir, owner, id);
    std::vector<VirtualFolder> folders = tw::CSdbAccounts(dir).LoadFolders(owner, id).value_or(std::vector<VirtualFolder>());
    if (verb == "list") {
        for (const auto& f : folders) std::printf("%-20s %s %s\n", f.name.c_str(), f.rights.ToString().c_str(), f.dir.c_str());
        return 0;
    }
    if (args.size() < 5) return Misuse(usage);
    const std::string& name = args[4];
    auto it = std::find_if(folders.begin(), folders.end(), [&](const VirtualFolder& f) { return tw::EqualsNoCase(f.name, name); });
    if (verb == "add") {
        if (args.size() < 6) return Misuse(usage);
        std::map<std::string, std::string> options = {{"rights", "R----L---"}};
        std::string error;
        if (!ParseOptions(args, 6, {"rights"}, options, error)) return Misuse(error);
        auto rights = tw::RightsSet::FromString(options["rights"]);
        if (!rights) return Misuse("malformed rights '" + options["rights"] + "' (nine letters RWDRALCRR, '-' where denied)");
        if (std::string nameError = FolderNameError(name); !nameError.empty()) return Misuse(nameError);
        if (it != folders.end()) return Fail("folder '" + name + "' exists");
        if (!std::filesystem::is_directory(args[5])) return Fail("directory '" + args[5] + "' does not exist");
        std::string local = std::filesystem::absolute(args[5]).lexically_normal().string();
        if (local.size() > static_cast<size_t>(tw::kFolderDirWidth))
            return Fail("folder directory takes at most " + std::to_string(tw::kFolderDirWidth) + " characters");
        folders.push_back({name, local, *rights});
    } else if (verb == "del") {
        if (it == folders.end()) return Fail("unknown folder '" + name + "'");
        folders.erase(it);
    } else {
        return Misuse(usage);
    }
    std::string error;
    if (!tw::WriteFolderTable(path, folders, error)) return Fail("cannot write " + path + ": " + error);
    return 0;
}

}  // namespace

int RunGroup(const CommandArgs& args) { return GroupCommand(args); }
int RunFolder(const CommandArgs& args) { return FolderCommand(args); }
