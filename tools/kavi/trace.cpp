// trace.cpp — `kavi trace FILE`: reads a trace file in pieces, so a file of any size (or one that
// grows, with --follow) is decoded in bounded memory; --exit, --function and --site pick records.
#include "tools/kavi/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tools/kavi/follow.h"
#include "tools/kavi/trace_decode.h"
#include "tools/kavi/trace_items.h"

namespace kavitool {

namespace {

constexpr OptionSpec OPTIONS[] = {
    {"exit", "NAME", "only records that name the exit NAME"},
    {"function", "NAME", "only records of functions whose name starts with NAME"},
    {"site", "N", "only records of call site N"},
    JSON_OPTION,
    {"follow", nullptr, "keep reading as the file grows, until SIGINT or SIGTERM", 'f'},
};

// The record picker of the options; false with a usage error reported.
bool make_filter(const Args &args, std::function<bool(const kavz::TraceRecord &)> *keep) {
    std::string function = args.value("function");
    long site = -1;
    if (args.has("site")) {
        char *end = nullptr;
        std::string text = args.value("site");
        site = strtol(text.c_str(), &end, 10);
        if (*end != '\0' || site < 0) {
            usage_error(TRACE_SPEC, "--site takes a number, not " + text);
            return false;
        }
    }
    std::string exit = args.value("exit");
    for (char &c : exit) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (function.empty() && site < 0 && exit.empty()) return true;
    // An exit is named by an item's text: its name alone, or a field of a block or record.
    auto names_exit = std::make_shared<std::regex>("(^|[^A-Z0-9_])" + exit + "($|[^A-Z0-9_])");
    *keep = [function, site, exit, names_exit](const kavz::TraceRecord &r) {
        if (!function.empty() && r.function.substr(0, function.size()) != function) return false;
        if (site >= 0 && r.line != static_cast<uint32_t>(site)) return false;
        if (exit.empty()) return true;
        for (size_t i = 0; i < r.item_count; ++i)
            if (std::regex_search(describe_item(r.function, r.kind, i, r.items[i]).text,
                                  *names_exit))
                return true;
        return false;
    };
    return true;
}

}  // namespace

const CommandSpec TRACE_SPEC = {
    "trace",
    "FILE",
    "the trace file (KAVZ_TRACE_FILE of the exit program)",
    false,
    "decode a trace file to text or JSON lines",
    "Decodes a trace file: one line per record (time, process, thread, component, function,\n"
    "call site, kind, then the data items, by name where this system knows them); an exit\n"
    "record ends with duration_us, the time since its entry record on the same thread.\n"
    "Damaged or truncated records are reported on stderr; the intact ones are printed.\n",
    OPTIONS,
    "Exit codes: 0 decoded, 1 unreadable file or damaged records, 2 usage error.\n",
};

int trace_command(const Args &args) {
    std::function<bool(const kavz::TraceRecord &)> keep;
    if (!make_filter(args, &keep)) return EXIT_USAGE;
    TraceDecoder decoder(
        args.operand(), args.has("json") ? TraceFormat::json : TraceFormat::text,
        [](const std::string &line) { std::fputs(line.c_str(), stdout); },
        [](const std::string &message) {
            // The records before the damage come first, wherever the two streams go.
            std::fflush(stdout);
            std::fprintf(stderr, "kavi trace: %s\n", message.c_str());
        });
    decoder.set_filter(keep);
    bool read_ok = follow_file(
        "trace", args.operand(), args.has("follow"),
        [&](std::string_view bytes, bool settled) { decoder.feed(bytes, settled); },
        [&] { decoder.restart(); }, [&] { return decoder.offset(); });
    bool intact = decoder.finish();
    std::fflush(stdout);
    return read_ok && intact ? EXIT_OK : EXIT_FAILED;
}

}  // namespace kavitool
