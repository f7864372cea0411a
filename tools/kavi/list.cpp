// list.cpp — `kavi list [--node N] [--json]`: the exits started on the node, each with the process
// that holds it, its run mode, the commands it ran and since when, as each exit answers for
// itself. Tasks of tools (kavi's own, named KV...) are left out; tasks that do not answer are
// shown with what the node alone knows of them.
#include "tools/kavi/list.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "services/kavcacm/kavcacm.h"
#include "tools/kavi/client.h"
#include "tools/kavi/query.h"
#include "tools/kavi/quote.h"

namespace kavitool {

namespace {

constexpr double ANSWER_TIMEOUT_S = 0.5;

constexpr OptionSpec OPTIONS[] = {
    NODE_OPTION,
    {"json", nullptr,
     "one JSON object: {\"node\": ..., \"exits\": [{\"name\": ..., \"pid\": ...,\n"
     "\"process\": ..., \"run_mode\": ..., \"commands\": ..., \"since\": ...}]}"},
};

std::string trimmed(const char *s, size_t n) {
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0')) --n;
    return std::string(s, n);
}

// kavi's own tasks are KV and six hexadecimal digits (ClientTask); an exit may well be KVSTORE.
bool is_tool(const VULC_TASKINFO &task) {
    if (task.task[0] != 'K' || task.task[1] != 'V') return false;
    for (int i = 2; i < 8; ++i)
        if (!isxdigit(static_cast<unsigned char>(task.task[i]))) return false;
    return true;
}

std::string field(const ExitDetails &d, const char *name, const std::string &absent) {
    auto it = d.fields.find(name);
    return it != d.fields.end() ? it->second : absent;
}

}  // namespace

const CommandSpec LIST_SPEC = {
    "list",
    nullptr,
    nullptr,
    false,
    "list the exits started on a node",
    "Lists the exits started on a node, each with its process, run mode, the commands it ran and\n"
    "when it was registered. kavi's own tasks are left out; a task that does not answer (not an\n"
    "exit, or a stuck one) is listed with its process id alone.\n",
    OPTIONS,
    "Exit codes: 0 listed, 1 the communication service failed, 2 usage error.\n",
};

int list_command(const Args &args) {
    if (!use_node(args.value("node"))) return EXIT_USAGE;
    std::vector<VULC_TASKINFO> tasks(64);
    uint32_t count = 0;
    // The node may gain tasks between the calls; ask again with room for them.
    std::string remote = remote_node(args.value("node"));
    for (;;) {
        auto capacity = static_cast<uint32_t>(tasks.size());
        uint32_t rc = remote.empty()
                          ? vulclisttasks(tasks.data(), capacity, &count)
                          : vulclistnodetasks(remote.data(), tasks.data(), capacity, &count);
        if (rc == VULC_UNREACHABLE) {
            std::fprintf(stderr, "kavi list: no process of node %s answers\n",
                         args.value("node").c_str());
            return EXIT_FAILED;
        }
        if (rc != VULC_OK) {
            std::fprintf(stderr,
                         "kavi list: the communication service failed (see the error log)\n");
            return EXIT_FAILED;
        }
        if (count <= tasks.size()) break;
        tasks.resize(count + 16);
    }
    tasks.resize(count);
    std::erase_if(tasks, is_tool);
    ClientTask client;
    if (uint32_t rc = client.start(args.value("node")); rc != VULC_OK) {
        std::fprintf(stderr, "kavi list: cannot start a task on the node (code %u)\n", rc);
        return EXIT_FAILED;
    }
    std::vector<std::string> names;
    for (const VULC_TASKINFO &t : tasks) names.push_back(trimmed(t.task, 8));
    std::vector<ExitDetails> details = query_exits(client, names, ANSWER_TIMEOUT_S);
    std::string node = client.node_name();
    if (args.has("json")) {
        std::printf("{\"node\": %s, \"exits\": [", json_string(node).c_str());
        for (size_t i = 0; i < tasks.size(); ++i) {
            const ExitDetails &d = details[i];
            std::string pid = tasks[i].pid != 0 ? std::to_string(tasks[i].pid) : "null";
            std::string since = registered_at(d);
            std::printf(
                "%s{\"name\": %s, \"pid\": %s, \"process\": %s, \"run_mode\": %s, "
                "\"commands\": %s, \"since\": %s}",
                i == 0 ? "" : ", ", json_string(names[i]).c_str(), pid.c_str(),
                d.fields.count("process") ? json_string(d.fields.at("process")).c_str() : "null",
                field(d, "run_mode", "null").c_str(), field(d, "commands", "null").c_str(),
                since != "-" ? json_string(since).c_str() : "null");
        }
        std::printf("]}\n");
        return EXIT_OK;
    }
    std::printf("node %s: %zu exit%s\n", node.c_str(), tasks.size(), tasks.size() == 1 ? "" : "s");
    if (tasks.empty()) return EXIT_OK;
    std::printf("  %-8s  %-7s  %-15s  %-4s  %-8s  %s\n", "EXIT", "PID", "PROCESS", "MODE",
                "COMMANDS", "SINCE");
    for (size_t i = 0; i < tasks.size(); ++i) {
        const ExitDetails &d = details[i];
        std::string pid = tasks[i].pid != 0 ? std::to_string(tasks[i].pid) : "-";
        std::printf("  %-8s  %-7s  %-15s  %-4s  %-8s  %s\n", names[i].c_str(), pid.c_str(),
                    field(d, "process", "-").c_str(), field(d, "run_mode", "-").c_str(),
                    field(d, "commands", "-").c_str(), registered_at(d).c_str());
    }
    return EXIT_OK;
}

}  // namespace kavitool
