// utc_time.cpp — the calendar of the C++ library: days since 1970 to a date, the rest to a time.
#include "tools/kavi/utc_time.h"

#include <chrono>

namespace kavitool {

UtcTime utc_time(int64_t seconds) {
    using namespace std::chrono;
    const sys_seconds at{std::chrono::seconds{seconds}};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<std::chrono::seconds> time{at - day};
    return {static_cast<int>(date.year()),
            static_cast<unsigned>(date.month()),
            static_cast<unsigned>(date.day()),
            static_cast<unsigned>(time.hours().count()),
            static_cast<unsigned>(time.minutes().count()),
            static_cast<unsigned>(time.seconds().count())};
}

}  // namespace kavitool
