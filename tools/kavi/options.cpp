// options.cpp — parsing the options that every subcommand shares.
#include "tools/kavi/options.h"

#include <stdlib.h>

#include <cctype>
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

void use_node(const std::string &node) {
    if (remote_node(node).empty() && !node.empty()) setenv("KAVI_NODE", node.c_str(), 1);
}

std::string remote_node(const std::string &node) {
    const char *nats = getenv("KAVI_NATS_URL");
    if (node.empty() || nats == nullptr || *nats == '\0') return "";
    std::string address = node;
    for (char &c : address) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    address.resize(24, ' ');
    return address;
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
