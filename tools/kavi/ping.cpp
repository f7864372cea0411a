// ping.cpp — `kavi ping EXIT`: is it there, and how long its queue thread takes to answer;
// `kavi stats EXIT`: what it has done since it was registered.
#include "tools/kavi/ping.h"

#include <cstdio>
#include <cstdlib>

#include "tools/kavi/query.h"

namespace kavitool {

namespace {

constexpr OptionSpec OPTIONS[] = {
    timeout_option("how long to wait for the answer (default 5)"),
    JSON_OPTION,
    NODE_OPTION,
};

const char EXIT_CODES[] =
    "Exit codes: 0 answered, 1 the communication service failed, 2 usage error, 3 the exit is\n"
    "not started on the node, 4 no answer within the time-out.\n";

// ask: the answer of the exit named by the operand, or the exit code of what went wrong.
int ask(const CommandSpec &spec, const Args &args, ClientTask *task, ExitDetails *out) {
    std::string text = args.value("timeout", "5");
    char *end = nullptr;
    double timeout = strtod(text.c_str(), &end);
    if (*end != '\0' || !(timeout > 0 && timeout <= 86400))
        return usage_error(spec, "--timeout takes seconds above 0, not " + text);
    if (args.operand().size() > 8)
        return usage_error(spec, "EXIT takes 1 to 8 characters, not " + args.operand());
    if (!use_node(args.value("node"))) return EXIT_USAGE;
    if (uint32_t rc = task->start(args.value("node")); rc != VULC_OK) {
        std::fprintf(stderr, "kavi %s: cannot start a task on the node (code %u)\n", spec.name, rc);
        return EXIT_FAILED;
    }
    *out = query_exits(*task, {args.operand()}, timeout)[0];
    std::string name = out->name;
    for (char &c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (out->state == ExitDetails::State::not_started) {
        std::fprintf(stderr, "kavi %s: %s\n", spec.name, not_reachable(name, *task).c_str());
        return EXIT_NOT_STARTED;
    }
    if (out->state == ExitDetails::State::silent) {
        std::fprintf(stderr,
                     "kavi %s: %s on node %s did not answer within %g s (a task that is not an "
                     "exit, or an exit program that is stuck)\n",
                     spec.name, name.c_str(), task->node_name().c_str(), timeout);
        return EXIT_TIMED_OUT;
    }
    return EXIT_OK;
}

std::string field(const ExitDetails &d, const char *name) {
    auto it = d.fields.find(name);
    return it != d.fields.end() ? it->second : "?";
}

}  // namespace

const CommandSpec PING_SPEC = {
    "ping",
    "EXIT",
    "the exit to ask",
    false,
    "tell whether an exit answers, and how fast",
    "Asks the exit EXIT whether it is there; its queue thread answers without running the exit\n"
    "function. Prints the round-trip time and the process that holds the exit.\n",
    OPTIONS,
    EXIT_CODES,
};

const CommandSpec STATS_SPEC = {
    "stats",
    "EXIT",
    "the exit to ask",
    false,
    "print what an exit has done since it was registered",
    "Asks the exit EXIT for its counters: the commands its exit function ran, their statuses,\n"
    "and how long the function took (percentiles: each figure is an upper bound, a power of 2).\n",
    OPTIONS,
    EXIT_CODES,
};

int ping_command(const Args &args) {
    ClientTask task;
    ExitDetails d;
    if (int rc = ask(PING_SPEC, args, &task, &d); rc != EXIT_OK) return rc;
    if (args.has("json")) {
        std::printf("{\"exit\": \"%s\", \"node\": \"%s\", \"round_trip_ms\": %.3f, \"pid\": %s}\n",
                    field(d, "exit").c_str(), task.node_name().c_str(), d.round_trip_ms,
                    field(d, "pid").c_str());
        return EXIT_OK;
    }
    std::printf("%s on node %s answered in %.2f ms (pid %s, %s)\n", field(d, "exit").c_str(),
                task.node_name().c_str(), d.round_trip_ms, field(d, "pid").c_str(),
                field(d, "process").c_str());
    return EXIT_OK;
}

int stats_command(const Args &args) {
    ClientTask task;
    ExitDetails d;
    if (int rc = ask(STATS_SPEC, args, &task, &d); rc != EXIT_OK) return rc;
    if (args.has("json")) {
        std::printf("%s\n", d.json.c_str());
        return EXIT_OK;
    }
    std::printf(
        "exit %s on node %s: pid %s (%s), run mode %s, registered %s\n"
        "commands: %s (status 0: %s, other: %s)\n"
        "exit function time: p50 <= %s us, p90 <= %s us, p99 <= %s us, max <= %s us\n",
        field(d, "exit").c_str(), task.node_name().c_str(), field(d, "pid").c_str(),
        field(d, "process").c_str(), field(d, "run_mode").c_str(), registered_at(d).c_str(),
        field(d, "commands").c_str(), field(d, "status_zero").c_str(),
        field(d, "status_other").c_str(), field(d, "p50").c_str(), field(d, "p90").c_str(),
        field(d, "p99").c_str(), field(d, "max").c_str());
    return EXIT_OK;
}

}  // namespace kavitool
