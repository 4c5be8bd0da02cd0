// Path access beneath a root directory. A client's path reaches the disk only as a root (a home or a
// virtual folder's directory, set by the administrator) and a relative path below it. Every call opens
// the root and resolves the rest from its descriptor with openat2(RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS),
// then works on descriptors (fstat, mkdirat, unlinkat, renameat2, fdopendir, futimens). However the tree
// changes meanwhile (a directory swapped for a link to "/" by another process), nothing outside the root
// is opened, listed, made, removed or renamed.
//
// Links: one that stays beneath the root is followed, an absolute one too when it names the root (by its
// configured or its real path) or a place below it; one that leads out fails with EXDEV. The kernel
// refuses every absolute link beneath a root, so those, and kernels without openat2, take a walk that
// opens one component at a time with O_NOFOLLOW and resolves links itself, never above the root.
//
// Failures return the errno value (0 is success), like FileSystem.h. Thread-safe: no state is kept.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "platform/FileSystem.h"

namespace tw {

struct PathBeneath {
    std::string root;  // a directory named by the administrator; links in it are followed
    std::string rel;   // pieces without "." or "..", joined by "/"; empty names the root itself

    bool empty() const { return root.empty(); }
    void clear() { root.clear(), rel.clear(); }
    // The local path, for rights, replies and logs; never opened by name.
    std::string Full() const { return rel.empty() ? root : JoinPath(root, rel); }
    PathBeneath Child(const std::string& name) const { return {root, rel.empty() ? name : rel + "/" + name}; }
    // The directory that holds the last piece, and that piece (empty for the root itself).
    PathBeneath Parent() const;
    std::string Name() const;
};

// Opens what `path` names with open(2) `flags` (O_CLOEXEC is added; O_NOFOLLOW leaves a last link
// unfollowed, with O_PATH opening the link itself): the descriptor, or -errno.
int OpenBeneath(const PathBeneath& path, int flags, unsigned mode = 0);

// What the path names, links followed; Other for a link that leads out of the root (it names something,
// but nothing here follows it).
FileKind KindOf(const PathBeneath& path);
// Size in bytes of a file (links followed), or -1.
int64_t FileSize(const PathBeneath& path);
// Size in bytes of the entry itself, a last link not followed (the link's own size), or -1.
int64_t EntrySize(const PathBeneath& path);
// The permission bits of what the path names (links followed), or -1.
int FileMode(const PathBeneath& path);

// Sets the last-write time of a regular file.
int SetModifiedTime(const PathBeneath& path, std::time_t time);
// Sets the permission bits (at most 0777: never setuid, setgid or sticky, else EINVAL) of the regular file or
// directory the path names. A last link is not followed (ELOOP); anything else, a FIFO say, gives EPERM.
int ChangeMode(const PathBeneath& path, unsigned mode);
int MakeDirectory(const PathBeneath& path);
int RemoveDirectory(const PathBeneath& path);
// Removes the entry the path names: a link itself, not its target.
int RemoveFile(const PathBeneath& path);
// Moves `from` to `to` (both entries themselves, links not followed); never replaces an existing `to`
// (EEXIST). Across roots on different file systems: EXDEV.
int RenameNoReplace(const PathBeneath& from, const PathBeneath& to);
// Moves `from` to `to` in one step, replacing what `to` names (a link itself, not its target).
int RenameReplace(const PathBeneath& from, const PathBeneath& to);

// How paths are resolved: by the kernel where it can (the default), or always by the walk (so that tests
// check the walk on a kernel that has openat2).
enum class BeneathResolver { KERNEL, WALK };
void SetBeneathResolver(BeneathResolver resolver);

}  // namespace tw
