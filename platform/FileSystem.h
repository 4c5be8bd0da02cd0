// File-system calls of the file and directory commands. Failures return the errno value (0 is success).
#pragma once

#include <cstdint>
#include <ctime>
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
// Size in bytes of a file, or -1.
int64_t FileSize(const std::string& path);

// Sets the last-write time of a file, following links.
int SetModifiedTime(const std::string& path, std::time_t time);

int MakeDirectory(const std::string& path);
int RemoveDirectory(const std::string& path);
int RemoveFile(const std::string& path);
// Writes `content` to path + ".tmp" and moves it over `path`: a reader sees the old file or the whole new
// one, and a failure leaves `path` as it was.
int WriteFileReplacing(const std::string& path, const std::string& content);
// Moves `from` to `to`; never replaces an existing `to` (EEXIST).
int RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace tw
