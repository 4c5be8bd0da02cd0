// File-system calls by path name, for the server's own files and the directories an administrator names;
// a client's paths go through PathBeneath.h. Failures return the errno value (0 is success).
#pragma once

#include <cstdint>
#include <string>

namespace tw {

// dir + "/" + name, without doubling a trailing "/".
inline std::string JoinPath(const std::string& dir, const std::string& name) {
    return dir.empty() || dir.back() != '/' ? dir + "/" + name : dir + name;
}

enum class FileKind { None, File, Directory, Other };

// What the path names, following symbolic links.
FileKind KindOf(const std::string& path);
inline bool PathExists(const std::string& path) { return KindOf(path) != FileKind::None; }
inline bool IsDirectory(const std::string& path) { return KindOf(path) == FileKind::Directory; }
// A directory in which this process may create and remove entries.
bool IsWritableDirectory(const std::string& path);
// The path with every symbolic link resolved; pieces that do not exist yet are kept as written. Empty when
// the path cannot be resolved (a dangling or looping link, an unreadable directory).
std::string RealPath(const std::string& path);
// True when the group or everyone else may read the file.
bool IsReadableByOthers(const std::string& path);
// Size in bytes of what the path names itself, a symbolic link not followed (the link's own size), or -1.
int64_t EntrySize(const std::string& path);

int RemoveFile(const std::string& path);
// Moves `from` over `to` in one step (both in one file system): a reader sees the old `to` or the new one.
int RenameFile(const std::string& from, const std::string& to);
// Creates `path` with permission bits `mode`, only when nothing of that name exists (a link included), and
// writes `content`; a failed write removes it again.
int CreateFileExclusive(const std::string& path, const std::string& content, int mode);
// Writes `content` to path + ".tmp" and moves it over `path`: a reader sees the old file or the whole new
// one, and a failure leaves `path` as it was.
int WriteFileReplacing(const std::string& path, const std::string& content);

}  // namespace tw
