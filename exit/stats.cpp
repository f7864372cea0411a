// stats.cpp — per-exit counters kept with relaxed atomic increments (a command pays a few of
// them), and the query answer built from them.
#include "exit/stats.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "exit/codec.h"
#include "exit/exit_table.h"
#include "exit/trace.h"
#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/request_block.h"

namespace kavi {

namespace {

// Latencies by powers of two of microseconds: bucket i holds [2^i, 2^(i+1)) µs, bucket 0 also
// what took less than a microsecond; the last holds everything longer.
constexpr size_t LATENCY_BUCKETS = 32;

struct ExitStats {
    std::atomic<uint64_t> since_ns{0};  // when the exit was registered, ns since 1970
    std::atomic<uint32_t> run_mode{0};
    std::atomic<uint64_t> commands{0};
    std::atomic<uint64_t> status_zero{0};
    std::atomic<uint64_t> latency[LATENCY_BUCKETS] = {};
};

ExitStats exit_stats[EXIT_SLOTS];

size_t bucket_of(uint64_t ns) {
    uint64_t us = ns / 1000;
    size_t b = 0;
    while (us > 1 && b + 1 < LATENCY_BUCKETS) us >>= 1, ++b;
    return b;
}

// The upper bound, in µs, of the bucket under which `share` of the commands fall.
uint64_t percentile_us(const uint64_t counts[], uint64_t total, double share) {
    if (total == 0) return 0;
    auto wanted = static_cast<uint64_t>(share * static_cast<double>(total) + 0.999999);
    uint64_t seen = 0;
    for (size_t b = 0; b < LATENCY_BUCKETS; ++b) {
        seen += counts[b];
        if (seen >= wanted) return uint64_t{2} << b;
    }
    return uint64_t{2} << (LATENCY_BUCKETS - 1);
}

uint64_t now_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

constexpr const char *FN = "VuleQueThread";
constexpr uint16_t ANSWER_TEXT_TYPE = 2;  // the answer travels as a text element

}  // namespace

void stats_start(uint16_t index, uint32_t run_mode) {
    ExitStats &s = exit_stats[index];
    s.commands = 0;
    s.status_zero = 0;
    for (auto &b : s.latency) b = 0;
    s.run_mode = run_mode;
    s.since_ns = now_ns();
}

void stats_count(uint16_t index, uint16_t status, uint64_t elapsed_ns) {
    ExitStats &s = exit_stats[index];
    s.commands.fetch_add(1, std::memory_order_relaxed);
    if (status == 0) s.status_zero.fetch_add(1, std::memory_order_relaxed);
    s.latency[bucket_of(elapsed_ns)].fetch_add(1, std::memory_order_relaxed);
}

size_t stats_json(uint16_t index, const char name[8], char *out, size_t cap) {
    const ExitStats &s = exit_stats[index];
    uint64_t counts[LATENCY_BUCKETS];
    uint64_t total = 0;
    for (size_t b = 0; b < LATENCY_BUCKETS; ++b) total += counts[b] = s.latency[b].load();
    uint64_t commands = s.commands.load(), zero = s.status_zero.load();
    size_t length = 8;
    while (length > 0 && name[length - 1] == ' ') --length;
    int n = std::snprintf(
        out, cap,
        "{\"exit\": \"%.*s\", \"pid\": %u, \"process\": \"%s\", \"run_mode\": %u, "
        "\"since_ns\": %llu, \"commands\": %llu, \"status_zero\": %llu, \"status_other\": %llu, "
        "\"latency_us\": {\"p50\": %llu, \"p90\": %llu, \"p99\": %llu, \"max\": %llu}}",
        static_cast<int>(length), name, plat::process_id(), plat::process_name(), s.run_mode.load(),
        static_cast<unsigned long long>(s.since_ns.load()),
        static_cast<unsigned long long>(commands), static_cast<unsigned long long>(zero),
        static_cast<unsigned long long>(commands - zero),
        static_cast<unsigned long long>(percentile_us(counts, total, 0.5)),
        static_cast<unsigned long long>(percentile_us(counts, total, 0.9)),
        static_cast<unsigned long long>(percentile_us(counts, total, 0.99)),
        static_cast<unsigned long long>(percentile_us(counts, total, 1.0)));
    return n < 0 ? 0 : std::min(static_cast<size_t>(n), cap - 1);
}

void answer_query(const uint8_t *msg, const QueueStartRecord &start) {
    char text[512];
    size_t length = stats_json(start.exit_index, start.name, text, sizeof text);
    size_t element = codec::text_element_length(length + 1);
    auto alloc = kavc::request_for<VULC_ALCMEM>(start.name);
    alloc.size = static_cast<uint32_t>(codec::FIRST_ELEMENT_OFFSET + element);
    uint32_t rc = vulcalcmem(&alloc);
    if (rc != VULC_OK) {
        KAVI_LOG(FN, rc, alloc.head.reason, 1800, 1, KAVI_ITEM(alloc));
        return;
    }
    auto *answer = static_cast<uint8_t *>(alloc.buffer);
    codec::write_element_block_head(answer, static_cast<uint16_t>(4 + element));
    codec::write_text_element(answer + codec::FIRST_ELEMENT_OFFSET, ANSWER_TEXT_TYPE, text,
                              length + 1);
    codec::Header h = codec::read_header(msg);
    auto send = kavc::request_for<VULC_SNDDATA>(start.name);
    std::memcpy(send.dest_app, h.origin_name, 8);
    std::memcpy(send.dest_node, h.origin_node, 24);
    send.send_length = alloc.size;
    send.buffer = answer;
    send.function_code = FUNCTION_QUERY_ANSWER;
    rc = vulcsnddata(&send);
    if (rc != VULC_OK) KAVI_LOG(FN, rc, send.head.reason, 1810, 1, KAVI_ITEM(send));
    auto release = kavc::request_for<VULC_FREEMEM>(start.name);
    release.buffer = answer;
    rc = vulcfreemem(&release);
    if (rc != VULC_OK) KAVI_LOG(FN, rc, release.head.reason, 1820, 1, KAVI_ITEM(release));
}

}  // namespace kavi
