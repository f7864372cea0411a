// record.h — the binary trace record: its layout, its encoder (the service's writer) and its
// decoder (the trace reader's), kept together so the file format has one owner.
// docs/trace-format.md describes the same layout byte by byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kavz {

constexpr char RECORD_MAGIC[4] = {'K', 'V', 'Z', 'T'};
constexpr uint16_t RECORD_VERSION = 1;
constexpr size_t RECORD_HEADER = 48;      // fixed part of a version 1 record
constexpr size_t ITEM_HEADER = 9;         // original length, recorded length, state
constexpr size_t RECORD_CHECKSUM = 4;     // CRC-32 that closes every record
constexpr size_t COMPONENT_MAX = 32;      // longer component names are cut
constexpr size_t FUNCTION_MAX = 255;      // longer function names are cut
constexpr size_t ITEMS_MAX = 8;           // further items are counted, not recorded
constexpr size_t ITEM_MAX = 4096;         // bytes recorded of one item
constexpr size_t RECORD_LIMIT = 1 << 20;  // a longer length field marks a damaged record

enum class ItemState : uint8_t {
    whole = 0,       // every byte recorded
    cut = 1,         // the first ITEM_MAX bytes recorded
    unreadable = 2,  // null or unreadable pointer: nothing recorded
};

struct TraceItem {
    uint32_t length;  // as the caller gave it
    ItemState state;
    std::string_view bytes;  // what is recorded
};

struct TraceRecord {
    uint32_t pid;
    uint64_t time_ns;  // since 1970-01-01 00:00 UTC
    uint64_t thread;
    uint32_t line;  // call-site number
    uint32_t kind;
    uint32_t level;
    std::string_view component;  // at most COMPONENT_MAX bytes
    std::string_view function;   // at most FUNCTION_MAX bytes
    uint32_t items_passed;       // the caller's count, up to 255
    size_t item_count;           // items recorded, at most ITEMS_MAX
    TraceItem items[ITEMS_MAX];
};

// encoded_size: the bytes encode writes for r (whose fields respect the limits above).
size_t encoded_size(const TraceRecord &r);
// encode: writes r into out, which holds encoded_size(r) bytes.
void encode(const TraceRecord &r, uint8_t *out);

enum class Decoded {
    record,     // *r and *used describe the record at the start of data
    truncated,  // a record starts there but data ends before its length
    invalid,    // no intact record starts there
};
// decode_record: the record at the start of data; r's views point into data.
Decoded decode_record(std::string_view data, TraceRecord *r, size_t *used);

struct TraceGap {
    size_t offset;  // where the damaged bytes begin
    size_t length;
};
struct TraceScan {
    std::vector<TraceRecord> records;  // views into the scanned bytes
    size_t skipped = 0;                // bytes that belong to no intact record
    bool truncated_tail = false;       // the bytes end inside a record
    std::vector<TraceGap> gaps;        // the skipped runs, in order; adjacent runs merged
    size_t tail = 0;                   // where the truncated tail begins; else the size scanned
};
// scan_records: every intact record of a trace file's contents, resynchronising on the magic.
TraceScan scan_records(std::string_view file);

// crc32: CRC-32 of the IEEE 802.3 polynomial, as zlib computes it.
uint32_t crc32(const void *data, size_t size);

}  // namespace kavz
