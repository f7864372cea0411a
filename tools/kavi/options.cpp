// options.cpp — parsing the options that every subcommand shares.
#include "tools/kavi/options.h"

#include <stdlib.h>

#include <cstdio>
#include <cstring>

namespace kavitool {

bool parse_options(int argc, char **argv, bool allow_json, Options *out) {
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            out->help = true;
        } else if (allow_json && std::strcmp(arg, "--json") == 0) {
            out->json = true;
        } else if (std::strcmp(arg, "--node") == 0) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                std::fprintf(stderr, "kavi %s: --node needs a node name\n", argv[0]);
                return false;
            }
            out->node = argv[++i];
        } else if (std::strncmp(arg, "--node=", 7) == 0 && arg[7] != '\0') {
            out->node = arg + 7;
        } else if (arg[0] == '-') {
            std::fprintf(stderr, "kavi %s: unknown option %s\n", argv[0], arg);
            return false;
        } else {
            out->rest.emplace_back(arg);
        }
    }
    return true;
}

bool use_node(const std::string &node) {
    constexpr size_t NODE_NAME_MAX = 24;
    if (!node.empty()) setenv("KAVI_NODE", node.c_str(), 1);
    const char *name = getenv("KAVI_NODE");
    std::string text = name != nullptr ? name : "";
    size_t last = text.find_last_not_of(' ');
    if (last == std::string::npos || last < NODE_NAME_MAX) return true;
    std::fprintf(stderr, "kavi: the node name \"%s\" is longer than %zu characters\n", name,
                 NODE_NAME_MAX);
    return false;
}

std::optional<int> finish_options(int argc, char **argv, bool allow_json, const char *usage,
                                  Options *out) {
    if (!parse_options(argc, argv, allow_json, out) || !out->rest.empty()) {
        std::fputs(usage, stderr);
        return EXIT_USAGE;
    }
    if (out->help) {
        std::fputs(usage, stdout);
        return EXIT_OK;
    }
    return std::nullopt;
}

}  // namespace kavitool
