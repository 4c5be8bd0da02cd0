// Test helper: a local calendar time as time_t.
#pragma once

#include <ctime>

namespace tw::test {

inline std::time_t LocalTime(int y, int mon, int d, int h, int min, int s) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = min;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

}  // namespace tw::test
