// options.cpp — the command-line parser and the help text of every subcommand, both read from the
// subcommand's option table.
#include "tools/kavi/options.h"

#include <stdlib.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace kavitool {

namespace {

const OptionSpec HELP_OPTION = {"help", nullptr, "print this help and exit", 'h'};

const OptionSpec *find_long(const CommandSpec &spec, std::string_view name) {
    if (name == HELP_OPTION.name) return &HELP_OPTION;
    for (const OptionSpec &o : spec.options)
        if (name == o.name) return &o;
    return nullptr;
}

const OptionSpec *find_short(const CommandSpec &spec, char name) {
    if (name == HELP_OPTION.short_name) return &HELP_OPTION;
    for (const OptionSpec &o : spec.options)
        if (o.short_name != 0 && name == o.short_name) return &o;
    return nullptr;
}

std::string synopsis(const CommandSpec &spec) {
    std::string line = std::string("usage: kavi ") + spec.name;
    if (spec.operand != nullptr)
        line += spec.operand_optional ? std::string(" [") + spec.operand + "]"
                                      : std::string(" ") + spec.operand;
    return line + " [options]";
}

}  // namespace

bool Args::has(const char *name) const {
    for (const auto &[n, v] : given_)
        if (n == name) return true;
    return false;
}

std::string Args::value(const char *name, const std::string &fallback) const {
    std::string found = fallback;
    for (const auto &[n, v] : given_)
        if (n == name) found = v;
    return found;
}

std::vector<std::string> Args::values(const char *name) const {
    std::vector<std::string> found;
    for (const auto &[n, v] : given_)
        if (n == name) found.push_back(v);
    return found;
}

std::optional<int> parse_command_line(const CommandSpec &spec, int argc, char **argv, Args *out) {
    bool operand_seen = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        const OptionSpec *option = nullptr;
        std::optional<std::string> inline_value;
        if (arg.starts_with("--") && arg.size() > 2) {
            std::string_view name = arg.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string_view::npos) {
                inline_value = std::string(name.substr(eq + 1));
                name = name.substr(0, eq);
            }
            option = find_long(spec, name);
        } else if (arg.size() == 2 && arg[0] == '-' && arg[1] != '-') {
            option = find_short(spec, arg[1]);
        } else if (!arg.starts_with("-") || arg == "-") {
            if (spec.operand == nullptr || operand_seen)
                return usage_error(spec, "unexpected argument " + std::string(arg));
            out->operand_ = arg;
            operand_seen = true;
            continue;
        }
        if (option == nullptr) return usage_error(spec, "unknown option " + std::string(arg));
        if (option == &HELP_OPTION) {
            print_help(spec, stdout);
            return EXIT_OK;
        }
        std::string name = std::string("--") + option->name;
        if (option->value == nullptr) {
            if (inline_value) return usage_error(spec, name + " takes no value");
            out->given_.emplace_back(option->name, "");
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= argc)
                return usage_error(spec, name + " needs a value (" + option->value + ")");
            inline_value = argv[++i];
        }
        if (inline_value->empty())
            return usage_error(spec, name + " needs a value (" + option->value + ")");
        out->given_.emplace_back(option->name, *inline_value);
    }
    if (spec.operand != nullptr && !spec.operand_optional && !operand_seen)
        return usage_error(spec, std::string("missing ") + spec.operand + ", " + spec.operand_help);
    return std::nullopt;
}

void print_help(const CommandSpec &spec, FILE *to) {
    std::fprintf(to, "%s\n%s", synopsis(spec).c_str(), spec.description);
    if (spec.operand != nullptr) std::fprintf(to, "  %-20s %s\n", spec.operand, spec.operand_help);
    std::fputs("Options:\n", to);
    auto line = [to](const OptionSpec &o) {
        std::string left = o.short_name != 0 ? std::string("-") + o.short_name + ", " : "";
        left += std::string("--") + o.name;
        if (o.value != nullptr) left += std::string(" ") + o.value;
        // Continuation lines of a help text line up under its first line.
        std::string help = o.help;
        for (size_t nl = help.find('\n'); nl != std::string::npos; nl = help.find('\n', nl + 1))
            help.insert(nl + 1, 23, ' ');
        std::fprintf(to, "  %-20s %s\n", left.c_str(), help.c_str());
    };
    for (const OptionSpec &o : spec.options) line(o);
    line(HELP_OPTION);
    std::fputs(spec.exit_codes, to);
}

int usage_error(const CommandSpec &spec, const std::string &what) {
    std::fprintf(stderr, "kavi %s: %s (kavi %s --help for more)\n", spec.name, what.c_str(),
                 spec.name);
    return EXIT_USAGE;
}

bool use_node(const std::string &node) {
    constexpr size_t NODE_NAME_MAX = 24;
    // With a distributed transport the tool stays on its own node and reaches node through it.
    bool remote = !remote_node(node).empty();
    if (!node.empty() && !remote) plat::env_set("KAVI_NODE", node.c_str());
    std::string local;
    plat::env_get("KAVI_NODE", &local);
    for (const std::string &text : {remote ? node : std::string(), local}) {
        size_t last = text.find_last_not_of(' ');
        if (last == std::string::npos || last < NODE_NAME_MAX) continue;
        std::fprintf(stderr, "kavi: the node name \"%s\" is longer than %zu characters\n",
                     text.c_str(), NODE_NAME_MAX);
        return false;
    }
    return true;
}

std::string remote_node(const std::string &node) {
    std::string nats;
    if (node.empty() || !plat::env_get("KAVI_NATS_URL", &nats) || nats.empty()) return "";
    std::string address = node;
    for (char &c : address) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    address.resize(24, ' ');
    return address;
}

}  // namespace kavitool
