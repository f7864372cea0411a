// record_test.cpp — the trace record codec: the documented byte layout, round trips, and how
// a reader recovers from damaged, interleaved and truncated bytes.
#include "services/kavzras/record.h"

#include <gtest/gtest.h>

#include <cstring>

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
    r.items_passed = r.item_count = 3;
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

Decoded decode(std::string_view bytes, TraceRecord *r = nullptr, size_t *used = nullptr) {
    TraceRecord record;
    size_t n = 0;
    return kavz::decode_record(bytes, r ? r : &record, used ? used : &n);
}

TEST(RecordLayout, FieldsSitAtTheirDocumentedOffsetsLittleEndianAndRoundTrip) {
    EXPECT_EQ(kavz::crc32("123456789", 9), 0xCBF43926u);  // the standard check value
    std::string b = encoded(sample());
    ASSERT_EQ(b.size(), 106u);
    std::string bytes;
    char pair[3];
    for (unsigned char c : b.substr(0, 102))
        bytes += (snprintf(pair, sizeof pair, "%02x", c), pair);
    // "KVZT", version 1, header 48, size 106; pid, time, thread, line, kind, level; the lengths of
    // component, function, items recorded and passed; the texts; then each item: its length
    // passed, length recorded, state (0 whole, 1 cut, 2 unreadable) and bytes.
    EXPECT_EQ(bytes,
              "4b565a54010030006a00000004030201887766554433221100ffeeddccbbaa990c0000000100000003"
              "000000040803034b4156494b617669496e697404000000040000000007000000881300000b00000001"
              "6669727374206279746573080000000000000002");
    uint32_t crc;
    memcpy(&crc, b.data() + 102, 4);
    EXPECT_EQ(crc, kavz::crc32(b.data(), 102));
    TraceRecord r;
    size_t used = 0;
    ASSERT_EQ(decode(b, &r, &used), Decoded::record);
    EXPECT_EQ(used, b.size());
    EXPECT_EQ(encoded(r), b);
}

TEST(RecordDecode, RejectsDamageAndRecognisesShortData) {
    std::string b = encoded(sample());
    for (size_t at : {size_t{8}, size_t{20}, size_t{50}, b.size() - 1}) {
        std::string damaged = b;
        damaged[at] ^= 0x40;
        EXPECT_EQ(decode(damaged), Decoded::invalid) << "byte " << at;
    }
    for (size_t keep : {size_t{2}, size_t{10}, b.size() - 1})
        EXPECT_EQ(decode(b.substr(0, keep)), Decoded::truncated) << keep;
    EXPECT_EQ(decode("XVZT"), Decoded::invalid);
}

TEST(RecordDecode, RecordsUpToTheSizeLimitAreWhole) {
    TraceRecord r = sample();
    r.items_passed = r.item_count = 1;
    r.items[0] = {0, ItemState::whole, {}};
    std::string bytes(kavz::RECORD_LIMIT - kavz::encoded_size(r), 'b');
    r.items[0] = {static_cast<uint32_t>(bytes.size()), ItemState::whole, bytes};
    ASSERT_EQ(kavz::encoded_size(r), kavz::RECORD_LIMIT);
    EXPECT_EQ(decode(encoded(r)), Decoded::record);
    bytes.push_back('b');
    r.items[0] = {static_cast<uint32_t>(bytes.size()), ItemState::whole, bytes};
    EXPECT_EQ(decode(encoded(r)), Decoded::invalid);
}

TEST(RecordDecode, LaterVersionsFieldsAreSkipped) {
    // A version 2 writer that adds 8 bytes to the fixed part and 3 after the items.
    std::string v1 = encoded(sample());
    std::string b = v1.substr(0, 48) + "NEWFIELD" + v1.substr(48, v1.size() - 52) + "end";
    b[4] = 2;
    b[6] = 56;
    uint32_t size = static_cast<uint32_t>(b.size() + 4);
    b.replace(8, 4, reinterpret_cast<const char *>(&size), 4);
    uint32_t crc = kavz::crc32(b.data(), b.size());
    b.append(reinterpret_cast<const char *>(&crc), 4);
    TraceRecord r;
    size_t used = 0;
    ASSERT_EQ(decode(b, &r, &used), Decoded::record);
    EXPECT_EQ(used, b.size());
    EXPECT_EQ(r.function, "KaviInit");
    EXPECT_EQ(r.items[1].bytes, "first bytes");
}

TEST(RecordScan, ResynchronisesAfterGarbageAndCutRecords) {
    std::string a = encoded(sample("first")), b = encoded(sample("second"));
    std::string c = encoded(sample("third")), damaged = c;
    damaged[60] ^= 1;
    // Garbage that even holds the magic, a record cut short by a full device, a damaged one.
    std::string file = "xxKVZTyy" + a + b.substr(0, 30) + damaged + c + b.substr(0, b.size() - 3);
    kavz::TraceScan scan = kavz::scan_records(file);  // its records view the file
    ASSERT_EQ(scan.records.size(), 2u);
    EXPECT_EQ(scan.records[0].function, "first");
    EXPECT_EQ(scan.records[1].function, "third");
    EXPECT_EQ(scan.skipped, 8 + 30 + damaged.size());
    EXPECT_TRUE(scan.truncated_tail);
}

}  // namespace
