// main.cpp — the kavi command: plays the management server on a node, lists and stops what runs
// there. One subcommand per file; this file only dispatches.
#include <cstdio>
#include <cstring>

#include "tools/kavi/list.h"
#include "tools/kavi/nodes.h"
#include "tools/kavi/options.h"
#include "tools/kavi/send.h"
#include "tools/kavi/shutdown.h"
#include "tools/kavi/trace.h"

namespace {

struct Subcommand {
    const char *name;
    int (*run)(int argc, char **argv);  // argv[0] is the subcommand's name
    const char *summary;
};

constexpr Subcommand SUBCOMMANDS[] = {
    {"list", kavitool::list_command, "list the tasks started on a node"},
    {"nodes", kavitool::nodes_command, "list the nodes seen through NATS (KAVI_NATS_URL)"},
    {"shutdown", kavitool::shutdown_command, "end every wait of the exit programs on a node"},
    {"send", kavitool::send_command, "send one command to an exit and print its reply"},
    {"trace", kavitool::trace_command, "decode a trace file to text or JSON lines"},
};

void usage(FILE *to) {
    std::fputs("usage: kavi <subcommand> [options]   (kavi <subcommand> --help for more)\n", to);
    for (const Subcommand &s : SUBCOMMANDS) std::fprintf(to, "  %-10s %s\n", s.name, s.summary);
    std::fputs("Exit codes: 0 success, 1 failure, 2 usage error; see each subcommand.\n", to);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        usage(stderr);
        return kavitool::EXIT_USAGE;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        usage(stdout);
        return kavitool::EXIT_OK;
    }
    for (const Subcommand &s : SUBCOMMANDS) {
        if (std::strcmp(argv[1], s.name) == 0) return s.run(argc - 1, argv + 1);
    }
    std::fprintf(stderr, "kavi: unknown subcommand %s\n", argv[1]);
    usage(stderr);
    return kavitool::EXIT_USAGE;
}
