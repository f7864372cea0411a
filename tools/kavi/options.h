// options.h — what every subcommand of kavi shares: --node, --json, --help, and the exit codes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kavitool {

// Exit codes of every subcommand; a subcommand may add its own above these.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;  // the service failed; the error log says why
constexpr int EXIT_USAGE = 2;   // unknown option or missing value; the usage went to stderr

struct Options {
    std::string node;  // --node N: the node to act on instead of this machine's (KAVI_NODE)
    bool json = false;
    bool help = false;
    std::vector<std::string> rest;  // arguments that are not options
};

// parse_options: the options of argv[1...] (argv[0] is the subcommand). allow_json: whether
// --json is accepted. False, with a message on stderr, for an unknown option.
bool parse_options(int argc, char **argv, bool allow_json, Options *out);
// finish_options: for a subcommand without operands, parses its options. Nothing when it should
// run; else its exit code, with the usage printed: on stdout for --help, on stderr for an error.
std::optional<int> finish_options(int argc, char **argv, bool allow_json, const char *usage,
                                  Options *out);

// use_node: points the service at node (upper-cased by the service) before its first call; the
// node of a process is read once. With a distributed transport (KAVI_NATS_URL) the tool stays on
// its own node and reaches node through the transport instead (see remote_node).
void use_node(const std::string &node);
// remote_node: node as the 24-byte address to reach through the distributed transport, or ""
// when there is none configured (or no node was named) and the tool acts on its own node.
std::string remote_node(const std::string &node);

}  // namespace kavitool
