// The service log "ploverService.log" and its switch, "LogLevel" in tarnsvc.ini section "Settings".
//
// Threads: Open at program start; Write on the service thread (or the only thread) one line at a time.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace tw {

constexpr int kDefaultLogLevel = 3;

// "LogLevel" of <dir>tarnsvc.ini; 3 when the file, the key or a number is missing.
int ReadLogLevel(const std::string& programDir);

// "%02d/%02d/%02d %02d:%02d:%02d.%03d " (day, month, four-digit year, time with milliseconds, local),
// the text and a line feed.
std::string FormatServiceLogLine(std::time_t seconds, int milliseconds, const std::string& text);

class CServiceLogFile {
public:
    ~CServiceLogFile();

    // Opens `path` for appending; false when it cannot be created or opened.
    bool Open(const std::string& path);
    bool IsOpen() const { return stream_ != nullptr; }
    // Appends one formatted line and hands it to the system at once (a stopped service loses nothing).
    void Write(const std::string& line);

private:
    std::FILE* stream_ = nullptr;
};

}  // namespace tw
