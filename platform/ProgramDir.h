// The program directory: every file of the system is looked up there.
#pragma once

#include <string>

namespace tw {

// $TARNWICK_HOME when set, else the directory of the running executable; always ends in "/".
std::string ProgramDirectory();

// Creates the directory when it does not exist; false when it cannot be created.
bool EnsureDirectory(const std::string& path);

// Whole content of a file; empty when it cannot be read. At most `limit` bytes are read.
std::string ReadSmallFile(const std::string& path, size_t limit = 1 << 20);

// Creates or overwrites a file with `content`; false when it cannot be written whole.
bool WriteSmallFile(const std::string& path, const std::string& content);

}  // namespace tw
