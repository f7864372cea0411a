// trace.cpp — VULZTRACE and VULZFLUSHTRACE: one binary record per call, appended whole.
#include <atomic>
#include <chrono>
#include <cstdarg>

#include "platform/platform.h"
#include "services/kavzras/input.h"
#include "services/kavzras/kavzras.h"
#include "services/kavzras/record.h"
#include "services/kavzras/report.h"
#include "services/kavzras/state.h"

extern "C" void VULZTRACE(const char *function, uint32_t line, uint32_t kind, uint32_t level,
                          uint32_t count, ...) try {
    kavz::State &s = kavz::state();
    std::shared_lock guard(s.lock);
    if (s.trace == nullptr) return;

    char name[kavz::FUNCTION_MAX];
    kavz::TraceRecord r{};
    r.pid = plat::process_id();
    r.time_ns = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
    r.thread = plat::thread_id();
    r.line = line;
    r.kind = kind;
    r.level = level;
    r.component = {s.component, s.component_size};
    r.function = {name, kavz::copy_text(function, name, sizeof name)};
    r.items_passed = count;
    r.item_count = count < kavz::ITEMS_MAX ? count : kavz::ITEMS_MAX;
    va_list args;
    va_start(args, count);
    for (size_t i = 0; i < r.item_count; ++i) {
        const void *data = va_arg(args, const void *);
        uint32_t length = va_arg(args, uint32_t);
        r.items[i] = kavz::capture_item(data, length, kavz::ITEM_MAX);
    }
    va_end(args);

    size_t size = kavz::encoded_size(r);
    auto *record = static_cast<uint8_t *>(plat::alloc_zeroed(size));
    if (record == nullptr) return;  // the record is lost; the traced operation goes on
    kavz::encode(r, record);
    uint32_t rc = plat::append_write(s.trace, record, size);
    if (rc != plat::OK) {
        static std::atomic<bool> reported{false};
        kavz::report_once(reported, "cannot write the trace file", {}, rc,
                          "records are lost while it cannot be written");
    }
    plat::mem_free(record);
} catch (...) {
    // A failed allocation loses the record; no exception leaves the call, and the traced
    // operation goes on.
}

extern "C" void VULZFLUSHTRACE(void) {
    kavz::State &s = kavz::state();
    std::shared_lock guard(s.lock);
    if (s.trace != nullptr) plat::append_sync(s.trace);
}
