// Hidden files that the server writes beside a client's file before they take its name: an upload in
// progress, and a copy that a move across file systems makes. Clients never see, name or fetch them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "accounts/StoredFiles.h"
#include "platform/File.h"

namespace tw {

// Creates a new hidden file in the directory of `target` and opens it into `file` for writing, locked
// while it is open; its path, or nothing with `error` set when none can be created. Give it its name
// before closing it: the lock is what keeps a sweep off it.
std::optional<PathBeneath> CreateHiddenBeside(const PathBeneath& target, CFile& file, int& error);

// Removes the hidden files left in `dir` and below it (an upload cut by a crash), following no link and
// no deeper than kWalkDepth; returns how many were removed. A hidden file that is still open and locked
// (an upload in progress in another process serving the same directory) stays.
int SweepHiddenFiles(const std::string& dir);

}  // namespace tw
