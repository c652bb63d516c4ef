#include "core/timestamp.h"

#include <ctime>

#include "common/clock.h"

namespace relvo::mail {

namespace {

std::tm LocalParts(std::chrono::system_clock::time_point when) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    localtime_r(&seconds, &parts);
    return parts;
}

}  // namespace

std::string LocalTimestamp() {
    return LocalTimestamp(CurrentTime());
}

std::string LocalTimestamp(std::chrono::system_clock::time_point when) {
    std::tm parts = LocalParts(when);
    char text[32];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S ", &parts);
    return std::string(text, length);
}

std::string LocalDateKey(std::chrono::system_clock::time_point when) {
    std::tm parts = LocalParts(when);
    char text[16];
    size_t length = std::strftime(text, sizeof text, "%Y%m%d", &parts);
    return std::string(text, length);
}

}  // namespace relvo::mail
