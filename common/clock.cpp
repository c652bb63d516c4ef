#include "common/clock.h"

#include <mutex>

namespace {
std::mutex clockMutex;
WallClock testClock;
}  // namespace

std::chrono::system_clock::time_point CurrentTime() {
    std::lock_guard lock(clockMutex);
    return testClock ? testClock() : std::chrono::system_clock::now();
}

void SetClockForTesting(WallClock clock) {
    std::lock_guard lock(clockMutex);
    testClock = std::move(clock);
}
