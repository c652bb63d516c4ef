// Time texts of the engine's lines and log file names, in local time, from the shared clock
// (config/clock.h) so that tests can cross midnight.
#pragma once

#include <chrono>
#include <string>

namespace relvo::mail {

// "YYYY-MM-DD HH:MM:SS " with the trailing blank that every line starts with.
std::string LocalTimestamp();
std::string LocalTimestamp(std::chrono::system_clock::time_point when);

// "YYYYMMDD", the date part of the daily log names.
std::string LocalDateKey(std::chrono::system_clock::time_point when);

}  // namespace relvo::mail
