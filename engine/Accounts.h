// What the engine knows of an account, and the source it reads accounts from.
//
// A source reads the tables afresh on every call: nothing is cached, so an administrator's change takes
// effect at the next command. Sources are called on connection threads concurrently.
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
};

struct VirtualFolder {
    std::string name;  // shown directly under the client root
    std::string dir;   // local directory
    RightsSet rights;
};

struct Account {
    int id = 0;
    std::string userid, password, email, group, homedir;
    int status = 0;        // 1 enabled
    std::string reserved;  // expiry: "<flag>,<%Y-%m-%d>"
    RightsSet rights;      // on the home directory and below
    bool downloadLimit = false, uploadLimit = false;
    int downloadSpeed = 0, uploadSpeed = 0;  // KB per second
    double quotaMax = 0, quotaCurrent = 0;   // KB

    // The ids listed in `group`, in order.
    std::vector<int> GroupIds() const;
};

enum class FolderOwner { User, Group };

// The quota a file of `bytes` takes: whole KB, a started one counted in full.
inline double QuotaKb(uint64_t bytes) { return static_cast<double>((bytes + 1023) / 1024); }
// An account's KB value in bytes, a fraction of a byte cut off; 0 for anything not above 0.
inline uint64_t KbToBytes(double kb) { return kb > 0 ? static_cast<uint64_t>(kb * 1024) : 0; }

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

// Turns a scrambled password (",n,n,...") back into plain text; text without a comma is returned as is.
std::string DecodeScrambledText(const std::string& text);

// Whether the PASS argument `given` (plain, or scrambled when it starts with ",") is the account's stored
// `password`: a one-way hash ("$y$", "$2b$", "$6$", "$5$") is checked by hashing, anything else compares
// byte for byte.
bool PasswordMatches(const std::string& given, const std::string& stored);

}  // namespace tw
