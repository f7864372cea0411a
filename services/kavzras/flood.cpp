// flood.cpp — the kinds seen in the last second, in a small table: a kind that falls out of a
// full table has its count written at once, so nothing counted is ever lost.
#include "services/kavzras/flood.h"

#include <mutex>

namespace kavz {
namespace {

constexpr size_t KINDS_MAX = 64;

struct Kind {
    FloodCount count;
    int64_t window_start_ms;
};

struct Table {
    std::mutex lock;
    std::vector<Kind> kinds;
};

// Never destroyed: threads may still log while the process exits.
Table &table() {
    static Table *t = new Table;
    return *t;
}

bool same_kind(const FloodCount &c, std::string_view function, uint32_t site, uint32_t code) {
    return c.site == site && c.code == code && c.function == function;
}

}  // namespace

bool flood_admit(std::string_view function, uint32_t site, uint32_t code, int64_t now_ms,
                 std::vector<FloodCount> *due) {
    Table &t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    Kind *found = nullptr;
    for (size_t i = 0; i < t.kinds.size();) {
        Kind &k = t.kinds[i];
        bool mine = same_kind(k.count, function, site, code);
        if (now_ms - k.window_start_ms < FLOOD_WINDOW_MS) {
            if (mine) found = &k;
            ++i;
            continue;
        }
        if (k.count.more != 0) due->push_back(k.count);
        k = std::move(t.kinds.back());
        t.kinds.pop_back();
    }
    if (found != nullptr) {
        ++found->count.more;
        return false;
    }
    if (t.kinds.size() == KINDS_MAX) {
        // The oldest kind makes room; its count is written now rather than lost.
        size_t oldest = 0;
        for (size_t i = 1; i < t.kinds.size(); ++i) {
            if (t.kinds[i].window_start_ms < t.kinds[oldest].window_start_ms) oldest = i;
        }
        if (t.kinds[oldest].count.more != 0) due->push_back(t.kinds[oldest].count);
        t.kinds[oldest] = std::move(t.kinds.back());
        t.kinds.pop_back();
    }
    t.kinds.push_back({{std::string(function), site, code, 0}, now_ms});
    return true;
}

std::vector<FloodCount> flood_drain() {
    Table &t = table();
    std::lock_guard<std::mutex> hold(t.lock);
    std::vector<FloodCount> left;
    for (Kind &k : t.kinds) {
        if (k.count.more != 0) left.push_back(k.count);
        k.count.more = 0;
    }
    return left;
}

}  // namespace kavz
