// The program directory: every file of the system is looked up there.
#pragma once

#include <string>

namespace tw {

// $TARNWICK_HOME when set, else the directory of the running executable; always ends in "/".
std::string ProgramDirectory();

// Full path of the running executable (not affected by $TARNWICK_HOME); empty when unknown.
std::string ProgramPath();

// Home directory of the user who invoked this program: the one behind sudo or pkexec when run through
// them, else $HOME. Empty when unknown.
std::string InvokingUserHome();

// True when run through sudo or pkexec.
bool RunThroughElevation();

// Creates the directory when it does not exist; false when it cannot be created.
bool EnsureDirectory(const std::string& path);

// Whole content of a file; empty when it cannot be read. At most `limit` bytes are read.
std::string ReadSmallFile(const std::string& path, size_t limit = 1 << 20);

}  // namespace tw
