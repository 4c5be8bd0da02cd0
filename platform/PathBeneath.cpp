#include "platform/PathBeneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/Descriptor.h"
#include "platform/Text.h"

namespace tw {

namespace {

std::atomic<bool> gWalkOnly{false};
std::atomic<bool> gKernelLacksOpenat2{false};

// Links followed in one resolution, as the kernel allows.
constexpr int kMaxLinks = 40;

// The pieces of `path` without empty ones, in order.
std::deque<std::string> PathPieces(const std::string& path) {
    std::deque<std::string> pieces;
    for (std::string_view piece : Split(path, '/'))
        if (!piece.empty()) pieces.emplace_back(piece);
    return pieces;
}

int OpenRoot(const std::string& root) {
    if (root.empty() || root.find('\0') != std::string::npos) return -ENOENT;
    int fd;
    do fd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? -errno : fd;
}

// An absolute link target that names the root or a place below it, made relative to the root; false when
// it leads elsewhere. The root may be named as configured or by its real path.
bool BelowRoot(const std::string& root, std::string& target) {
    for (std::string prefix : {root, RealPath(root)}) {
        while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
        if (prefix.empty()) continue;
        if (prefix == "/") {
            target.erase(0, 1);
            return true;
        }
        if (target.compare(0, prefix.size(), prefix) == 0 && (target.size() == prefix.size() || target[prefix.size()] == '/')) {
            target.erase(0, prefix.size());
            return true;
        }
    }
    return false;
}

int OpenAt(int dirFd, const char* name, int flags, unsigned mode) {
    int fd;
    do fd = ::openat(dirFd, name, flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? -errno : fd;
}

int KernelOpen(int rootFd, const std::string& rel, int flags, unsigned mode) {
    struct open_how how {};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    do fd = syscall(SYS_openat2, rootFd, rel.empty() ? "." : rel.c_str(), &how, sizeof how);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? -errno : static_cast<int>(fd);
}

// Resolves `rel` one component at a time from the root's descriptor, every component opened with
// O_NOFOLLOW from the directory held before it; a link is read from its own descriptor and its target
// walked in turn. ".." never goes above the root: the directories passed are held, and ".." takes the
// last of them back.
int WalkOpen(int rootFd, const std::string& root, const std::string& rel, int flags, unsigned mode) {
    const bool followLast = !(flags & O_NOFOLLOW);
    std::deque<std::string> todo = PathPieces(rel);
    std::vector<UniqueFd> held;  // directories below the root on the way, innermost last
    auto current = [&] { return held.empty() ? rootFd : held.back().Get(); };
    int links = 0;
    while (!todo.empty()) {
        std::string piece = std::move(todo.front());
        todo.pop_front();
        const bool last = todo.empty();
        if (piece == "." || piece == "..") {
            if (piece == "..") {
                if (held.empty()) return -EXDEV;
                held.pop_back();
            }
            if (last) return OpenAt(current(), ".", flags, mode);
            continue;
        }
        UniqueFd entry(OpenAt(current(), piece.c_str(), O_PATH | O_NOFOLLOW, 0));
        struct stat st;
        if (entry.Get() >= 0 && fstat(entry.Get(), &st) != 0) return -errno;
        if (entry.Get() >= 0 && S_ISLNK(st.st_mode) && (!last || followLast)) {
            if (++links > kMaxLinks) return -ELOOP;
            std::string target(PATH_MAX, '\0');
            ssize_t n = readlinkat(entry.Get(), "", target.data(), target.size());
            if (n < 0) return -errno;
            if (static_cast<size_t>(n) >= target.size()) return -ENAMETOOLONG;
            target.resize(static_cast<size_t>(n));
            if (!target.empty() && target[0] == '/') {
                if (!BelowRoot(root, target)) return -EXDEV;
                held.clear();
            }
            std::deque<std::string> more = PathPieces(target);
            if (more.empty()) more.push_back(".");  // the link names the root itself
            todo.insert(todo.begin(), more.begin(), more.end());
            continue;
        }
        if (!last) {
            if (entry.Get() < 0) return entry.Get();
            if (!S_ISDIR(st.st_mode)) return -ENOTDIR;
            held.push_back(std::move(entry));
            continue;
        }
        // The last piece with the caller's flags; a link put in its place meanwhile is not followed.
        return OpenAt(current(), piece.c_str(), flags | O_NOFOLLOW, mode);
    }
    return OpenAt(current(), ".", flags, mode);
}

int StatBeneath(const PathBeneath& path, struct stat& st, bool followLinks) {
    UniqueFd fd(OpenBeneath(path, O_PATH | (followLinks ? 0 : O_NOFOLLOW)));
    if (fd.Get() < 0) return -fd.Get();
    return fstat(fd.Get(), &st) == 0 ? 0 : errno;
}

// The directory holding the last piece of `path`, opened; `name` gets that piece. The root itself has
// no entry to act on.
int OpenParent(const PathBeneath& path, std::string& name) {
    name = path.Name();
    if (name.empty() || name == "." || name == "..") return -EBUSY;
    return OpenBeneath(path.Parent(), O_PATH | O_DIRECTORY);
}

int Result(int rc) { return rc == 0 ? 0 : errno; }

// Runs `action(parentFd, name)` on the entry `path` names; its errno result.
template <typename Action>
int AtParent(const PathBeneath& path, Action action) {
    std::string name;
    UniqueFd parent(OpenParent(path, name));
    if (parent.Get() < 0) return -parent.Get();
    return action(parent.Get(), name.c_str());
}

}  // namespace

PathBeneath PathBeneath::Parent() const {
    size_t slash = rel.rfind('/');
    return {root, slash == std::string::npos ? std::string() : rel.substr(0, slash)};
}

std::string PathBeneath::Name() const {
    size_t slash = rel.rfind('/');
    return slash == std::string::npos ? rel : rel.substr(slash + 1);
}

void SetBeneathResolver(BeneathResolver resolver) { gWalkOnly = resolver == BeneathResolver::WALK; }

int OpenBeneath(const PathBeneath& path, int flags, unsigned mode) {
    if (path.rel.find('\0') != std::string::npos) return -ENOENT;
    UniqueFd root(OpenRoot(path.root));
    if (root.Get() < 0) return root.Release();
    if (!gWalkOnly && !gKernelLacksOpenat2) {
        int fd = KernelOpen(root.Get(), path.rel, flags, mode);
        // EXDEV: an absolute link (perhaps into the root) or a way out; EAGAIN: a rename raced a "..".
        if (fd >= 0 || (fd != -EXDEV && fd != -EAGAIN && fd != -ENOSYS)) return fd;
        if (fd == -ENOSYS) gKernelLacksOpenat2 = true;
    }
    return WalkOpen(root.Get(), path.root, path.rel, flags, mode);
}

FileKind KindOf(const PathBeneath& path) {
    struct stat st;
    if (int error = StatBeneath(path, st, true); error != 0) return error == EXDEV ? FileKind::Other : FileKind::None;
    if (S_ISDIR(st.st_mode)) return FileKind::Directory;
    if (S_ISREG(st.st_mode)) return FileKind::File;
    return FileKind::Other;
}

int64_t FileSize(const PathBeneath& path) {
    struct stat st;
    if (StatBeneath(path, st, true) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

int64_t EntrySize(const PathBeneath& path) {
    struct stat st;
    if (StatBeneath(path, st, false) != 0 || S_ISDIR(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

int FileMode(const PathBeneath& path) {
    struct stat st;
    return StatBeneath(path, st, true) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

int SetModifiedTime(const PathBeneath& path, std::time_t time) {
    // futimens needs an opened file (not O_PATH); O_NONBLOCK keeps a FIFO from waiting for a writer.
    UniqueFd fd(OpenBeneath(path, O_RDONLY | O_NONBLOCK));
    if (fd.Get() < 0) return -fd.Get();
    const struct timespec times[2] = {{0, UTIME_OMIT}, {time, 0}};
    return Result(futimens(fd.Get(), times));
}

int ChangeMode(const PathBeneath& path, unsigned mode) {
    if (mode > 0777) return EINVAL;
    // The entry itself, opened without reading it (its mode may forbid that); the change then goes through
    // the descriptor's /proc name, which names exactly that inode and is never resolved by path again.
    UniqueFd fd(OpenBeneath(path, O_PATH | O_NOFOLLOW));
    if (fd.Get() < 0) return -fd.Get();
    struct stat st;
    if (fstat(fd.Get(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) return ELOOP;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return EPERM;
    const std::string self = "/proc/self/fd/" + std::to_string(fd.Get());
    return Result(fchmodat(AT_FDCWD, self.c_str(), static_cast<mode_t>(mode), 0));
}

int MakeDirectory(const PathBeneath& path) {
    return AtParent(path, [](int dir, const char* name) { return Result(mkdirat(dir, name, 0755)); });
}

int RemoveDirectory(const PathBeneath& path) {
    return AtParent(path, [](int dir, const char* name) { return Result(unlinkat(dir, name, AT_REMOVEDIR)); });
}

int RemoveFile(const PathBeneath& path) {
    return AtParent(path, [](int dir, const char* name) { return Result(unlinkat(dir, name, 0)); });
}

int RenameNoReplace(const PathBeneath& from, const PathBeneath& to) {
    return AtParent(from, [&](int fromDir, const char* fromName) {
        return AtParent(to, [&](int toDir, const char* toName) {
            if (renameat2(fromDir, fromName, toDir, toName, RENAME_NOREPLACE) == 0) return 0;
            if (errno != EINVAL) return errno;
            // File systems without the flag: check, then move (not atomic there).
            struct stat st;
            if (fstatat(toDir, toName, &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
            return Result(renameat(fromDir, fromName, toDir, toName));
        });
    });
}

int RenameReplace(const PathBeneath& from, const PathBeneath& to) {
    return AtParent(from, [&](int fromDir, const char* fromName) {
        return AtParent(to, [&](int toDir, const char* toName) { return Result(renameat(fromDir, fromName, toDir, toName)); });
    });
}

}  // namespace tw
