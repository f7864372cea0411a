// trace_decode.cpp — records to lines, and the walk over a file's bytes that reports damage
// where it lies: the records before it, the message, then the records recovered after it.
#include "tools/kavi/trace_decode.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "tools/kavi/quote.h"
#include "tools/kavi/trace_items.h"
#include "tools/kavi/utc_time.h"

namespace kavitool {

namespace {

std::string time_of(uint64_t ns) {
    const UtcTime t = utc_time(static_cast<int64_t>(ns / 1000000000u));
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02u:%02u:%02u.%06uZ", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, static_cast<unsigned>(ns % 1000000000u / 1000u));
    return text;
}

const char *kind_name(uint32_t kind) {
    switch (kind) {
        case 1:
            return "entry";
        case 2:
            return "exit";
        case 3:
            return "data";
        default:
            return nullptr;
    }
}

// A name stays one blank-separated field: quoted when it is empty or holds anything but
// printable characters.
std::string name_field(std::string_view name) {
    bool plain = !name.empty();
    for (unsigned char ch : name) plain = plain && ch > 0x20 && ch < 0x7F && ch != '"';
    return plain ? std::string(name) : quoted(name);
}

std::string format_text(const kavz::TraceRecord &r) {
    std::string line = time_of(r.time_ns) + " pid=" + std::to_string(r.pid) +
                       " tid=" + std::to_string(r.thread) + " " + name_field(r.component) + " " +
                       name_field(r.function) + " site=" + std::to_string(r.line) + " ";
    const char *kind = kind_name(r.kind);
    line += kind != nullptr ? kind : "kind=" + std::to_string(r.kind);
    if (r.level != 3) line += " level=" + std::to_string(r.level);
    for (size_t i = 0; i < r.item_count; ++i) {
        PrintedField item = describe_item(r.function, r.kind, i, r.items[i]);
        line += " " + item.name + "=" + item.text;
    }
    if (r.items_passed > r.item_count)
        line += " more=" + std::to_string(r.items_passed - r.item_count);
    return line + "\n";
}

std::string format_json(const kavz::TraceRecord &r) {
    const char *kind = kind_name(r.kind);
    std::string line =
        "{\"time\": \"" + time_of(r.time_ns) + "\", \"time_ns\": " + std::to_string(r.time_ns) +
        ", \"pid\": " + std::to_string(r.pid) + ", \"thread\": " + std::to_string(r.thread) +
        ", \"component\": " + json_string(std::string(r.component)) +
        ", \"function\": " + json_string(std::string(r.function)) +
        ", \"site\": " + std::to_string(r.line) +
        ", \"kind\": " + (kind != nullptr ? json_string(kind) : std::to_string(r.kind)) +
        ", \"level\": " + std::to_string(r.level) +
        ", \"items_passed\": " + std::to_string(r.items_passed) + ", \"items\": [";
    for (size_t i = 0; i < r.item_count; ++i) {
        if (i > 0) line += ", ";
        line += describe_item(r.function, r.kind, i, r.items[i]).json;
    }
    return line + "]}\n";
}

// still_arriving: where the bytes that may belong to a record not fully fed yet begin, at or
// after a damaged run: a record that runs past the end, or the first bytes of a magic. Those
// are held back with the damaged byte before them: decoding resumes on that byte, which starts
// no record, so only a whole magic ends the run, as when the file is read whole; resuming on
// the magic's first bytes would take them for a record cut short once nothing more comes.
size_t still_arriving(std::string_view bytes, const kavz::TraceGap &gap) {
    kavz::TraceRecord r;
    size_t used = 0;
    if (kavz::decode_record(bytes.substr(gap.offset), &r, &used) == kavz::Decoded::truncated)
        return gap.offset;
    if (gap.offset + gap.length == bytes.size())
        return bytes.size() - std::min(gap.length, sizeof kavz::RECORD_MAGIC);
    return bytes.size();
}

}  // namespace

std::string format_record(const kavz::TraceRecord &r, TraceFormat format) {
    return format == TraceFormat::json ? format_json(r) : format_text(r);
}

TraceDecoder::TraceDecoder(std::string name, TraceFormat format, Sink out, Sink report)
    : name_(std::move(name)), format_(format), out_(std::move(out)), report_(std::move(report)) {}

void TraceDecoder::feed(std::string_view bytes, bool settled) {
    pending_.append(bytes);
    std::string_view all = pending_;
    kavz::TraceScan scan = kavz::scan_records(all);
    size_t cut = scan.tail;
    for (size_t i = 0; !settled && i < scan.gaps.size() && cut == scan.tail; ++i)
        cut = std::min(cut, still_arriving(all, scan.gaps[i]));
    size_t next_gap = 0;
    auto damage_before = [&](size_t at) {
        for (; next_gap < scan.gaps.size() && scan.gaps[next_gap].offset < at; ++next_gap) {
            const kavz::TraceGap &gap = scan.gaps[next_gap];
            damage(base_ + gap.offset, std::min(gap.length, cut - gap.offset));
        }
    };
    for (const kavz::TraceRecord &r : scan.records) {
        // A record's names lie inside it, so they order it among the damaged runs.
        auto at = static_cast<size_t>(r.component.data() - all.data());
        if (at >= cut) break;
        damage_before(at);
        close_damage();
        if (keep_ && !keep_(r)) continue;
        std::string line = format_record(r, format_);
        if (std::optional<uint64_t> took = duration_of(r)) {
            // Inside the line's end: "...\n" in text, "...]}\n" in JSON.
            size_t end = line.size() - (format_ == TraceFormat::json ? 2 : 1);
            std::string us =
                std::to_string(*took / 1000) + "." + std::to_string(*took % 1000 / 100);
            line.insert(end, format_ == TraceFormat::json ? ", \"duration_us\": " + us
                                                          : " duration_us=" + us);
        }
        out_(line);
        if (damaged_) ++recovered_;
    }
    damage_before(cut);
    if (settled) close_damage();
    pending_.erase(0, cut);
    base_ += cut;
}

std::optional<uint64_t> TraceDecoder::duration_of(const kavz::TraceRecord &r) {
    std::string key =
        std::to_string(r.pid) + "/" + std::to_string(r.thread) + "/" + std::string(r.function);
    if (r.kind == VULZ_KIND_ENTRY) {
        // Bounded: a trace of threads that never return must not grow the map without end.
        if (entered_.size() >= ENTRIES_KEPT) entered_.clear();
        entered_[key] = r.time_ns;
        return std::nullopt;
    }
    auto it = r.kind == VULZ_KIND_EXIT ? entered_.find(key) : entered_.end();
    if (it == entered_.end() || it->second > r.time_ns) return std::nullopt;
    uint64_t took = r.time_ns - it->second;
    entered_.erase(it);
    return took;
}

void TraceDecoder::damage(uint64_t offset, uint64_t length) {
    // A run fed in pieces is one run.
    if (open_length_ > 0 && open_offset_ + open_length_ == offset) {
        open_length_ += length;
        return;
    }
    close_damage();
    open_offset_ = offset;
    open_length_ = length;
}

void TraceDecoder::close_damage() {
    if (open_length_ == 0) return;
    report_(name_ + ": damaged record at offset " + std::to_string(open_offset_) + " (" +
            std::to_string(open_length_) + " bytes skipped)");
    damaged_ = true;
    open_length_ = 0;
}

void TraceDecoder::restart() {
    close_damage();
    pending_.clear();
    entered_.clear();
    base_ = 0;
}

bool TraceDecoder::finish() {
    feed({}, true);
    if (recovered_ > 0)
        report_(name_ + ": " + std::to_string(recovered_) + " record" +
                (recovered_ == 1 ? "" : "s") + " after the damage recovered and printed");
    if (!pending_.empty()) {
        report_(name_ + ": truncated at offset " + std::to_string(base_) + " (the last " +
                std::to_string(pending_.size()) + " bytes are an incomplete record)");
        damaged_ = true;
    }
    return !damaged_;
}

}  // namespace kavitool
