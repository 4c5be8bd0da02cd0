// Writes a user.sdb of COUNT enabled accounts named user000000, user000001, ... with the password "pw",
// read and list rights on HOME, and no expiry. Far faster than one sdbtool call per user.
// Usage: logins_make_users DIR COUNT HOME
#include <cstdio>
#include <string>

#include "recordengine/RecordTable.h"
#include "accounts/AccountTables.h"

using namespace tw;

namespace {

int Fail(const std::string& what, const std::string& why) {
    std::fprintf(stderr, "logins_make_users: %s: %s\n", what.c_str(), why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: logins_make_users DIR COUNT HOME\n");
        return 2;
    }
    std::string dir = argv[1];
    if (!dir.empty() && dir.back() != '/') dir += '/';
    const std::string path = tw::UserTablePath(dir), home = argv[3];
    const int count = std::stoi(argv[2]);
    std::string error;
    if (!tw::CreateUserTable(path, error)) return Fail("create " + path, error);
    CRecordTable t;
    if (!t.Open(path, OpenMode::ReadWrite)) return Fail("open " + path, t.GetErrorText());
    // One open table for every record: the store's AddUser would open and close it per user.
    tw::UserChange user{.homedir = home, .password = tw::PasswordText{"pw", false}, .groups = std::vector<int>(),
                        .enabled = true, .expiry = tw::Expiry{}, .rights = tw::RightsSet::FromString(tw::kNewRights)};
    char name[32];
    for (int i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "user%06d", i);
        user.userid = name;
        if (tw::AccountStatus s = tw::PutUser(t, user); !s) return Fail(std::string("append ") + name, s.text);
        if (!t.AppendRecord()) return Fail(std::string("append ") + name, t.GetErrorText());
    }
    t.Close();
    std::printf("%d users in %s\n", count, path.c_str());
    return 0;
}
