// The wall clock that time texts read. Tests replace it to cross midnight without waiting.
#pragma once

#include <chrono>
#include <functional>

using WallClock = std::function<std::chrono::system_clock::time_point()>;

std::chrono::system_clock::time_point CurrentTime();
// Replaces the clock for the whole process; an empty function restores the system clock.
void SetClockForTesting(WallClock clock);
