#include "engine/AccessModel.h"

#include <algorithm>
#include <vector>

#include "engine/HiddenFiles.h"
#include "platform/FileSystem.h"
#include "platform/Text.h"

namespace tw {

namespace {

std::vector<std::string> Pieces(const std::string& path) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        std::string piece = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (!piece.empty() && piece != ".") pieces.push_back(std::move(piece));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return pieces;
}

// Without trailing "/", except for the root itself.
std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string WithTrailingSlash(std::string path) {
    if (path.empty() || path.back() != '/') path += '/';
    return path;
}

// True when walking `path` upward (cutting at its last "/") meets `holder`. Both are real paths, so a
// symbolic link is judged by where it leads, not by where it lies.
bool Covers(const std::string& holder, const std::string& realPath) {
    if (holder.empty() || realPath.empty()) return false;
    std::string top = RealPath(WithoutTrailingSlash(holder));
    if (top.empty()) return false;
    std::string path = realPath;
    while (!path.empty()) {
        if (path == top) return true;
        if (path == "/") break;
        size_t slash = path.rfind('/');
        path = slash == std::string::npos ? std::string() : slash == 0 ? std::string("/") : path.substr(0, slash);
    }
    return false;
}

// The client path of `local` when it lies in or under `dir`, shown under `prefix`.
bool Below(const std::string& dir, const std::string& local, const std::string& prefix, std::string& client) {
    std::string base = WithTrailingSlash(dir), path = WithTrailingSlash(local);
    if (dir.empty() || path.compare(0, base.size(), base) != 0) return false;
    client = WithoutTrailingSlash(prefix + path.substr(base.size()));
    return true;
}

const VirtualFolder* FindFolder(const std::vector<VirtualFolder>& folders, const std::string& name) {
    for (const auto& f : folders)
        if (EqualsNoCase(f.name, name)) return &f;
    return nullptr;
}

}  // namespace

bool CAccessModel::IsCreatableName(const std::string& argument) {
    auto pieces = Pieces(CleanArgument(argument));
    return std::none_of(argument.begin(), argument.end(), IsControlByte) &&
           std::none_of(pieces.begin(), pieces.end(), [](const std::string& piece) { return IsHiddenFileName(piece); });
}

std::string CAccessModel::CleanArgument(const std::string& argument) {
    std::string clean;
    for (char c : argument) {
        char d = c == '\\' ? '/' : c;
        if (d == '/' && !clean.empty() && clean.back() == '/') continue;
        clean += d;
    }
    while (!clean.empty() && clean.back() == '/') clean.pop_back();
    return clean;
}

std::string CAccessModel::Normalize(const std::string& currentDir, const std::string& path) {
    std::vector<std::string> stack;
    auto push = [&](const std::string& p) {
        for (auto& piece : Pieces(p)) {
            if (piece == "..") {
                if (!stack.empty()) stack.pop_back();
            } else {
                stack.push_back(piece);
            }
        }
    };
    if (path.empty() || path[0] != '/') push(currentDir);
    push(path);
    std::string out;
    for (auto& piece : stack) out += "/" + piece;
    return out.empty() ? "/" : out;
}

std::string CAccessModel::FileClientPath(const std::string& currentDir, const std::string& argument) {
    std::string clean = CleanArgument(argument);
    if (clean.empty()) return "/";
    return Normalize(currentDir, clean);
}

bool CAccessModel::MapToLocal(const std::string& user, const std::string& clientPath, PathBeneath& local,
                              std::string* rest) {
    local.clear();
    if (rest) rest->clear();
    auto account = source_.LoadAccount(user);
    if (!account || account->homedir.empty()) return false;  // never map from the file-system root
    PathBeneath current{WithoutTrailingSlash(account->homedir), ""};
    auto pieces = Pieces(clientPath);
    for (size_t i = 0; i < pieces.size(); ++i) {
        const std::string& piece = pieces[i];
        // The server's own files in the making, and anything below such a name, are nobody's to reach.
        if (piece == ".." || piece.find('\0') != std::string::npos || IsHiddenFileName(piece)) return false;
        PathBeneath candidate = current.Child(piece);
        if (KindOf(candidate) != FileKind::None) {
            current = candidate;
            continue;
        }
        if (i == 0) {
            // A real entry of the home directory hides a folder; the user's folders hide the groups'.
            const VirtualFolder* match = nullptr;
            auto own = source_.LoadFolders(FolderOwner::User, account->id);
            if (own) match = FindFolder(*own, piece);
            std::optional<std::vector<VirtualFolder>> groupFolders;
            for (int gid : match ? std::vector<int>() : account->groups) {
                groupFolders = source_.LoadFolders(FolderOwner::Group, gid);
                if (groupFolders && (match = FindFolder(*groupFolders, piece))) break;
            }
            if (match && !match->dir.empty()) {
                current = {WithoutTrailingSlash(match->dir), ""};
                continue;
            }
        }
        local = candidate;
        if (rest)
            for (size_t j = i + 1; j < pieces.size(); ++j) *rest += (rest->empty() ? "" : "/") + pieces[j];
        return false;
    }
    local = current;
    return true;
}

std::string CAccessModel::MapToClient(const std::string& user, const std::string& local) {
    auto account = source_.LoadAccount(user);
    std::string client;
    if (account && Below(account->homedir, local, "/", client)) return client;
    if (account) {
        auto tryFolders = [&](FolderOwner owner, int id) {
            auto folders = source_.LoadFolders(owner, id);
            if (!folders) return false;
            for (const auto& f : *folders)
                if (Below(f.dir, local, "/" + f.name + "/", client)) return true;
            return false;
        };
        if (tryFolders(FolderOwner::User, account->id)) return client;
        for (int gid : account->groups)
            if (tryFolders(FolderOwner::Group, gid)) return client;
    }
    return "/";  // never show a local path to a client
}

bool CAccessModel::CheckAccess(const std::string& user, const std::string& local, AccessOp op) {
    auto rights = RightsAt(user, local);
    return rights && rights->Allows(op);
}

std::optional<RightsSet> CAccessModel::RightsAt(const std::string& user, const std::string& local) {
    auto account = source_.LoadAccount(user);
    std::string real = RealPath(local);
    if (!account || real.empty()) return std::nullopt;
    // The first holder decides: the home directory, then the user's folders, then each group's. A group
    // table that does not open denies everything not decided before it.
    if (Covers(account->homedir, real)) return account->rights;
    if (auto own = source_.LoadFolders(FolderOwner::User, account->id)) {
        for (const auto& f : *own)
            if (Covers(f.dir, real)) return f.rights;
    }
    for (int gid : account->groups) {
        auto folders = source_.LoadFolders(FolderOwner::Group, gid);
        if (!folders) return std::nullopt;
        for (const auto& f : *folders)
            if (Covers(f.dir, real)) return f.rights;
    }
    return std::nullopt;
}

ResolveResult CAccessModel::ResolveFile(const std::string& user, const std::string& currentDir,
                                        const std::string& argument, AccessOp op, PathBeneath& local) {
    local.clear();
    std::string full = FileClientPath(currentDir, argument);
    if (full == "/") return PATH_NO_FILE;
    size_t last = full.rfind('/');
    std::string dir = last == 0 ? "/" : full.substr(0, last), name = full.substr(last + 1);
    // The server's own files in the making are nobody's to name: not to read, write, delete or rename.
    if (IsHiddenFileName(name)) return PATH_NO_FILE;
    PathBeneath mapped;
    if (!MapToLocal(user, dir, mapped)) return PATH_NO_FILE;
    local = mapped.Child(name);
    FileKind kind = KindOf(local);
    if (op == ACCESS_WRITE || (kind != FileKind::None && kind != FileKind::Directory))
        return CheckAccess(user, local.Full(), op) ? PATH_OK : PATH_DENIED;
    return PATH_NO_FILE;
}

ResolveResult CAccessModel::ResolveDir(const std::string& user, const std::string& currentDir,
                                       const std::string& argument, AccessOp op, PathBeneath& local,
                                       std::string* rest) {
    local.clear();
    std::string clean = CleanArgument(argument);
    if (clean.empty()) {
        if (op != ACCESS_DIR_LIST) return PATH_NO_DIR;
        clean = "/";
    }
    std::string path = Normalize(currentDir, clean);
    // The root itself is never removed or renamed, however it is named.
    if (path == "/" && (op == ACCESS_DIR_REMOVE || op == ACCESS_DIR_RENAME)) return PATH_NO_DIR;
    bool found = MapToLocal(user, path, local, rest);
    // Nor is the directory behind a virtual folder: the folder belongs to the administrator, and a group's
    // folder to all its members.
    if (found && (op == ACCESS_DIR_REMOVE || op == ACCESS_DIR_RENAME) && local.rel.empty()) return PATH_DENIED;
    if (!found && op != ACCESS_DIR_CREATE) return PATH_NO_DIR;
    if ((op == ACCESS_DIR_RENAME && KindOf(local) != FileKind::Directory) || !CheckAccess(user, local.Full(), op))
        return PATH_DENIED;
    return found ? PATH_OK : PATH_NO_DIR;
}

}  // namespace tw
