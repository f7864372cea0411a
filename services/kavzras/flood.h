// flood.h — flood control for the error log: of the entries of one kind (one function, call
// site and code), the first is written and the rest within the next second are only counted;
// the count gets a line of its own when that second has passed, or when the process exits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kavz {

constexpr int64_t FLOOD_WINDOW_MS = 1000;

struct FloodCount {
    std::string function;
    uint32_t site;
    uint32_t code;
    uint64_t more;  // entries counted but not written
};

// flood_admit: whether this entry is written. *due gets the counts whose second has passed, to
// be written before it (whatever the answer). now_ms is a monotonic time.
bool flood_admit(std::string_view function, uint32_t site, uint32_t code, int64_t now_ms,
                 std::vector<FloodCount> *due);
// flood_drain: every count not yet written, at the end of the process.
std::vector<FloodCount> flood_drain();

}  // namespace kavz
