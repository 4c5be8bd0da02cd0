#include "accounts/StoredFiles.h"

#include "accounts/Accounts.h"
#include "platform/DirectoryList.h"

namespace tw {

bool StoredKb(const std::string& home, double& kb) {
    double sum = 0;
    const bool read = VisitFilesBelow(PathBeneath{home, ""}, [&](const PathBeneath&, const DirEntry& file) {
        if (!IsHiddenFileName(file.name)) sum += QuotaKb(file.size);
    });
    if (read) kb = sum;
    return read;
}

}  // namespace tw
