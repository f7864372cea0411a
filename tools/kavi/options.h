// options.h — how every kavi subcommand describes its command line: one table of options per
// subcommand, from which the parser, the help text, the usage errors and the shell completion
// are all derived, so that none of them can leave an option out.
#pragma once

#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kavitool {

// Exit codes of every subcommand; a subcommand may add its own above these.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;  // the service failed; the error log says why
constexpr int EXIT_USAGE = 2;   // unknown option, missing value or operand: one line on stderr
// The two of ping, stats and shutdown, which wait on one exit.
constexpr int EXIT_NOT_STARTED = 3;  // the exit is not started on the node
constexpr int EXIT_TIMED_OUT = 4;    // what was waited for did not come within the time-out

struct OptionSpec {
    const char *name;   // long name without the dashes: "node" is --node
    const char *value;  // the value's placeholder ("NODE"), null for a flag
    const char *help;   // one line
    char short_name = 0;
};

// Options most subcommands take, with the same words everywhere.
constexpr OptionSpec NODE_OPTION = {"node", "NODE",
                                    "the node to act on (default: KAVI_NODE, else the host\n"
                                    "name); with KAVI_NATS_URL set, a node reached through NATS"};
constexpr OptionSpec JSON_OPTION = {"json", nullptr, "print JSON instead of text"};
// timeout_option: --timeout SECONDS, its help saying what is waited for.
constexpr OptionSpec timeout_option(const char *help) {
    return {"timeout", "SECONDS", help};
}

struct CommandSpec {
    const char *name;
    const char *operand;       // "EXIT", "FILE"; null: the subcommand takes none
    const char *operand_help;  // what the operand is, as in "missing EXIT, the exit to ..."
    bool operand_optional;
    const char *summary;      // one line for `kavi --help`
    const char *description;  // the lines after the usage line, new-line ended
    std::span<const OptionSpec> options;
    const char *exit_codes;  // "Exit codes: ..." line(s), new-line ended
};

// The parsed command line: the options given, in order, and the operand.
class Args {
  public:
    bool has(const char *name) const;
    // value: the last value given for an option, or fallback.
    std::string value(const char *name, const std::string &fallback = "") const;
    std::vector<std::string> values(const char *name) const;
    const std::string &operand() const { return operand_; }

  private:
    friend std::optional<int> parse_command_line(const CommandSpec &, int, char **, Args *);
    std::vector<std::pair<std::string, std::string>> given_;
    std::string operand_;
};

// parse_command_line: parses argv[1...] (argv[0] is the subcommand) against spec. Accepts
// --name VALUE, --name=VALUE, -x for a short name, and --help/-h. Nothing when the subcommand
// should run; else its exit code, with the help printed on stdout (--help) or one line saying
// what is wrong on stderr.
std::optional<int> parse_command_line(const CommandSpec &spec, int argc, char **argv, Args *out);

// print_help: the usage line, the description, every option and the exit codes.
void print_help(const CommandSpec &spec, FILE *to);
// usage_error: reports what is wrong in one line, pointing at --help; returns EXIT_USAGE.
int usage_error(const CommandSpec &spec, const std::string &what);

// use_node: points the service at node (upper-cased by the service) before its first call; the
// node of a process is read once. With a distributed transport (KAVI_NATS_URL) the tool stays on
// its own node and reaches node through the transport instead (see remote_node). False, with a
// message on stderr, when the node to use (node, else KAVI_NODE) is longer than a node address:
// such a name is refused, never cut.
bool use_node(const std::string &node);
// remote_node: node as the 24-byte address to reach through the distributed transport, or ""
// when there is none configured (or no node was named) and the tool acts on its own node.
std::string remote_node(const std::string &node);

}  // namespace kavitool
