#include "service/ServiceLog.h"

#include <fmt/printf.h>

#include "platform/IniFile.h"
#include "platform/Text.h"

namespace tw {

int ReadLogLevel(const std::string& programDir) {
    std::string text(Trim(CIniFile(programDir + "tarnsvc.ini").GetString("Settings", "LogLevel")));
    return ParseSignedDecimal<int>(text).value_or(kDefaultLogLevel);
}

std::string FormatServiceLogLine(std::time_t seconds, int milliseconds, const std::string& text) {
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return fmt::sprintf("%02d/%02d/%02d %02d:%02d:%02d.%03d %s\n", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900,
                        tm.tm_hour, tm.tm_min, tm.tm_sec, milliseconds, text);
}

CServiceLogFile::~CServiceLogFile() {
    if (stream_) std::fclose(stream_);
}

bool CServiceLogFile::Open(const std::string& path) {
    if (stream_) std::fclose(stream_);
    stream_ = std::fopen(path.c_str(), "ae");
    return stream_ != nullptr;
}

void CServiceLogFile::Write(const std::string& line) {
    if (!stream_) return;
    std::fwrite(line.data(), 1, line.size(), stream_);
    std::fflush(stream_);
}

}  // namespace tw
