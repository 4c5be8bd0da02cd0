// Event lines and the daily log file.
//
// An event line is "[%Y-%m-%d %H:%M:%S]  " (local time, two blanks) and the message without its trailing
// line ends, in which every other byte below 0x20 is written as "?", so one event is always one line. The log
// file of a day is "<base>log/YYYYMMDD.txt"; each line is appended with its CR LF in one write, so a reader
// never sees part of a line. Log files are readable by owner and group only (0640).
#pragma once

#include <ctime>
#include <mutex>
#include <string>

#include "platform/File.h"

namespace tw {

// `when` in local time, formatted by strftime (at most 63 bytes).
std::string LocalTimeText(std::time_t when, const char* format);

std::string FormatEventLine(std::time_t when, const std::string& message);

// Thread-safe: the day check, the reopening and the write of one line are one step.
class CLogFile {
public:
    void SetBaseDirectory(const std::string& dir);
    // Opens the file of the local day of `now` (creating log/ when missing). False when it cannot be
    // opened; lines are then dropped until the next successful opening.
    bool OpenForToday(std::time_t now);
    bool Open(const std::string& fileName);
    // Writes one line; on a change of day first closes the old file and opens the new day's.
    void Write(const std::string& line, std::time_t now);

    std::string FileName() const;
    // Reports a file that cannot be opened: (file name).
    void SetErrorReporter(void (*report)(const std::string&)) { report_ = report; }

private:
    bool OpenLocked(const std::string& fileName);
    bool OpenForTodayLocked(std::time_t now);

    mutable std::mutex mutex_;  // guards everything below
    std::string base_;
    std::string fileName_;
    std::string date_;  // "%Y-%m-%d" of the open file's day
    CFile file_;
    void (*report_)(const std::string&) = nullptr;
};

}  // namespace tw
