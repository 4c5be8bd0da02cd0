#include "engine/HiddenFiles.h"

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
        if (!file.Open(path, CFile::CREATE_NEW)) {
            error = file.LastError();
            if (error != EEXIST) break;
            continue;
        }
        // A sweep that came between the creation and the lock has removed it: then another is made.
        if (!file.TryLock()) error = file.LastError();
        else if (!file.HasName()) error = ENOENT;
        else return path;
        file.Close();
    }
    return std::nullopt;
}

int SweepHiddenFiles(const std::string& dir) {
    int removed = 0;
    VisitFilesBelow(PathBeneath{dir, ""}, [&](const PathBeneath& in, const DirEntry& file) {
        if (!IsHiddenFileName(file.name)) return;
        const PathBeneath path = in.Child(file.name);
        CFile open;
        if (open.Open(path, CFile::READ) && !open.TryLock()) return;  // its writer still holds it
        if (RemoveFile(path) == 0) ++removed;
    });
    return removed;
}

}  // namespace tw
