// The daemon's clock for intervals and deadlines: CLOCK_MONOTONIC in
// milliseconds, never set back, the same on every thread.
#pragma once

#include <ctime>

inline long long clock_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}
