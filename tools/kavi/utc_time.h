// utc_time.h — a count of seconds since 1970 as a UTC calendar date and time, computed without
// the C library's time zone state, so every system prints the same.
#pragma once

#include <cstdint>

namespace kavitool {

struct UtcTime {
    int year;
    unsigned month, day, hour, minute, second;
};

UtcTime utc_time(int64_t seconds);

}  // namespace kavitool
