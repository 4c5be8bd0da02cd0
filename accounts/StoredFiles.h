// What a home stores by the quota's measure: every file in it except the server's hidden upload files,
// each taking its started KB in full, as an upload is billed.
#pragma once

#include <string>
#include <string_view>

namespace tw {

// The prefix of the hidden files an upload writes before they take a client's file name (HiddenFiles.h).
constexpr std::string_view kHiddenUploadPrefix = ".tarnwick-upload.";

// Every name that begins with the prefix, compared exactly (as the file system compares names): a file or
// directory of that name is never listed, named or made by a client, whatever it holds.
inline bool IsHiddenFileName(std::string_view name) { return name.substr(0, kHiddenUploadPrefix.size()) == kHiddenUploadPrefix; }

// The KB the files below `home` take (QuotaKb of each), links not followed, hidden upload files left out;
// false when `home` is not a readable directory.
bool StoredKb(const std::string& home, double& kb);

}  // namespace tw
