// completion.cpp — the bash completion script, written from the same option tables as the help
// texts, so that it completes every option of every subcommand and nothing else.
#include "tools/kavi/completion.h"

#include <cstdio>
#include <string>

#include "tools/kavi/subcommands.h"

namespace kavitool {

namespace {

const char *is_file(const char *placeholder) {
    return placeholder != nullptr && std::string(placeholder).find("FILE") != std::string::npos
               ? placeholder
               : nullptr;
}

}  // namespace

const CommandSpec COMPLETION_SPEC = {
    "completion",
    "SHELL",
    "the shell to complete for: bash",
    false,
    "print the shell completion script (bash)",
    "Prints a script that completes kavi's commands and options. Installed as\n"
    "share/bash-completion/completions/kavi; for one shell: source <(kavi completion bash)\n",
    {},
    "Exit codes: 0 printed, 2 usage error.\n",
};

int completion_command(const Args &args) {
    if (args.operand() != "bash") return usage_error(COMPLETION_SPEC, "only bash is supported");
    std::string commands = "help";
    for (const Subcommand &s : ALL_SUBCOMMANDS) commands += std::string(" ") + s.spec->name;
    std::printf(
        "# bash completion for kavi, written by `kavi completion bash`\n"
        "_kavi() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} words=\n"
        "    COMPREPLY=()\n"
        "    if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
        "        COMPREPLY=($(compgen -W '%s --help --version' -- \"$cur\"))\n"
        "        return\n"
        "    fi\n"
        "    case ${COMP_WORDS[1]} in\n"
        "    help) words='%s' ;;\n",
        commands.c_str(), commands.c_str());
    for (const Subcommand &s : ALL_SUBCOMMANDS) {
        const CommandSpec &spec = *s.spec;
        std::string files, values, words = "--help";
        for (const OptionSpec &o : spec.options) {
            std::string name = std::string("--") + o.name;
            words += " " + name;
            if (is_file(o.value))
                files += (files.empty() ? "" : "|") + name;
            else if (o.value != nullptr)
                values += (values.empty() ? "" : "|") + name;
        }
        std::printf("    %s)\n", spec.name);
        if (!files.empty())
            std::printf(
                "        case $prev in %s) COMPREPLY=($(compgen -f -- \"$cur\")); return ;; esac\n",
                files.c_str());
        if (!values.empty())
            std::printf("        case $prev in %s) return ;; esac\n", values.c_str());
        if (is_file(spec.operand) && spec.operand != nullptr)
            std::printf(
                "        [[ $cur != -* ]] && { COMPREPLY=($(compgen -f -- \"$cur\")); return; }\n");
        std::printf("        words='%s' ;;\n", words.c_str());
    }
    std::printf(
        "    esac\n"
        "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))\n"
        "}\n"
        "complete -F _kavi kavi\n");
    return EXIT_OK;
}

}  // namespace kavitool
