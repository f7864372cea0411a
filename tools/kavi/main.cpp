// main.cpp — the kavi command: plays the management server on a node, lists and stops what runs
// there, decodes traces. One subcommand per file; this file dispatches and prints the overview.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "tools/kavi/completion.h"
#include "tools/kavi/list.h"
#include "tools/kavi/log.h"
#include "tools/kavi/nodes.h"
#include "tools/kavi/options.h"
#include "tools/kavi/ping.h"
#include "tools/kavi/send.h"
#include "tools/kavi/shutdown.h"
#include "tools/kavi/subcommands.h"
#include "tools/kavi/trace.h"

namespace kavitool {

const Subcommand SUBCOMMANDS[] = {
    {&LIST_SPEC, list_command},
    {&PING_SPEC, ping_command},
    {&STATS_SPEC, stats_command},
    {&SEND_SPEC, send_command},
    {&SHUTDOWN_SPEC, shutdown_command},
    {&TRACE_SPEC, trace_command},
    {&LOG_SPEC, log_command},
    {&NODES_SPEC, nodes_command},
    {&COMPLETION_SPEC, completion_command},
};
const std::span<const Subcommand> ALL_SUBCOMMANDS = SUBCOMMANDS;

}  // namespace kavitool

namespace {

using namespace kavitool;

void overview(FILE *to) {
    std::fputs(
        "usage: kavi COMMAND [options]      kavi help COMMAND, kavi COMMAND --help: its options\n"
        "Plays the management server on a node: sends commands to exits, lists and stops them,\n"
        "decodes traces. The node is KAVI_NODE, else the host name; --node overrides it.\n"
        "Commands:\n",
        to);
    for (const Subcommand &s : SUBCOMMANDS)
        std::fprintf(to, "  %-11s %s\n", s.spec->name, s.spec->summary);
    std::fputs(
        "  help        kavi help COMMAND prints the options of COMMAND\n"
        "Options: --help, -h this text; --version the version of kavi.\n"
        "Exit codes: 0 success, 1 failure, 2 usage error; each command's help lists its own.\n",
        to);
}

const Subcommand *find(std::string_view name) {
    for (const Subcommand &s : SUBCOMMANDS)
        if (name == s.spec->name) return &s;
    return nullptr;
}

int unknown(const char *name) {
    std::fprintf(stderr, "kavi: unknown command %s (kavi --help lists the commands)\n", name);
    return EXIT_USAGE;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs("kavi: missing COMMAND (kavi --help lists the commands)\n", stderr);
        return EXIT_USAGE;
    }
    std::string_view first = argv[1];
    if (first == "--help" || first == "-h") {
        overview(stdout);
        return EXIT_OK;
    }
    if (first == "--version") {
        std::printf("kavi %s\n", KAVI_VERSION);
        return EXIT_OK;
    }
    if (first == "help") {
        if (argc == 2) {
            overview(stdout);
            return EXIT_OK;
        }
        const Subcommand *s = find(argv[2]);
        if (s == nullptr) return unknown(argv[2]);
        print_help(*s->spec, stdout);
        return EXIT_OK;
    }
    const Subcommand *s = find(first);
    if (s == nullptr) return unknown(argv[1]);
    Args args;
    if (auto done = parse_command_line(*s->spec, argc - 1, argv + 1, &args)) return *done;
    return s->run(args);
}
