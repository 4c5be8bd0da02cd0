// sdbtool init / user / group / vfolder: create and edit the account tables of a program directory.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>

#include "AccountCommands.h"
#include "Commands.h"
#include "engine/AccountTables.h"
#include "platform/IniFile.h"
#include "platform/PasswordHash.h"
#include "platform/Text.h"
#include "recordengine/RecordTable.h"

namespace {

using namespace accounts;
using tw::Account;
using tw::FolderOwner;
using tw::RightsSet;
using tw::VirtualFolder;

// A quantity of KB: a finite number, not negative.
bool ParseKb(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && std::isfinite(value) && value >= 0;
}

// A speed limit in KB per second: a whole number that fits the int field, not negative.
bool ParseSpeed(const std::string& text, int& value) {
    const char* last = text.data() + text.size();
    auto [end, ec] = std::from_chars(text.data(), last, value);
    return !text.empty() && ec == std::errc() && end == last && value >= 0;
}

// A real calendar date written YYYY-MM-DD.
bool ValidDate(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9') return false;
    using namespace std::chrono;
    const year_month_day date{year(std::stoi(text.substr(0, 4))), month(std::stoul(text.substr(5, 2))),
                              day(std::stoul(text.substr(8, 2)))};
    return date.ok();
}

// The id of an existing group, given by name or by decimal id.
std::optional<int> FindGroupId(const std::string& dir, const std::string& piece) {
    CRecordTable t;
    if (!t.Open(tw::GroupTablePath(dir), OpenMode::Read)) return std::nullopt;
    int id = 0;
    const char* last = piece.data() + piece.size();
    auto [end, ec] = std::from_chars(piece.data(), last, id);
    const bool found = ec == std::errc() && end == last ? t.Seek("id", &id) : t.Seek("name", piece.c_str());
    if (!found) return std::nullopt;
    return tw::LeadingInt(t.GetFieldText("id"));
}

// "--groups" takes group names or ids, separated by ","; stored as ids.
bool ResolveGroups(const std::string& dir, const std::string& text, std::string& ids, std::string& error) {
    ids.clear();
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string piece(tw::Trim(rest.substr(0, comma)));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (piece.empty()) continue;
        std::optional<int> id = FindGroupId(dir, piece);
        if (!id) {
            error = "unknown group '" + piece + "'";
            return false;
        }
        ids += (ids.empty() ? "" : ",") + std::to_string(*id);
    }
    return true;
}

// Writes the user options into the current edit buffer of user.sdb.
bool ApplyUserOptions(CRecordTable& t, const std::string& dir, const std::map<std::string, std::string>& options,
                      std::string& error) {
    auto set = [&](const char* field, const std::string& value) {
        if (FitsField(t, field, value, error) && !t.SetFieldText(value, field))
            error = std::string("cannot set ") + field + ": " + t.GetErrorText();
        return error.empty();
    };
    for (const auto& [key, value] : options) {
        if (key == "password") {
            set("password", value);
        } else if (key == "password-hash") {
            const std::string hash = tw::MakePasswordHash(value);
            if (hash.empty()) error = "cannot hash the password";
            else set("password", hash);
        } else if (key == "email") {
            set("email", value);
        } else if (key == "home") {
            if (!std::filesystem::is_directory(value)) error = "home directory '" + value + "' does not exist";
            else set("homedir", std::filesystem::absolute(value).lexically_normal().string());
        } else if (key == "rights") {
            auto rights = RightsSet::FromString(value);
            if (!rights) {
                error = "malformed rights '" + value + "' (nine letters RWDRALCRR, '-' where denied)";
                return false;
            }
            const std::pair<const char*, bool> flags[] = {
                {"read", rights->read},           {"write", rights->write},         {"append", rights->append},
                {"delete", rights->del},          {"rename", rights->rename},       {"dir_list", rights->dirList},
                {"dir_create", rights->dirCreate}, {"dir_remove", rights->dirRemove}, {"dir_rename", rights->dirRename}};
            for (auto [field, on] : flags) set(field, on ? "1" : "0");
        } else if (key == "groups") {
            std::string ids;
            if (ResolveGroups(dir, value, ids, error)) set("group", ids);
        } else if (key == "status") {
            if (value == "enabled") set("status", "1");
            else if (value == "disabled") set("status", "0");
            else error = "status is 'enabled' or 'disabled'";
        } else if (key == "expires") {
            if (value == "never") set("reserved", "0,");
            else if (ValidDate(value)) set("reserved", "1," + value);
            else error = "expiry is a date YYYY-MM-DD or 'never'";
        } else if (key == "download-speed" || key == "upload-speed") {
            const bool down = key == "download-speed";
            int speed = 0;
            if (!ParseSpeed(value, speed)) {
                error = key + " is a whole number of KB per second up to " + std::to_string(INT_MAX) + " (0: unlimited)";
            } else {
                set(down ? "download_limit" : "upload_limit", speed > 0 ? "1" : "0");
                set(down ? "download_speed" : "upload_speed", std::to_string(speed));
            }
        } else if (key == "quota" || key == "used") {
            double kb = 0;
            if (!ParseKb(value, kb)) error = key + " is a number of KB, 0 or more";
            else t.SetFieldValue(&kb, key == "quota" ? "quota_max" : "quota_current");
        }
        if (!error.empty()) return false;
    }
    return true;
}

const std::vector<std::string> kUserOptions = {"password", "password-hash", "email",        "home",  "rights", "groups",
                                               "status",   "expires",       "download-speed", "upload-speed",
                                               "quota",    "used"};

int UserAdd(const std::string& dir, const std::string& name, const CommandArgs& args) {
    std::map<std::string, std::string> options;
    std::string error;
    if (!ParseOptions(args, 3, kUserOptions, options, error)) return Misuse(error);
    if (!options.count("home")) return Misuse("user add needs --home DIR");
    CRecordTable t;
    if (!OpenForWriting(t, tw::UserTablePath(dir))) return 1;
    if (!CheckName(t, "userid", name, "user", error)) return Misuse(error);
    if (t.Seek("userid", name.c_str())) return Fail("user '" + name + "' exists");
    // Defaults of a new account: enabled, no expiry, read and list only, no limits.
    std::map<std::string, std::string> defaults = {{"status", "enabled"}, {"rights", "R----L---"}, {"expires", "never"}};
    for (auto& [k, v] : options) defaults[k] = v;
    if (!t.SetFieldText(name, "userid") || !ApplyUserOptions(t, dir, defaults, error)) return Fail(error);
    if (!t.AppendRecord()) return Fail("cannot add user '" + name + "': " + t.GetErrorText());
    std::printf("user %s added (id %d)\n", name.c_str(), t.GetLastId());
    return 0;
}

int UserSet(const std::string& dir, const std::string& name, const CommandArgs& args) {
    std::map<std::string, std::string> options;
    std::string error;
    if (!ParseOptions(args, 3, kUserOptions, options, error)) return Misuse(error);
    CRecordTable t;
    if (!OpenForWriting(t, tw::UserTablePath(dir))) return 1;
    if (!t.Seek("userid", name.c_str())) return Fail("unknown user '" + name + "'");
    if (!ApplyUserOptions(t, dir, options, error)) return Fail(error);
    if (!t.UpdateRecord()) return Fail("cannot change user '" + name + "': " + t.GetErrorText());
    return 0;
}

int UserDel(const std::string& dir, const std::string& name) {
    CRecordTable t;
    if (!OpenForWriting(t, tw::UserTablePath(dir))) return 1;
    if (!t.Seek("userid", name.c_str())) return Fail("unknown user '" + name + "'");
    int id = tw::LeadingInt(t.GetFieldText("id"));
    if (!t.DeleteRecord()) return Fail("cannot delete user '" + name + "': " + t.GetErrorText());
    t.Close();
    std::error_code ignored;
    std::filesystem::remove(tw::FolderTablePath(dir, FolderOwner::User, id), ignored);
    return 0;
}

void PrintUser(const Account& a) {
    std::printf("userid         %s\nid             %d\nhomedir        %s\nstatus         %s\nrights         %s\n",
                a.userid.c_str(), a.id, a.homedir.c_str(), a.status == 1 ? "enabled" : "disabled",
                a.rights.ToString().c_str());
    bool expires = !a.reserved.empty() && tw::LeadingInt(a.reserved.substr(0, 1)) == 1;
    std::printf("groups         %s\nemail          %s\nexpires        %s\n", a.group.c_str(), a.email.c_str(),
                expires && a.reserved.size() > 2 ? a.reserved.substr(2).c_str() : "never");
    std::printf("download       %s\nupload         %s\nquota          %.0f KB, used %.0f KB\n",
                a.downloadLimit && a.downloadSpeed > 0 ? (std::to_string(a.downloadSpeed) + " KB/s").c_str() : "unlimited",
                a.uploadLimit && a.uploadSpeed > 0 ? (std::to_string(a.uploadSpeed) + " KB/s").c_str() : "unlimited",
                a.quotaMax, a.quotaCurrent);
}

int UserList(const std::string& dir) {
    CRecordTable t;
    if (!t.Open(tw::UserTablePath(dir), OpenMode::Read)) return Fail("cannot open user table: " + t.GetErrorText());
    int key = 0;
    for (int k = 0; k < t.GetKeyCount(); ++k)
        if (tw::EqualsNoCase(t.GetHeader().KeyName(k), "userid")) key = k;
    for (bool more = t.MoveFirst(key); more; more = t.MoveNext(key))
        std::printf("%-20s %-9s %s\n", t.GetFieldText("userid").c_str(),
                    tw::LeadingInt(t.GetFieldText("status")) == 1 ? "enabled" : "disabled",
                    t.GetFieldText("homedir").c_str());
    return 0;
}

int RunUserCommand(const CommandArgs& args) {
    if (args.size() < 2) return Misuse("usage: sdbtool user add|set|del|list|show DIR [NAME] [options]");
    const std::string& verb = args[0];
    std::string dir;
    if (!ProgramDirectoryArg(args[1], dir)) return 1;
    if (verb == "list") return UserList(dir);
    if (args.size() < 3) return Misuse("user " + verb + " needs a user name");
    const std::string& name = args[2];
    if (verb == "add") return UserAdd(dir, name, args);
    if (verb == "set") return UserSet(dir, name, args);
    if (verb == "del") return UserDel(dir, name);
    if (verb == "show") {
        auto account = tw::CSdbAccounts(dir).LoadAccount(name);
        if (!account) return Fail("unknown user '" + name + "'");
        PrintUser(*account);
        return 0;
    }
    return Misuse("unknown user command '" + verb + "'");
}

}  // namespace

int RunInit(const CommandArgs& args) {
    if (args.size() != 1) return Misuse("usage: sdbtool init DIR");
    std::string dir;
    if (!ProgramDirectoryArg(args[0], dir)) return 1;
    for (const std::string& path : {tw::UserTablePath(dir), tw::GroupTablePath(dir)})
        if (std::filesystem::exists(path)) return Fail(path + " exists; remove it first");
    std::string error;
    if (!tw::CreateUserTable(tw::UserTablePath(dir), error) || !tw::CreateGroupTable(tw::GroupTablePath(dir), error))
        return Fail(error);
    return 0;
}

int RunUser(const CommandArgs& args) { return RunUserCommand(args); }
