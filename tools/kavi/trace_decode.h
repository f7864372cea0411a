// trace_decode.h — a trace file's bytes to lines of text or JSON, one per record, with what was
// damaged or cut short reported beside them. The bytes may arrive in pieces (a file that grows).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "services/kavzras/kavzras.h"
#include "services/kavzras/record.h"

namespace kavitool {

enum class TraceFormat { text, json };

// format_record: one record as one line, new-line included.
std::string format_record(const kavz::TraceRecord &r, TraceFormat format);

// TraceDecoder: decodes bytes fed in file order. Records go to `out` as lines; damage goes to
// `report` as messages "<name>: damaged record at offset N ..." (no new-line).
class TraceDecoder {
  public:
    using Sink = std::function<void(const std::string &)>;
    TraceDecoder(std::string name, TraceFormat format, Sink out, Sink report);

    // feed: the next bytes of the file. settled: no more bytes are expected for now, so a record
    // that is still incomplete is damage unless it is the last; otherwise it may still be
    // arriving and waits for the next feed.
    void feed(std::string_view bytes, bool settled);
    // restart: the file was replaced or cut; decoding starts again at offset 0.
    void restart();
    // finish: reports a record cut short at the end. Returns true when nothing was damaged.
    bool finish();

    uint64_t offset() const { return base_ + pending_.size(); }  // bytes fed so far

    // keep: only the records for which it holds are printed (all, when it is empty).
    void set_filter(std::function<bool(const kavz::TraceRecord &)> keep) {
        keep_ = std::move(keep);
    }

  private:
    static constexpr size_t ENTRIES_KEPT = 4096;
    // duration_of: for an exit record, the time since the entry record of the same function on
    // the same thread; the line then ends with duration_us.
    std::optional<uint64_t> duration_of(const kavz::TraceRecord &r);

    void damage(uint64_t offset, uint64_t length);
    void close_damage();

    std::string name_;
    TraceFormat format_;
    Sink out_;
    Sink report_;
    std::string pending_;  // bytes not yet decoded, from file offset base_
    uint64_t base_ = 0;
    uint64_t open_offset_ = 0;  // a damaged run not reported yet: it may go on
    uint64_t open_length_ = 0;
    bool damaged_ = false;
    uint64_t recovered_ = 0;  // records after the first damage
    std::function<bool(const kavz::TraceRecord &)> keep_;
    std::unordered_map<std::string, uint64_t> entered_;  // pid/thread/function -> entry time
};

}  // namespace kavitool
