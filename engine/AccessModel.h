// CAccessModel: maps client paths to local paths through the home directory and the virtual folders of a
// user and the user's groups, maps local paths back, and checks operations against the rights.
//
// Every call loads the account anew from its source. Client paths use "/" and keep their case; local
// paths are POSIX paths and compare exactly; virtual-folder names match without regard to case.
// Security: a client path never maps outside the home directory and the virtual folders, because ".."
// is resolved lexically in the client path before mapping and only whole existing names are followed;
// rights are judged on real paths, so a symbolic link that leads out of them grants nothing. A mapped
// path is a root (the home or the folder's directory) and a path beneath it, and every operation on it
// goes through PathBeneath.h: whatever the tree looked like when the rights were judged, no operation
// leaves that root.
#pragma once

#include <optional>
#include <string>

#include "accounts/Accounts.h"
#include "platform/PathBeneath.h"

namespace tw {

enum ResolveResult : int { PATH_OK = 0, PATH_NO_FILE = 2, PATH_NO_DIR = 3, PATH_DENIED = 5 };

class CAccessModel {
public:
    explicit CAccessModel(CAccountSource& source) : source_(source) {}

    // Absolute client path to local path. On false, `local` is the path up to and including the first
    // missing piece (empty when the account is unknown) and `rest` the pieces after it ("b/c").
    // `local.rel` is empty for the home and for a virtual folder's directory (never removed or renamed).
    bool MapToLocal(const std::string& user, const std::string& clientPath, PathBeneath& local,
                    std::string* rest = nullptr);
    // Local path to the client path shown in replies; "/" for a path outside the user's tree.
    std::string MapToClient(const std::string& user, const std::string& local);
    // True when the first holder of the path (home, then user folders, then group folders) grants `op`.
    bool CheckAccess(const std::string& user, const std::string& local, AccessOp op);
    // The rights of the first holder of the path; nothing when no holder is found (all denied).
    std::optional<RightsSet> RightsAt(const std::string& user, const std::string& local);

    ResolveResult ResolveFile(const std::string& user, const std::string& currentDir, const std::string& argument,
                              AccessOp op, PathBeneath& local);
    // PATH_NO_DIR for AccessOp 8 leaves in `rest` the missing pieces after `local`.
    ResolveResult ResolveDir(const std::string& user, const std::string& currentDir, const std::string& argument,
                             AccessOp op, PathBeneath& local, std::string* rest = nullptr);

    CAccountSource& Source() { return source_; }

    // Whether an argument may name a file or directory to be made (STOR, APPE, MKD, RNTO): a control
    // byte in a name would forge lines of listings and replies, and a piece with a hidden name
    // (HiddenFiles.h) would make what no listing shows.
    static bool IsCreatableName(const std::string& argument);
    // "\" to "/", runs of "/" to one, trailing "/" removed.
    static std::string CleanArgument(const std::string& argument);
    // The client path a file argument names ("/" when it names none); a relative one lies in the current
    // directory.
    static std::string FileClientPath(const std::string& currentDir, const std::string& argument);
    // Joins a relative path to the current directory and resolves "." and ".." lexically ("/" stays "/").
    static std::string Normalize(const std::string& currentDir, const std::string& path);

private:
    CAccountSource& source_;
};

}  // namespace tw
