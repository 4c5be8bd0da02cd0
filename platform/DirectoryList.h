// Directory search: the entries of a directory, or one named entry, with the facts a listing shows.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace tw {

struct DirEntry {
    std::string name;  // the last path component
    bool isDirectory = false;
    uint64_t size = 0;
    std::time_t lastWrite = 0;
};

// The entries of directory `dir` in the order the file system returns them, without "." and "..".
// Symbolic links are followed; an entry that vanishes while being read is left out. False when the
// directory cannot be opened.
bool ListDirectory(const std::string& dir, std::vector<DirEntry>& entries);

// The names in directory `dir` without "." and "..", unsorted and without a look at each entry (no stat).
// False when the directory cannot be opened.
bool ListNames(const std::string& dir, std::vector<std::string>& names);

// The entry that `path` names (a file or a directory, links followed); false when it does not exist.
bool FindEntry(const std::string& path, DirEntry& entry);

}  // namespace tw
