#include "HiddenFiles.h"

#include <atomic>
#include <cerrno>
#include <fmt/format.h>

#include "platform/DirectoryList.h"
#include "platform/MessageLoop.h"

namespace tw {

namespace {

std::atomic<uint64_t> gHiddenSerial{0};

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

int SweepHiddenFiles(const std::string& dir) {
    int removed = 0;
    VisitFilesBelow(PathBeneath{dir, ""}, [&](const PathBeneath& in, const DirEntry& file) {
        if (IsHiddenFileName(file.name) && RemoveFile(in.Child(file.name)) == 0) ++removed;
    });
    return removed;
}

}  // namespace tw
