// Moments of local wall-clock time for tests, whatever the machine's time zone.
#pragma once

#include <chrono>
#include <ctime>

inline std::chrono::system_clock::time_point LocalTime(int year, int month, int day, int hour,
                                                       int minute, int second) {
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&parts));
}
