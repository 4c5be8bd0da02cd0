// The accounts as typed values: what a user, a group and a virtual folder are, the changes the front ends
// make to them, the result of a change, and the source the engine reads accounts from.
//
// The stored encodings (status "1", expiry "<flag>,<%Y-%m-%d>", group ids "1,4", rights as 1/0 fields) are
// decoded once, where a record is read (AccountTables.cpp), and encoded once, where a change is written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tw {

// The operation codes of the permission check.
enum AccessOp : int {
    ACCESS_READ = 1,
    ACCESS_WRITE = 2,
    ACCESS_RENAME = 3,
    ACCESS_DELETE = 4,
    ACCESS_APPEND = 5,
    ACCESS_DIR_LIST = 7,
    ACCESS_DIR_CREATE = 8,
    ACCESS_DIR_REMOVE = 9,
    ACCESS_DIR_RENAME = 10,
};

// The nine permission flags.
struct RightsSet {
    bool read = false, write = false, append = false, del = false, rename = false;
    bool dirList = false, dirCreate = false, dirRemove = false, dirRename = false;

    bool Allows(AccessOp op) const;
    // The nine-letter form "RWDRALCRR" ('-' where denied): read, write, delete, rename, append,
    // dir_list, dir_create, dir_remove, dir_rename.
    std::string ToString() const;
    static std::optional<RightsSet> FromString(const std::string& text);
    bool operator==(const RightsSet&) const = default;
};

// What a new virtual folder and a new user start with: read and list.
inline constexpr const char* kNewRights = "R----L---";

struct VirtualFolder {
    std::string name;  // shown directly under the client root
    std::string dir;   // local directory
    RightsSet rights;
    bool operator==(const VirtualFolder&) const = default;
};

// Automatic disabling: stored "1,<date>" when on, "0,<date>" when off; the date "%Y-%m-%d" or empty.
struct Expiry {
    bool on = false;
    std::string date;
    bool operator==(const Expiry&) const = default;
};

struct Account {
    int id = 0;
    std::string userid, password, email, homedir;
    std::vector<int> groups;  // group ids in stored order
    bool enabled = false;     // status reads as the number 1
    Expiry expiry;
    RightsSet rights;  // on the home directory and below
    bool downloadLimit = false, uploadLimit = false;
    int downloadSpeed = 0, uploadSpeed = 0;  // KB per second
    double quotaMax = 0, quotaCurrent = 0;   // KB
};

struct Group {
    int id = 0;
    std::string name, notes;
};

enum class FolderOwner { User, Group };

// A speed limit as stored: the switch and the KB per second (used only when both are on and above 0).
struct SpeedLimit {
    bool on = false;
    int kbPerSecond = 0;
};

// A password as given: stored as a one-way hash when `hashed`, otherwise as the text itself (for tables
// another reader must understand). An empty text is stored empty either way.
struct PasswordText {
    std::string text;
    bool hashed = true;
};

// A change names only the fields it changes; the others keep what is stored when the change is written
// (quota_current, which the server raises while an editor is open, above all).
struct UserChange {
    std::optional<std::string> userid, email, homedir;
    std::optional<PasswordText> password;
    std::optional<std::vector<int>> groups;
    std::optional<bool> enabled;
    std::optional<Expiry> expiry;
    std::optional<RightsSet> rights;
    std::optional<SpeedLimit> download, upload;
    std::optional<double> quotaMax, quotaCurrent;
};

struct GroupChange {
    std::optional<std::string> name, notes;
};

// Which value a result is about, so that a front end can name it and put its focus there.
enum class AccountField {
    None, UserName, Password, Email, Groups, Home, Expiry, DownloadSpeed, UploadSpeed, QuotaMax, QuotaCurrent,
    GroupName, Notes, FolderName, FolderDir,
};

enum class AccountFault {
    None,
    Empty,        // a name or home that is blank
    TooLong,      // more characters than the field holds (`limit`)
    Invalid,      // a value the server could never use
    Exists,       // a user, group or folder of that name exists
    Unknown,      // no user, group or folder of that name or id
    NoDirectory,  // a home or folder directory that does not exist
    Table,        // a table did not open or refused the change (`text` has the record engine's reason)
    FolderTable,  // the folder table could not be written; nothing of the change was kept
};

// The result of an account operation: success, or what went wrong and where. `text` is an English
// sentence for a console that names the field and the limit.
struct AccountStatus {
    AccountFault fault = AccountFault::None;
    AccountField field = AccountField::None;
    int limit = 0;
    std::string text;

    explicit operator bool() const { return fault == AccountFault::None; }
    static AccountStatus Fail(AccountFault fault, AccountField field, std::string text, int limit = 0) {
        return {fault, field, limit, std::move(text)};
    }
};

// The quota a file of `bytes` takes: whole KB, a started one counted in full.
inline double QuotaKb(uint64_t bytes) { return static_cast<double>((bytes + 1023) / 1024); }
// An account's KB value in bytes, a fraction of a byte cut off; 0 for anything not above 0.
inline uint64_t KbToBytes(double kb) { return kb > 0 ? static_cast<uint64_t>(kb * 1024) : 0; }

// A source reads the tables afresh on every call: nothing is cached, so an administrator's change takes
// effect at the next command. Sources are called on connection threads concurrently.
class CAccountSource {
public:
    virtual ~CAccountSource() = default;
    // The account of a login name, or nothing when it is unknown or the table does not open.
    virtual std::optional<Account> LoadAccount(const std::string& userName) = 0;
    // The virtual folders of a user or group id in key order, or nothing when the table does not open.
    virtual std::optional<std::vector<VirtualFolder>> LoadFolders(FolderOwner owner, int id) = 0;
    // Adds `kb` (may be negative) to the user's quota_current, not below 0, under the account lock.
    // False when the user or the table cannot be reached.
    virtual bool AddUsedQuota(const std::string& userName, double kb) = 0;
};

// The group ids of a stored group text ("2, 5,,9" -> 2,5,9) and back ("2,5,9").
std::vector<int> DecodeGroupIds(const std::string& text);
std::string EncodeGroupIds(const std::vector<int>& ids);
// The stored expiry text and back; a flag other than 1 reads as off.
Expiry DecodeExpiry(const std::string& text);
std::string EncodeExpiry(const Expiry& expiry);

// Turns a scrambled password (",n,n,...") back into plain text; text without a comma is returned as is.
std::string DecodeScrambledText(const std::string& text);

// Whether the PASS argument `given` (plain, or scrambled when it starts with ",") is the account's stored
// `password`: a one-way hash ("$y$", "$2b$", "$6$", "$5$") is checked by hashing, anything else compares
// byte for byte.
bool PasswordMatches(const std::string& given, const std::string& stored);

}  // namespace tw
