// record_test.cpp — the trace record codec: the documented byte layout, round trips, and how
// a reader recovers from damaged, interleaved and truncated bytes.
#include "services/kavzras/record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using kavz::Decoded;
using kavz::ItemState;
using kavz::TraceRecord;

TraceRecord sample(std::string_view function = "KaviInit") {
    TraceRecord r{};
    r.pid = 0x01020304;
    r.time_ns = 0x1122334455667788;
    r.thread = 0x99AABBCCDDEEFF00;
    r.line = 12;
    r.kind = 1;
    r.level = 3;
    r.component = "KAVI";
    r.function = function;
    r.items_passed = 3;
    r.item_count = 3;
    r.items[0] = {4, ItemState::whole, std::string_view("\x07\x00\x00\x00", 4)};
    r.items[1] = {5000, ItemState::cut, "first bytes"};
    r.items[2] = {8, ItemState::unreadable, {}};
    return r;
}

std::string encoded(const TraceRecord &r) {
    std::string out(kavz::encoded_size(r), '\0');
    kavz::encode(r, reinterpret_cast<uint8_t *>(out.data()));
    return out;
}

uint64_t le(const std::string &b, size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t{static_cast<uint8_t>(b[at + i])} << (8 * i);
    return v;
}

TEST(RecordLayout, FieldsSitAtTheirDocumentedOffsetsLittleEndian) {
    EXPECT_EQ(kavz::crc32("123456789", 9), 0xCBF43926u);  // the standard check value
    std::string b = encoded(sample());
    ASSERT_EQ(b.size(), 48u + 4 + 8 + (9 + 4) + (9 + 11) + 9 + 4);
    EXPECT_EQ(b.substr(0, 4), "KVZT");
    EXPECT_EQ(le(b, 4, 2), 1u);
    EXPECT_EQ(le(b, 6, 2), 48u);
    EXPECT_EQ(le(b, 8, 4), b.size());
    EXPECT_EQ(le(b, 12, 4), 0x01020304u);
    EXPECT_EQ(le(b, 16, 8), 0x1122334455667788u);
    EXPECT_EQ(le(b, 24, 8), 0x99AABBCCDDEEFF00u);
    EXPECT_EQ(le(b, 32, 4), 12u);
    EXPECT_EQ(le(b, 36, 4), 1u);
    EXPECT_EQ(le(b, 40, 4), 3u);
    EXPECT_EQ(le(b, 44, 4), 0x03'03'08'04u);  // component, function, items recorded, passed
    EXPECT_EQ(b.substr(48, 12), "KAVIKaviInit");
    EXPECT_EQ(le(b, 60, 4), 4u);  // item 0: length passed
    EXPECT_EQ(le(b, 64, 4), 4u);  // recorded
    EXPECT_EQ(le(b, 68, 1), 0u);  // whole
    EXPECT_EQ(le(b, 69, 4), 7u);  // the bytes
    EXPECT_EQ(le(b, 73, 4), 5000u);
    EXPECT_EQ(le(b, 77, 4), 11u);
    EXPECT_EQ(le(b, 81, 1), 1u);  // cut
    EXPECT_EQ(b.substr(82, 11), "first bytes");
    EXPECT_EQ(le(b, 93, 4), 8u);
    EXPECT_EQ(le(b, 97, 4), 0u);
    EXPECT_EQ(le(b, 101, 1), 2u);  // unreadable
    EXPECT_EQ(le(b, b.size() - 4, 4), kavz::crc32(b.data(), b.size() - 4));
}

TEST(RecordDecode, RoundTripIsByteExact) {
    std::string b = encoded(sample());
    TraceRecord r;
    size_t used = 0;
    ASSERT_EQ(kavz::decode_record(b, &r, &used), Decoded::record);
    EXPECT_EQ(used, b.size());
    EXPECT_EQ(r.pid, 0x01020304u);
    EXPECT_EQ(r.function, "KaviInit");
    ASSERT_EQ(r.item_count, 3u);
    EXPECT_EQ(r.items[1].length, 5000u);
    EXPECT_EQ(r.items[1].state, ItemState::cut);
    EXPECT_EQ(r.items[2].state, ItemState::unreadable);
    EXPECT_EQ(encoded(r), b);
}

TEST(RecordDecode, RejectsDamageAndRecognisesShortData) {
    std::string b = encoded(sample());
    TraceRecord r;
    size_t used = 0;
    for (size_t at : {size_t{8}, size_t{20}, size_t{50}, b.size() - 1}) {
        std::string damaged = b;
        damaged[at] ^= 0x40;
        EXPECT_EQ(kavz::decode_record(damaged, &r, &used), Decoded::invalid) << "byte " << at;
    }
    for (size_t keep : {size_t{2}, size_t{10}, b.size() - 1}) {
        EXPECT_EQ(kavz::decode_record(b.substr(0, keep), &r, &used), Decoded::truncated) << keep;
    }
    EXPECT_EQ(kavz::decode_record("XVZT", &r, &used), Decoded::invalid);
}

TEST(RecordDecode, RecordsUpToTheSizeLimitAreWhole) {
    TraceRecord r = sample();
    r.items_passed = r.item_count = 1;
    r.items[0] = {0, ItemState::whole, {}};
    std::string bytes(kavz::RECORD_LIMIT - kavz::encoded_size(r), 'b');
    r.items[0] = {static_cast<uint32_t>(bytes.size()), ItemState::whole, bytes};
    ASSERT_EQ(kavz::encoded_size(r), kavz::RECORD_LIMIT);
    TraceRecord back;
    size_t used = 0;
    EXPECT_EQ(kavz::decode_record(encoded(r), &back, &used), Decoded::record);
    bytes.push_back('b');
    r.items[0] = {static_cast<uint32_t>(bytes.size()), ItemState::whole, bytes};
    EXPECT_EQ(kavz::decode_record(encoded(r), &back, &used), Decoded::invalid);
}

TEST(RecordDecode, LaterVersionsFieldsAreSkipped) {
    // A version 2 writer that adds 8 bytes to the fixed part and 3 after the items.
    TraceRecord one = sample();
    std::string v1 = encoded(one);
    std::string b = v1.substr(0, 48) + "NEWFIELD" + v1.substr(48, v1.size() - 52) + "end";
    b[4] = 2;
    b[6] = 56;
    uint32_t size = static_cast<uint32_t>(b.size() + 4);
    for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<char>(size >> (8 * i));
    uint32_t crc = kavz::crc32(b.data(), b.size());
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(crc >> (8 * i)));
    TraceRecord r;
    size_t used = 0;
    ASSERT_EQ(kavz::decode_record(b, &r, &used), Decoded::record);
    EXPECT_EQ(used, b.size());
    EXPECT_EQ(r.function, "KaviInit");
    EXPECT_EQ(r.items[1].bytes, "first bytes");
}

TEST(RecordScan, ResynchronisesAfterGarbageAndCutRecords) {
    std::string a = encoded(sample("first"));
    std::string b = encoded(sample("second"));
    std::string c = encoded(sample("third"));
    // Garbage that even holds the magic, a record cut short by a full device, a damaged one.
    std::string damaged = c;
    damaged[60] ^= 1;
    std::string file = "xxKVZTyy" + a + b.substr(0, 30) + damaged + c + b.substr(0, b.size() - 3);
    kavz::TraceScan scan = kavz::scan_records(file);
    ASSERT_EQ(scan.records.size(), 2u);
    EXPECT_EQ(scan.records[0].function, "first");
    EXPECT_EQ(scan.records[1].function, "third");
    EXPECT_EQ(scan.skipped, 8 + 30 + damaged.size());
    EXPECT_TRUE(scan.truncated_tail);
}

}  // namespace
