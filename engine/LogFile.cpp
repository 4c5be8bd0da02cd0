#include "LogFile.h"

#include <string_view>


#include "platform/ProgramDir.h"
#include "platform/Text.h"

namespace tw {

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

CLogFile::~CLogFile() {
    if (stream_) std::fclose(stream_);
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
    if (stream_) std::fclose(stream_);
    fileName_ = fileName;
    stream_ = std::fopen(fileName.c_str(), "ab");
    if (!stream_ && report_) report_(fileName);
    return stream_ != nullptr;
}

void CLogFile::Write(const std::string& line, std::time_t now) {
    std::lock_guard lock(mutex_);
    if (LocalTimeText(now, "%Y-%m-%d") != date_) OpenForTodayLocked(now);
    if (!stream_) return;
    std::fwrite(line.data(), 1, line.size(), stream_);
    std::fwrite("\r\n", 1, 2, stream_);
    std::fflush(stream_);
}

}  // namespace tw
