// list.cpp — `kavi list [--node N] [--json]`: every task started on the node, with the process
// that started it where the system can tell.
#include "tools/kavi/list.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "services/kavcacm/kavcacm.h"
#include "tools/kavi/options.h"

namespace kavitool {

namespace {

constexpr char USAGE[] =
    "usage: kavi list [--node N] [--json]\n"
    "Lists the tasks started on a node: the exits of every exit program, and tools.\n"
    "  --node N   the node to list (default: KAVI_NODE, else the host name); with\n"
    "             KAVI_NATS_URL set, a node reached through NATS\n"
    "  --json     one JSON object: {\"node\": ..., \"tasks\": [{\"name\": ..., \"pid\": ...}]}\n"
    "  --help     this text\n"
    "Exit codes: 0 listed, 1 the communication service failed, 2 usage error.\n";

std::string trimmed(const char *s, size_t n) {
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0')) --n;
    return std::string(s, n);
}

// Names and nodes are printable; quotes and backslashes are the only characters to escape.
std::string quoted(const std::string &s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string local_node() {
    VULC_CHECKTASK block = {};
    block.head.length = sizeof block;
    std::copy_n("KAVI    ", 8, block.head.task);
    vulcchecktask(&block);
    return trimmed(block.node, sizeof block.node);
}

}  // namespace

int list_command(int argc, char **argv) {
    Options options;
    if (auto done = finish_options(argc, argv, true, USAGE, &options)) return *done;
    use_node(options.node);
    std::vector<VULC_TASKINFO> tasks(64);
    uint32_t count = 0;
    // The node may gain tasks between the calls; ask again with room for them.
    std::string remote = remote_node(options.node);
    for (;;) {
        auto capacity = static_cast<uint32_t>(tasks.size());
        uint32_t rc = remote.empty()
                          ? vulclisttasks(tasks.data(), capacity, &count)
                          : vulclistnodetasks(remote.data(), tasks.data(), capacity, &count);
        if (rc == VULC_UNREACHABLE) {
            std::fprintf(stderr, "kavi list: no process of node %s answers\n",
                         options.node.c_str());
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
    std::string node = remote.empty() ? local_node() : trimmed(remote.data(), remote.size());
    if (options.json) {
        std::printf("{\"node\": %s, \"tasks\": [", quoted(node).c_str());
        for (size_t i = 0; i < tasks.size(); ++i) {
            std::string pid = tasks[i].pid != 0 ? std::to_string(tasks[i].pid) : "null";
            std::printf("%s{\"name\": %s, \"pid\": %s}", i == 0 ? "" : ", ",
                        quoted(trimmed(tasks[i].task, 8)).c_str(), pid.c_str());
        }
        std::printf("]}\n");
        return EXIT_OK;
    }
    std::printf("node %s: %zu task%s\n", node.c_str(), tasks.size(), tasks.size() == 1 ? "" : "s");
    for (const VULC_TASKINFO &task : tasks) {
        std::string pid = task.pid != 0 ? std::to_string(task.pid) : "-";
        std::printf("  %-8s  %s\n", trimmed(task.task, 8).c_str(), pid.c_str());
    }
    return EXIT_OK;
}

}  // namespace kavitool
