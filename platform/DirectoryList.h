// Directory search: the entries of a directory, or one named entry, with the facts a listing shows.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/PathBeneath.h"

namespace tw {

struct DirEntry {
    std::string name;  // the last path component
    bool isDirectory = false;
    uint64_t size = 0;
    std::time_t lastWrite = 0;
    bool isLink = false;  // a symbolic link; the facts are its target's unless read from the link
};

// The entries of directory `dir` in the order the file system returns them, without "." and "..".
// Symbolic links are followed (a dangling one is left out); an entry that vanishes while being read is
// left out. False when the directory cannot be opened.
bool ListDirectory(const std::string& dir, std::vector<DirEntry>& entries);

// The same beneath a root (PathBeneath.h): a link is followed where it stays beneath the root, listed
// from the link itself where it leads out, and left out where it dangles.
bool ListDirectory(const PathBeneath& dir, std::vector<DirEntry>& entries);

// The names in directory `dir` without "." and "..", unsorted and without a look at each entry (no stat).
// False when the directory cannot be opened.
bool ListNames(const PathBeneath& dir, std::vector<std::string>& names);

// How deep VisitFilesBelow walks, so that a deep or cyclic tree cannot stall its caller.
inline constexpr int kWalkDepth = 64;

// Calls `visit` for every entry below `dir` that is neither a directory nor a link, with the directory
// that holds it, down to kWalkDepth directories; no link is walked. Directories below `dir` that cannot
// be read are skipped; false when `dir` itself cannot be.
bool VisitFilesBelow(const PathBeneath& dir, const std::function<void(const PathBeneath&, const DirEntry&)>& visit);

// The entry that `path` names (a file or a directory), its links followed; false when it does not exist.
bool FindEntry(const PathBeneath& path, DirEntry& entry);

}  // namespace tw
