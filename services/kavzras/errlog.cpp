// errlog.cpp — VULZLOGERROR: one text line per entry, appended whole to the file that
// KAVZ_ERRLOG names (read at every call) or to standard error. A flood of entries of one kind is
// counted rather than written (flood.h); a log that cannot be opened or written is reported once
// on standard error, and the service goes on.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "services/kavzras/flood.h"
#include "services/kavzras/input.h"
#include "services/kavzras/kavzras.h"
#include "services/kavzras/report.h"
#include "services/kavzras/state.h"

namespace {

constexpr size_t DUMP_MAX = 256;        // bytes of an item shown in hexadecimal
constexpr size_t LOG_ITEMS_MAX = 8;     // further items are only counted
constexpr size_t SENTENCE_MAX = 512;    // bytes of a sentence shown
constexpr size_t LINE_CAPACITY = 7168;  // above the longest line the limits allow

class Line {
  public:
    void text(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        if (room() <= 1) return;
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(buf_ + size_, room(), format, args);
        va_end(args);
        if (n > 0) size_ += static_cast<size_t>(n) < room() ? static_cast<size_t>(n) : room() - 1;
    }
    // A name stays one field: blanks, controls and bytes above 0x7E become '?'.
    void name(std::string_view s) {
        if (s.empty()) s = "-";
        text(" ");
        for (char c : s) {
            if (room() <= 1) return;
            buf_[size_++] = c > ' ' && c <= '~' ? c : '?';
        }
    }
    // A sentence in double quotes: quotes and backslashes escaped, controls as '?'.
    void quoted(const char *label, std::string_view s) {
        text("%s\"", label);
        for (char c : s) {
            if (room() <= 3) break;
            if (c == '"' || c == '\\') buf_[size_++] = '\\';
            buf_[size_++] = static_cast<unsigned char>(c) >= ' ' && c != 0x7F ? c : '?';
        }
        text("\"");
    }
    void hex(std::string_view bytes) {
        static constexpr char DIGITS[] = "0123456789abcdef";
        for (char c : bytes) {
            if (room() <= 2) return;
            buf_[size_++] = DIGITS[static_cast<uint8_t>(c) >> 4];
            buf_[size_++] = DIGITS[static_cast<uint8_t>(c) & 0xF];
        }
    }
    // Every writer above leaves a byte free, so the line always ends in a newline.
    std::string_view finish() {
        buf_[size_++] = '\n';
        return {buf_, size_};
    }

  private:
    size_t room() const { return LINE_CAPACITY - size_; }
    char buf_[LINE_CAPACITY];
    size_t size_ = 0;
};

void time_stamp(Line &line) {
    using namespace std::chrono;
    auto now = floor<milliseconds>(system_clock::now());
    auto day = floor<days>(now);
    year_month_day date{day};
    hh_mm_ss<milliseconds> time{now - day};
    line.text("%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
              static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
              static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
              static_cast<int>(time.seconds().count()),
              static_cast<int>(time.subseconds().count()));
}

void write_lines(const std::string_view *lines, size_t count) {
    static std::atomic<bool> open_reported{false}, write_reported{false};
    std::string path;
    plat::AppendFile *file = nullptr;
    uint32_t rc = plat::OK;
    // An error log that cannot be opened must not swallow the entry.
    if (plat::env_get("KAVZ_ERRLOG", &path) && !path.empty()) {
        rc = plat::append_open(path.c_str(), &file);
        if (rc != plat::OK) {
            kavz::report_once(open_reported, "cannot open the error log", path, rc,
                              "its entries go to standard error");
        }
    }
    if (file == nullptr) file = plat::standard_error();
    for (size_t i = 0; i < count; ++i) {
        rc = plat::append_write(file, lines[i].data(), lines[i].size());
        if (rc != plat::OK) {
            kavz::report_once(write_reported, "cannot write the error log",
                              path.empty() ? "on standard error" : path, rc,
                              "entries are lost while it cannot be written");
            break;
        }
    }
    plat::append_close(file);
}

struct Source {
    char component[kavz::COMPONENT_MAX];
    size_t component_size;
};

Source current_source() {
    Source source;
    kavz::State &s = kavz::state();
    std::shared_lock guard(s.lock);
    source.component_size = s.component_size;
    std::memcpy(source.component, s.component, source.component_size);
    return source;
}

void begin_line(Line &out, const Source &source, std::string_view function) {
    time_stamp(out);
    out.text(" pid=%u tid=%llu", plat::process_id(),
             static_cast<unsigned long long>(plat::thread_id()));
    out.name({source.component, source.component_size});
    out.name(function);
}

void count_line(Line &out, const Source &source, const kavz::FloodCount &c) {
    begin_line(out, source, c.function);
    out.text(" site=%u code=%u (0x%x) repeated: %llu more like it within a second", c.site, c.code,
             c.code, static_cast<unsigned long long>(c.more));
}

void write_counts(const std::vector<kavz::FloodCount> &counts) {
    Source source = current_source();
    std::vector<std::string> texts;
    for (const kavz::FloodCount &c : counts) {
        Line out;
        count_line(out, source, c);
        texts.emplace_back(out.finish());
    }
    std::vector<std::string_view> lines(texts.begin(), texts.end());
    write_lines(lines.data(), lines.size());
}

void drain_counts() {
    try {
        std::vector<kavz::FloodCount> left = kavz::flood_drain();
        if (!left.empty()) write_counts(left);
    } catch (...) {  // a count that cannot be written is lost; the exit goes on
    }
}

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// admit: flood control for one entry, which writes what fell due first. Without memory for its
// bookkeeping an entry is simply written.
bool admit(std::string_view function, uint32_t site, uint32_t code) {
    static std::atomic<bool> drain_registered{false};
    try {
        std::vector<kavz::FloodCount> due;
        bool write = kavz::flood_admit(function, site, code, now_ms(), &due);
        if (!due.empty()) write_counts(due);
        if (!write && !drain_registered.exchange(true)) plat::at_exit(drain_counts);
        return write;
    } catch (...) {
        return true;
    }
}

// write_entry: the line of one entry; sentence, when given, ends it as msg="...".
void write_entry(const char *function, uint32_t code, uint32_t reason, uint32_t line,
                 const char *sentence, uint32_t count, const VULZ_ITEM *items) {
    char name[kavz::FUNCTION_MAX];
    size_t name_size = kavz::copy_text(function, name, sizeof name);
    if (!admit({name, name_size}, line, code)) return;

    Line out;
    begin_line(out, current_source(), {name, name_size});
    out.text(" site=%u code=%u (0x%x) reason=%u (0x%x)", line, code, code, reason, reason);
    for (uint32_t i = 0; i < count && i < LOG_ITEMS_MAX; ++i) {
        kavz::TraceItem item = kavz::capture_item(items[i].data, items[i].length, DUMP_MAX);
        out.text(" item%u=%u", i, items[i].length);
        if (item.state == kavz::ItemState::unreadable) {
            out.text(",unreadable");
            continue;
        }
        out.text(item.state == kavz::ItemState::cut ? ",cut:" : ":");
        out.hex(item.bytes);
    }
    if (count > LOG_ITEMS_MAX) out.text(" more=%u", count - static_cast<uint32_t>(LOG_ITEMS_MAX));
    if (sentence != nullptr) {
        char text[SENTENCE_MAX];
        size_t size = kavz::copy_text(sentence, text, sizeof text);
        out.quoted(" msg=", {text, size});
    }
    std::string_view entry = out.finish();
    write_lines(&entry, 1);
}

}  // namespace

// A failed allocation loses the entry; no exception leaves either call, and the caller goes on.
extern "C" void VULZLOGERROR(const char *function, uint32_t code, uint32_t reason, uint32_t line,
                             uint32_t level, uint32_t count, ...) try {
    (void)level;  // every entry is written, whatever its level
    VULZ_ITEM items[LOG_ITEMS_MAX];
    va_list args;
    va_start(args, count);
    for (uint32_t i = 0; i < count && i < LOG_ITEMS_MAX; ++i) {
        items[i].data = va_arg(args, const void *);
        items[i].length = va_arg(args, uint32_t);
    }
    va_end(args);
    write_entry(function, code, reason, line, nullptr, count, items);
} catch (...) {
}

extern "C" void VULZLOGERRORTEXT(const char *function, uint32_t code, uint32_t reason,
                                 uint32_t line, uint32_t level, const char *sentence,
                                 uint32_t count, const VULZ_ITEM *items) try {
    (void)level;
    if (count > 0 && VULZCHKPOINTER(items, static_cast<uint32_t>(sizeof *items) *
                                               std::min<uint32_t>(count, LOG_ITEMS_MAX)) == 0)
        count = 0;
    write_entry(function, code, reason, line, sentence, count, items);
} catch (...) {
}
