// The daemon's clock for intervals and deadlines: CLOCK_MONOTONIC, never
// set back, the same on every thread. One place for it, for every file of
// output/ and daemon/ (the lowest of them here), in the units its users
// count in. The client library (spread/) and the separate programs
// (tools/) keep clocks of their own.
#pragma once

#include <ctime>

// Milliseconds.
inline long long clock_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Microseconds.
inline unsigned long long clock_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (unsigned long long)ts.tv_sec * 1000000ull + (unsigned long long)ts.tv_nsec / 1000;
}

// Milliseconds of the coarse clock (a tick's resolution, cheaper to
// read): for once-a-pass checks of deadlines in seconds.
inline long long clock_coarse_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Whole seconds of the coarse clock: for counts reported at most once
// per interval of seconds.
inline long clock_coarse_s()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return ts.tv_sec;
}
