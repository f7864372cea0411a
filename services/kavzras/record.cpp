// record.cpp — encodes and decodes binary trace records; all fields are little-endian
// whatever the host, so a trace written on one machine reads the same on any other.
#include "services/kavzras/record.h"

#include <array>
#include <cstring>

namespace kavz {

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> CRC_TABLE = make_crc_table();

class Writer {
  public:
    explicit Writer(uint8_t *out) : out_(out) {}
    void u8(uint8_t v) { out_[at_++] = v; }
    void u16(uint16_t v) { le(v, 2); }
    void u32(uint32_t v) { le(v, 4); }
    void u64(uint64_t v) { le(v, 8); }
    void bytes(std::string_view b) {
        if (!b.empty()) std::memcpy(out_ + at_, b.data(), b.size());
        at_ += b.size();
    }
    size_t at() const { return at_; }

  private:
    void le(uint64_t v, int n) {
        for (int i = 0; i < n; ++i) out_[at_++] = static_cast<uint8_t>(v >> (8 * i));
    }
    uint8_t *out_;
    size_t at_ = 0;
};

// Reads within one record; a read past its end sets failed and yields zeros.
class Reader {
  public:
    explicit Reader(std::string_view in) : in_(in) {}
    uint8_t u8() { return static_cast<uint8_t>(le(1)); }
    uint16_t u16() { return static_cast<uint16_t>(le(2)); }
    uint32_t u32() { return static_cast<uint32_t>(le(4)); }
    uint64_t u64() { return le(8); }
    std::string_view bytes(size_t n) {
        if (!take(n)) return {};
        return in_.substr(at_ - n, n);
    }
    void seek(size_t at) {
        if (at > in_.size()) failed_ = true;
        if (!failed_) at_ = at;
    }
    size_t at() const { return at_; }
    bool failed() const { return failed_; }

  private:
    bool take(size_t n) {
        if (failed_ || n > in_.size() - at_) failed_ = true;
        if (failed_) return false;
        at_ += n;
        return true;
    }
    uint64_t le(int n) {
        if (!take(static_cast<size_t>(n))) return 0;
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= uint64_t{static_cast<uint8_t>(in_[at_ - n + i])} << (8 * i);
        return v;
    }
    std::string_view in_;
    size_t at_ = 0;
    bool failed_ = false;
};

bool starts_with_magic(std::string_view data) {
    return data.size() >= sizeof RECORD_MAGIC &&
           std::memcmp(data.data(), RECORD_MAGIC, sizeof RECORD_MAGIC) == 0;
}

// The offset of the next magic after `from`, or the size when there is none.
size_t next_magic(std::string_view file, size_t from) {
    size_t at = file.find(std::string_view(RECORD_MAGIC, sizeof RECORD_MAGIC), from + 1);
    return at == std::string_view::npos ? file.size() : at;
}

}  // namespace

uint32_t crc32(const void *data, size_t size) {
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) c = CRC_TABLE[(c ^ p[i]) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

size_t encoded_size(const TraceRecord &r) {
    size_t size = RECORD_HEADER + r.component.size() + r.function.size() + RECORD_CHECKSUM;
    for (size_t i = 0; i < r.item_count; ++i) size += ITEM_HEADER + r.items[i].bytes.size();
    return size;
}

void encode(const TraceRecord &r, uint8_t *out) {
    size_t size = encoded_size(r);
    Writer w(out);
    w.bytes(std::string_view(RECORD_MAGIC, sizeof RECORD_MAGIC));
    w.u16(RECORD_VERSION);
    w.u16(RECORD_HEADER);
    w.u32(static_cast<uint32_t>(size));
    w.u32(r.pid);
    w.u64(r.time_ns);
    w.u64(r.thread);
    w.u32(r.line);
    w.u32(r.kind);
    w.u32(r.level);
    w.u8(static_cast<uint8_t>(r.component.size()));
    w.u8(static_cast<uint8_t>(r.function.size()));
    w.u8(static_cast<uint8_t>(r.item_count));
    w.u8(static_cast<uint8_t>(r.items_passed > 255 ? 255 : r.items_passed));
    w.bytes(r.component);
    w.bytes(r.function);
    for (size_t i = 0; i < r.item_count; ++i) {
        w.u32(r.items[i].length);
        w.u32(static_cast<uint32_t>(r.items[i].bytes.size()));
        w.u8(static_cast<uint8_t>(r.items[i].state));
        w.bytes(r.items[i].bytes);
    }
    w.u32(crc32(out, w.at()));
}

Decoded decode_record(std::string_view data, TraceRecord *r, size_t *used) {
    if (data.size() < sizeof RECORD_MAGIC) {
        bool prefix = std::memcmp(data.data(), RECORD_MAGIC, data.size()) == 0;
        return prefix ? Decoded::truncated : Decoded::invalid;
    }
    if (!starts_with_magic(data)) return Decoded::invalid;
    Reader head(data);
    head.seek(sizeof RECORD_MAGIC);
    uint16_t version = head.u16();
    uint16_t header = head.u16();
    uint32_t size = head.u32();
    if (head.failed()) return Decoded::truncated;
    if (version == 0 || header < RECORD_HEADER || size < header + RECORD_CHECKSUM ||
        size > RECORD_LIMIT) {
        return Decoded::invalid;
    }
    if (size > data.size()) return Decoded::truncated;

    std::string_view body = data.substr(0, size - RECORD_CHECKSUM);
    Reader tail(data.substr(body.size(), RECORD_CHECKSUM));
    if (tail.u32() != crc32(body.data(), body.size())) return Decoded::invalid;

    // A later version may add fields after the version 1 ones; they are skipped.
    Reader in(body);
    in.seek(12);
    r->pid = in.u32();
    r->time_ns = in.u64();
    r->thread = in.u64();
    r->line = in.u32();
    r->kind = in.u32();
    r->level = in.u32();
    uint8_t component_size = in.u8();
    uint8_t function_size = in.u8();
    r->item_count = in.u8();
    r->items_passed = in.u8();
    in.seek(header);
    r->component = in.bytes(component_size);
    r->function = in.bytes(function_size);
    if (r->item_count > ITEMS_MAX) return Decoded::invalid;
    for (size_t i = 0; i < r->item_count; ++i) {
        TraceItem &item = r->items[i];
        item.length = in.u32();
        uint32_t recorded = in.u32();
        uint8_t state = in.u8();
        item.state = static_cast<ItemState>(state);
        item.bytes = in.bytes(recorded);
        if (state > static_cast<uint8_t>(ItemState::unreadable) || recorded > item.length) {
            return Decoded::invalid;
        }
    }
    if (in.failed() || (version == RECORD_VERSION && in.at() != body.size())) {
        return Decoded::invalid;
    }
    *used = size;
    return Decoded::record;
}

TraceScan scan_records(std::string_view file) {
    TraceScan scan;
    size_t at = 0;
    while (at < file.size()) {
        TraceRecord r;
        size_t used = 0;
        Decoded d = decode_record(file.substr(at), &r, &used);
        if (d == Decoded::record) {
            scan.records.push_back(r);
            at += used;
            continue;
        }
        size_t next = next_magic(file, at);
        if (d == Decoded::truncated && next == file.size()) {
            scan.truncated_tail = true;
            scan.tail = at;
        } else {
            scan.skipped += next - at;
            if (!scan.gaps.empty() && scan.gaps.back().offset + scan.gaps.back().length == at) {
                scan.gaps.back().length += next - at;
            } else {
                scan.gaps.push_back({at, next - at});
            }
        }
        at = next;
    }
    if (!scan.truncated_tail) scan.tail = file.size();
    return scan;
}

}  // namespace kavz
