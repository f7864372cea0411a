// stats.h — cheap counters per exit (commands run, their statuses, how long the exit function
// took) and the answer to an operator's query (`kavi ping`, `kavi stats`, `kavi list`), which the
// queue thread gives without running the exit function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exit/records.h"

namespace kavi {

// Function codes of the header for queries: a query to an exit, and its answer, which exits
// drop (so that two exits never answer each other's answers).
constexpr uint16_t FUNCTION_QUERY = 5;
constexpr uint16_t FUNCTION_QUERY_ANSWER = 6;

// stats_start: the counters of slot index begin again, for an exit of run_mode registered now.
void stats_start(uint16_t index, uint32_t run_mode);
// stats_count: one command of slot index ran its exit function for elapsed_ns and gave status.
void stats_count(uint16_t index, uint16_t status, uint64_t elapsed_ns);
// stats_json: the exit's details and counters as one JSON object, written into out (terminated,
// cut at cap); its length.
size_t stats_json(uint16_t index, const char name[8], char *out, size_t cap);

// answer_query: answers a query message (function code FUNCTION_QUERY) for the exit of start
// with its stats_json, sent to the query's origin. The query's buffer stays the caller's.
void answer_query(const uint8_t *msg, const QueueStartRecord &start);

}  // namespace kavi
