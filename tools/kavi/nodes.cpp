// nodes.cpp — `kavi nodes [--json]`: every node with a process connected to the NATS servers of
// KAVI_NATS_URL, each answering for itself.
#include "tools/kavi/nodes.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "services/kavcacm/kavcacm.h"
#include "tools/kavi/options.h"
#include "tools/kavi/quote.h"

namespace kavitool {

namespace {

constexpr OptionSpec OPTIONS[] = {
    {"json", nullptr, "one JSON object: {\"nodes\": [...]}"},
};

std::string trimmed(const char *s, size_t n) {
    while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\0')) --n;
    return std::string(s, n);
}

}  // namespace

const CommandSpec NODES_SPEC = {
    "nodes",
    nullptr,
    nullptr,
    false,
    "list the nodes seen through NATS (KAVI_NATS_URL)",
    "Lists the nodes whose exit programs (or tools) are connected through NATS (KAVI_NATS_URL),\n"
    "each answering for itself.\n",
    OPTIONS,
    "Exit codes: 0 listed (also when none answers), 1 NATS is not configured or failed,\n"
    "2 usage error.\n",
};

int nodes_command(const Args &args) {
    const char *nats = std::getenv("KAVI_NATS_URL");
    if (nats == nullptr || *nats == '\0') {
        std::fprintf(stderr, "kavi nodes: KAVI_NATS_URL is not set: no other node is reachable\n");
        return EXIT_FAILED;
    }
    std::vector<VULC_NODEINFO> nodes(64);
    uint32_t count = 0;
    for (;;) {
        if (vulclistnodes(nodes.data(), static_cast<uint32_t>(nodes.size()), &count) != VULC_OK) {
            std::fprintf(stderr,
                         "kavi nodes: the communication service failed (see the error log)\n");
            return EXIT_FAILED;
        }
        if (count <= nodes.size()) break;
        nodes.resize(count + 16);
    }
    nodes.resize(count);
    if (args.has("json")) {
        std::printf("{\"nodes\": [");
        for (size_t i = 0; i < nodes.size(); ++i) {
            std::printf("%s%s", i == 0 ? "" : ", ",
                        json_string(trimmed(nodes[i].node, sizeof nodes[i].node)).c_str());
        }
        std::printf("]}\n");
        return EXIT_OK;
    }
    std::printf("%zu node%s\n", nodes.size(), nodes.size() == 1 ? "" : "s");
    for (const VULC_NODEINFO &node : nodes)
        std::printf("  %s\n", trimmed(node.node, sizeof node.node).c_str());
    return EXIT_OK;
}

}  // namespace kavitool
