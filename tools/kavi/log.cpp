// log.cpp — `kavi log FILE`: reads error-log lines (as KAVZ_ERRLOG collects them) and prints each
// as time, process, function and call site, then its sentence; --json keeps every field.
#include "tools/kavi/log.h"

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "tools/kavi/follow.h"
#include "tools/kavi/quote.h"

namespace kavitool {

namespace {

constexpr OptionSpec OPTIONS[] = {
    {"function", "NAME", "only entries of functions whose name starts with NAME"},
    {"site", "N", "only entries of call site N"},
    JSON_OPTION,
    {"follow", nullptr, "keep reading as the file grows, until SIGINT or SIGTERM", 'f'},
};

std::string unquoted(const std::string &quoted) {
    std::string out;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '\\' && i + 1 < quoted.size()) ++i;
        out += quoted[i];
    }
    return out;
}

class Printer {
  public:
    Printer(const Args &args)
        : json_(args.has("json")),
          function_(args.value("function")),
          site_(args.has("site") ? strtol(args.value("site").c_str(), nullptr, 10) : -1) {}

    void feed(std::string_view bytes, bool settled) {
        pending_.append(bytes);
        for (size_t nl; (nl = pending_.find('\n')) != std::string::npos;) {
            print(pending_.substr(0, nl));
            pending_.erase(0, nl + 1);
        }
        fed_ += bytes.size();
        (void)settled;  // a line is printed when its new-line arrives
    }
    void finish() {
        if (!pending_.empty()) print(pending_);
        pending_.clear();
    }
    void restart() {
        pending_.clear();
        fed_ = 0;
    }
    uint64_t fed() const { return fed_; }

  private:
    void print(const std::string &line) {
        LogEntry e = parse_log_line(line);
        if (!e.ok) {
            // Not an entry of this system (a program's own output): passed on as it is.
            if (!json_ && function_.empty() && site_ < 0) std::printf("%s\n", line.c_str());
            return;
        }
        if (!function_.empty() && e.function.compare(0, function_.size(), function_) != 0) return;
        if (site_ >= 0 && e.site != static_cast<unsigned long>(site_)) return;
        if (json_) {
            std::string items;
            for (const std::string &item : e.items)
                items += (items.empty() ? "" : ", ") + json_string(item);
            std::printf(
                "{\"time\": %s, \"pid\": %lu, \"tid\": %lu, \"component\": %s, "
                "\"function\": %s, \"site\": %lu, \"code\": %lu, \"reason\": %lu, "
                "\"items\": [%s], \"msg\": %s}\n",
                json_string(e.time).c_str(), e.pid, e.tid, json_string(e.component).c_str(),
                json_string(e.function).c_str(), e.site, e.code, e.reason, items.c_str(),
                e.msg.empty() ? "null" : json_string(e.msg).c_str());
            return;
        }
        std::printf(
            "%s pid=%lu %s site=%lu code=%lu reason=%lu: %s\n", e.time.c_str(), e.pid,
            e.function.c_str(), e.site, e.code, e.reason,
            e.msg.empty() ? "(no sentence; kavi log --json shows the data)" : e.msg.c_str());
    }

    bool json_;
    std::string function_;
    long site_;
    std::string pending_;
    uint64_t fed_ = 0;
};

}  // namespace

namespace {

unsigned long number(const std::ssub_match &digits) {
    return strtoul(digits.str().c_str(), nullptr, 10);  // saturates, never throws
}

}  // namespace

LogEntry parse_log_line(const std::string &line) {
    static const std::regex entry(
        R"re(^(\S+) pid=(\d+) tid=(\d+) (\S+) (\S+) site=(\d+) code=(\d+) \(0x[0-9a-f]+\) )re"
        R"re(reason=(\d+) \(0x[0-9a-f]+\)((?: item\d+=\S+)*)(?: more=\d+)?)re"
        R"re((?: msg="((?:[^"\\]|\\.)*)")?$)re");
    static const std::regex item(R"( item\d+=(\S+))");
    std::smatch m;
    LogEntry e;
    if (!std::regex_match(line, m, entry)) return e;
    e.ok = true;
    e.time = m[1];
    e.pid = number(m[2]);
    e.tid = number(m[3]);
    e.component = m[4];
    e.function = m[5];
    e.site = number(m[6]);
    e.code = number(m[7]);
    e.reason = number(m[8]);
    std::string items = m[9];
    for (std::sregex_iterator i(items.begin(), items.end(), item), end; i != end; ++i)
        e.items.push_back((*i)[1]);
    e.msg = unquoted(m[10]);
    return e;
}

const CommandSpec LOG_SPEC = {
    "log",
    "FILE",
    "the error-log file (KAVZ_ERRLOG of the exit program)",
    false,
    "decode an error-log file: each entry's sentence, or JSON",
    "Prints each error-log entry as its time, process, function, call site, code and reason,\n"
    "then the sentence that says what failed. Lines that are not entries pass unchanged.\n",
    OPTIONS,
    "Exit codes: 0 read, 1 the file cannot be read, 2 usage error.\n",
};

int log_command(const Args &args) {
    if (args.has("site")) {
        char *end = nullptr;
        std::string text = args.value("site");
        long site = strtol(text.c_str(), &end, 10);
        if (*end != '\0' || site < 0)
            return usage_error(LOG_SPEC, "--site takes a number, not " + text);
    }
    Printer printer(args);
    bool ok = follow_file(
        "log", args.operand(), args.has("follow"),
        [&](std::string_view bytes, bool settled) { printer.feed(bytes, settled); },
        [&] { printer.restart(); }, [&] { return printer.fed(); });
    printer.finish();
    std::fflush(stdout);
    return ok ? EXIT_OK : EXIT_FAILED;
}

}  // namespace kavitool
