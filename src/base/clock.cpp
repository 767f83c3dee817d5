// Wall clock and processor clock for the timing lines.
#include "base/clock.h"

#include <chrono>
#include <ctime>

double wallClockSeconds() {
    using Clock = std::chrono::steady_clock;
    static const Clock::time_point base = Clock::now();
    return std::chrono::duration<double>(Clock::now() - base).count();
}

double processorSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}
