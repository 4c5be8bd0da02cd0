#include "HiddenFiles.h"

#include <atomic>
#include <cerrno>
#include <fmt/format.h>
#include <vector>

#include "platform/DirectoryList.h"
#include "platform/MessageLoop.h"

namespace tw {

namespace {

std::atomic<uint64_t> gHiddenSerial{0};

// A walk below a home or folder stops at this depth, so a deep or cyclic tree cannot stall a start.
constexpr int kSweepDepth = 64;

// Beneath the swept directory, so that a directory swapped for a link meanwhile leads the walk nowhere.
int Sweep(const PathBeneath& dir, int depth) {
    std::vector<DirEntry> entries;
    if (depth > kSweepDepth || !ListDirectory(dir, entries)) return 0;
    int removed = 0;
    for (const DirEntry& e : entries) {
        if (e.isLink) continue;
        if (e.isDirectory)
            removed += Sweep(dir.Child(e.name), depth + 1);
        else if (IsHiddenFileName(e.name) && RemoveFile(dir.Child(e.name)) == 0)
            ++removed;
    }
    return removed;
}

}  // namespace

std::optional<PathBeneath> CreateHiddenBeside(const PathBeneath& target, CFile& file, int& error) {
    const PathBeneath dir = target.Parent();
    // Thread id and serial make the name unique in this process; a name left by an earlier run is skipped.
    for (int attempt = 0; attempt < 8; ++attempt) {
        PathBeneath path = dir.Child(fmt::format("{}{:x}.{:x}", kHiddenUploadPrefix, CurrentThreadId(), ++gHiddenSerial));
        if (file.Open(path, CFile::CREATE_NEW)) return path;
        error = file.LastError();
        if (error != EEXIST) break;
    }
    return std::nullopt;
}

int SweepHiddenFiles(const std::string& dir) { return Sweep(PathBeneath{dir, ""}, 0); }

}  // namespace tw
