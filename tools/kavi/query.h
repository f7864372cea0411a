// query.h — asking exits about themselves: an operator's query (function code 5), which an exit's
// queue thread answers with its details and counters without running the exit function.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tools/kavi/client.h"

namespace kavitool {

struct ExitDetails {
    enum class State { answered, not_started, silent } state = State::silent;
    std::string name;
    std::string json;                           // the exit's answer as it came
    std::map<std::string, std::string> fields;  // its members by name, nested ones flattened
    double round_trip_ms = 0;
};

// query_exits: sends the query to every exit named at once and collects the answers that arrive
// within timeout_s, in the order of names.
std::vector<ExitDetails> query_exits(const ClientTask &task, const std::vector<std::string> &names,
                                     double timeout_s);

// registered_at: since_ns of an answer as an ISO time, UTC.
std::string registered_at(const ExitDetails &d);

}  // namespace kavitool
