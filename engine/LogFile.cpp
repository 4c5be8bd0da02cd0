#include "engine/LogFile.h"

#include <string_view>

#include "platform/ProgramDir.h"
#include "platform/Text.h"

namespace tw {

namespace {

constexpr int kLogFileMode = 0640;

}  // namespace

std::string LocalTimeText(std::time_t when, const char* format) {
    std::tm tm{};
    localtime_r(&when, &tm);
    char text[64];
    size_t n = std::strftime(text, sizeof text, format, &tm);
    return std::string(text, n);
}

std::string FormatEventLine(std::time_t when, const std::string& message) {
    std::string line = LocalTimeText(when, "[%Y-%m-%d %H:%M:%S]  ");
    // A message's own line end (some texts carry one) ends the line anyway; any other control byte
    // would split or forge lines.
    std::string_view text = message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return line + MaskControlBytes(text);
}

void CLogFile::SetBaseDirectory(const std::string& dir) {
    std::lock_guard lock(mutex_);
    base_ = dir;
}

std::string CLogFile::FileName() const {
    std::lock_guard lock(mutex_);
    return fileName_;
}

bool CLogFile::OpenForToday(std::time_t now) {
    std::lock_guard lock(mutex_);
    return OpenForTodayLocked(now);
}

bool CLogFile::OpenForTodayLocked(std::time_t now) {
    date_ = LocalTimeText(now, "%Y-%m-%d");
    EnsureDirectory(base_ + "log");
    return OpenLocked(base_ + "log/" + LocalTimeText(now, "%Y%m%d") + ".txt");
}

bool CLogFile::Open(const std::string& fileName) {
    std::lock_guard lock(mutex_);
    return OpenLocked(fileName);
}

bool CLogFile::OpenLocked(const std::string& fileName) {
    fileName_ = fileName;
    const size_t slash = fileName.rfind('/');
    const PathBeneath path = slash == std::string::npos ? PathBeneath{".", fileName}
                                                        : PathBeneath{fileName.substr(0, slash + 1), fileName.substr(slash + 1)};
    bool opened = file_.Open(path, CFile::APPEND, kLogFileMode);
    // A file an earlier version made readable by everyone is closed to them now.
    if (opened && (file_.Permissions() & 07) != 0) file_.SetPermissions(file_.Permissions() & ~07);
    if (!opened && report_) report_(fileName);
    return opened;
}

void CLogFile::Write(const std::string& line, std::time_t now) {
    std::lock_guard lock(mutex_);
    if (LocalTimeText(now, "%Y-%m-%d") != date_) OpenForTodayLocked(now);
    if (!file_.IsOpen()) return;
    const std::string text = line + "\r\n";
    file_.Write(text.data(), text.size());
}

}  // namespace tw
