// codec_test.cpp — the wire image of the parameter block, the element forms and the element
// reader's refusal to leave a malformed message.
#include "exit/codec.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace {

using namespace kavi::codec;

TEST(Codec, WireOffsetsOfFields) {
    // Encode a block whose every numeric field holds a marker and find the markers on the wire.
    _VULE_PARAMETERS32 b{};
    b.exit_timeout = 0x11223344;
    b.wait_for_cmd_response = 0x5566;
    b.want_corr_of_cmd_rsps = 0x7788;
    b.client_handle = 0x99AABBCC;
    b.user_data_length = 0x0102;
    b.user_ctrl_data_length = 0x0304;
    b.OKA_menu_id = 0x05060708;
    b.extended_reason_code = 0x090A0B0C;
    b.resource_type = 0x0D0E0F10;
    b.resource_status = 0x42;
    b.resource_status_ts.yr = 2026;
    b.resource_status_ts.tn = 9;
    b.resource_flags = 0x13141516;
    b.data_source = 0x1718;
    b.command_indicator = 0x191A;
    b.user_res_data_length = 0x1B1C;
    b.res_OKA_id = 0x1D1E1F20;
    b.OKA_data_length = 0x2122;
    uint8_t w[BLOCK_SIZE];
    encode_block(b, w);
    EXPECT_EQ(get_u32(w + 26), 0x11223344u);
    EXPECT_EQ(get_u16(w + 30), 0x5566);
    EXPECT_EQ(get_u16(w + 32), 0x7788);
    EXPECT_EQ(get_u32(w + 38), 0x99AABBCCu);
    EXPECT_EQ(get_u16(w + 109), 0x0102);
    EXPECT_EQ(get_u16(w + 115), 0x0304);
    EXPECT_EQ(get_u32(w + 117), 0x05060708u);
    EXPECT_EQ(get_u32(w + 121), 0x090A0B0Cu);
    EXPECT_EQ(get_u32(w + 181), 0x0D0E0F10u);
    EXPECT_EQ(w[185], 0x42);
    EXPECT_EQ(get_u16(w + 186), 2026);
    EXPECT_EQ(w[193], 9);
    EXPECT_EQ(get_u32(w + 194), 0x13141516u);
    EXPECT_EQ(get_u16(w + 214), 0x1718);
    EXPECT_EQ(get_u16(w + 216), 0x191A);
    EXPECT_EQ(get_u16(w + 230), 0x1B1C);
    EXPECT_EQ(get_u32(w + 232), 0x1D1E1F20u);
    EXPECT_EQ(get_u16(w + 268), 0x2122);
    EXPECT_EQ(EXIT_NAME_IN_MESSAGE, 128u);
}

TEST(Codec, CorrelationParts) {
    uint8_t w[BLOCK_SIZE] = {};
    w[34] = 0x35;
    w[35] = 0x12;
    w[36] = 0x07;
    w[37] = 0x00;
    _VULE_PARAMETERS32 b;
    decode_block(w, &b);
    EXPECT_EQ(b.correlation_id.invoker_id, 5);
    EXPECT_EQ(b.correlation_id.depth, 0x123);
    EXPECT_EQ(b.correlation_id.numb, 7);
    EXPECT_EQ(correlation_of(b), 0x00071235u);
    EXPECT_EQ(correlation_in_wire(w), 0x00071235u);
    set_correlation(&b, 0x0009FFF5);
    EXPECT_EQ(b.correlation_id.invoker_id, 5);
    EXPECT_EQ(b.correlation_id.depth, 0xFFF);
    EXPECT_EQ(b.correlation_id.numb, 9);
}

TEST(Codec, TextAndDataElementsArePaddedWithZeros) {
    const char text[] = "ABCDE";
    const uint8_t bytes[] = {1, 2, 3, 4, 5};
    for (size_t n = 0; n <= 5; ++n) {
        uint8_t buf[32];
        std::memset(buf, 0xEE, sizeof buf);
        size_t len = write_text_element(buf, 20, text, n + 1);  // n characters and the NUL
        EXPECT_EQ(len, text_element_length(n + 1));
        EXPECT_EQ(len % 4, 0u);
        EXPECT_EQ(len, 4 + ((n + 1 + 3) / 4) * 4) << n;
        EXPECT_EQ(get_u16(buf), len);
        EXPECT_EQ(get_u16(buf + 2), 20);
        EXPECT_EQ(std::memcmp(buf + 4, text, n), 0);
        for (size_t i = 4 + n; i < len; ++i) EXPECT_EQ(buf[i], 0) << n << " at " << i;
        EXPECT_EQ(buf[len], 0xEE) << "wrote past the element for " << n;

        std::memset(buf, 0xEE, sizeof buf);
        len = write_data_element(buf, 6, bytes, static_cast<uint16_t>(n));
        EXPECT_EQ(len, data_element_length(n));
        EXPECT_EQ(len, 8 + ((n + 3) / 4) * 4) << n;
        EXPECT_EQ(get_u16(buf), len);
        EXPECT_EQ(get_u16(buf + 2), 6);
        EXPECT_EQ(get_u32(buf + 4), n);
        EXPECT_EQ(std::memcmp(buf + 8, bytes, n), 0);
        for (size_t i = 8 + n; i < len; ++i) EXPECT_EQ(buf[i], 0) << n << " at " << i;
        EXPECT_EQ(buf[len], 0xEE) << "wrote past the element for " << n;
    }
}

// Every byte of the wire image but the pointer slots set to a value of its own.
std::vector<uint8_t> patterned_wire() {
    std::vector<uint8_t> w(BLOCK_SIZE);
    for (size_t i = 0; i < BLOCK_SIZE; ++i) w[i] = static_cast<uint8_t>(i * 7 + 1);
    return w;
}

bool is_pointer_byte(size_t offset) {
    static const size_t slots[] = {0,   4,   92,  105, 111, 125, 129, 139, 143, 173, 177, 198, 202,
                                   206, 210, 226, 236, 240, 244, 248, 252, 256, 260, 264, 270};
    for (size_t s : slots)
        if (offset >= s && offset < s + 4) return true;
    return false;
}

TEST(Codec, BlockRoundTripKeepsEveryByteButPointers) {
    std::vector<uint8_t> in = patterned_wire();
    _VULE_PARAMETERS32 b;
    std::memset(&b, 0xAB, sizeof b);
    decode_block(in.data(), &b);
    EXPECT_EQ(b.command_name, nullptr);
    EXPECT_EQ(b.user_data, nullptr);
    EXPECT_EQ(b.resource_QOB_oid, nullptr);
    EXPECT_EQ(b.reserved_274[63], in[337]);
    EXPECT_EQ(b.reserved_147[0], in[147]);
    EXPECT_EQ(b.reserved_133[5], static_cast<char>(in[138]));

    char text[] = "set pointers";
    b.command_name = text;
    b.OKA_data = text;
    std::vector<uint8_t> out(BLOCK_SIZE, 0xCC);
    encode_block(b, out.data());
    for (size_t i = 0; i < BLOCK_SIZE; ++i) {
        if (is_pointer_byte(i))
            EXPECT_EQ(out[i], 0) << "pointer byte " << i;
        else
            EXPECT_EQ(out[i], in[i]) << "byte " << i;
    }
}

TEST(Codec, ExitNameOfEightAndFewerCharacters) {
    _VULE_PARAMETERS32 b{};
    std::memcpy(b.exit_name, "ABCDEFGH", 9);
    std::memcpy(b.exit_executable_name, "AB      ", 9);
    uint8_t w[BLOCK_SIZE];
    encode_block(b, w);
    EXPECT_EQ(std::memcmp(w + 8, "ABCDEFGH\0", 9), 0);
    EXPECT_EQ(std::memcmp(w + 17, "AB      \0", 9), 0);
    _VULE_PARAMETERS32 back;
    decode_block(w, &back);
    EXPECT_STREQ(back.exit_name, "ABCDEFGH");
    EXPECT_STREQ(back.exit_executable_name, "AB      ");
}

// A command message assembled from raw elements, with a valid header around them.
struct Message {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(FIRST_ELEMENT_OFFSET, 0);

    Message &raw(std::initializer_list<uint8_t> b) {
        bytes.insert(bytes.end(), b);
        return finish();
    }
    Message &append(const uint8_t *p, size_t n) {
        bytes.insert(bytes.end(), p, p + n);
        return finish();
    }
    Message &finish() {
        put_u16(bytes.data(), static_cast<uint16_t>(bytes.size()));
        put_u16(bytes.data() + 2, MESSAGE_TYPE);
        put_u16(bytes.data() + 4, HEADER_LENGTH_FIELD);
        put_u16(bytes.data() + 6, FORMAT_LEVEL);
        write_element_block_head(bytes.data(), static_cast<uint16_t>(bytes.size() - 112));
        return *this;
    }
};

ElementError walk(const std::vector<uint8_t> &m, size_t size, int *count = nullptr) {
    ElementReader r(m.data(), size);
    Element e;
    int n = 0;
    while (r.next(&e)) {
        EXPECT_GE(e.body, m.data() + FIRST_ELEMENT_OFFSET + 4);
        EXPECT_LE(e.body + e.body_length, m.data() + size);
        ++n;
    }
    if (count != nullptr) *count = n;
    return r.error();
}

TEST(Codec, ReaderWalksAWellFormedMessage) {
    uint8_t buf[64];
    Message m;
    m.append(buf, write_text_element(buf, 2, "AB", 3));
    m.append(buf, write_data_element(buf, 6, "xyz", 3));
    m.append(buf, write_status_element(buf, 0x1234, 0xA0B0C0D0));
    m.append(buf, write_end_element(buf));
    EXPECT_TRUE(header_valid(read_header(m.bytes.data()), m.bytes.size()));
    ElementReader r(m.bytes.data(), m.bytes.size());
    Element e;
    ASSERT_TRUE(r.next(&e));
    EXPECT_STREQ(text_of(e), "AB");
    ASSERT_TRUE(r.next(&e));
    EXPECT_EQ(data_count_of(e), 3);
    EXPECT_EQ(std::memcmp(data_bytes_of(e), "xyz", 3), 0);
    ASSERT_TRUE(r.next(&e));
    EXPECT_EQ(status_code_of(e), 0x1234);
    EXPECT_EQ(status_correlation_of(e), 0xA0B0C0D0u);
    ASSERT_TRUE(r.next(&e));
    EXPECT_EQ(e.type, TYPE_END);
    EXPECT_FALSE(r.next(&e));
    EXPECT_EQ(r.error(), ElementError::none);
    EXPECT_EQ(r.remaining(), 0);
}

TEST(Codec, ReaderRefusesMalformedElements) {
    // Element lengths below 4 would never advance the walk.
    EXPECT_EQ(walk(Message().raw({2, 0, 2, 0}).bytes, 120), ElementError::too_short);
    // An element longer than the element block says is left.
    EXPECT_EQ(walk(Message().raw({8, 0, 17, 0}).bytes, 120), ElementError::overrun);
    // A declared element-block length that runs past the bytes received.
    Message big;
    big.raw({12, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(walk(big.bytes, big.bytes.size() - 4), ElementError::overrun);
    // A head cut off by the end of the block: two bytes left.
    Message cut;
    cut.raw({4, 0, 17, 0, 9, 9});
    EXPECT_EQ(walk(cut.bytes, cut.bytes.size()), ElementError::overrun);
    // A text without its terminator inside the element, though a NUL follows it in the message.
    Message text;
    text.raw({8, 0, 20, 0, 'A', 'B', 'C', 'D', 0, 0, 0, 0});
    put_u16(text.bytes.data() + 112, 4 + 8);
    EXPECT_EQ(walk(text.bytes, text.bytes.size()), ElementError::text_no_nul);
    // A data count beyond the element, and a data element too short for its count.
    EXPECT_EQ(walk(Message().raw({12, 0, 6, 0, 5, 0, 0, 0, 1, 2, 3, 4}).bytes, 128),
              ElementError::data_overrun);
    EXPECT_EQ(walk(Message().raw({4, 0, 6, 0}).bytes, 120), ElementError::data_overrun);
    // A status element without room for its code and correlation.
    EXPECT_EQ(walk(Message().raw({8, 0, 16, 0, 1, 0, 0, 0}).bytes, 124),
              ElementError::status_short);
    // A block element shorter than the block.
    EXPECT_EQ(walk(Message().raw({8, 0, 1, 0, 0, 0, 0, 0}).bytes, 124), ElementError::block_short);
    // A message too short to hold the element-block head.
    EXPECT_EQ(walk(std::vector<uint8_t>(100), 100), ElementError::overrun);
}

TEST(Codec, ReaderStopsAtTheDeclaredEndOfAnEmptyBlock) {
    Message empty;
    empty.finish();
    int count = -1;
    EXPECT_EQ(walk(empty.bytes, empty.bytes.size(), &count), ElementError::none);
    EXPECT_EQ(count, 0);
    ElementReader r(empty.bytes.data(), empty.bytes.size());
    EXPECT_EQ(r.remaining(), 0);
}

TEST(Codec, HeaderChecks) {
    Message m;
    uint8_t buf[16];
    m.append(buf, write_stop_element(buf));
    EXPECT_TRUE(header_valid(read_header(m.bytes.data()), m.bytes.size()));
    EXPECT_FALSE(header_valid(read_header(m.bytes.data()), m.bytes.size() - 1));
    Message wrong_sum = m;
    put_u16(wrong_sum.bytes.data() + 4, 107);
    EXPECT_FALSE(header_valid(read_header(wrong_sum.bytes.data()), wrong_sum.bytes.size()));
    Message wrong_type = m;
    put_u16(wrong_type.bytes.data() + 114, 0x101);
    EXPECT_FALSE(header_valid(read_header(wrong_type.bytes.data()), wrong_type.bytes.size()));
}

TEST(Codec, DecodeCommandPointsFieldsIntoTheMessage) {
    _VULE_PARAMETERS32 sent{};
    sent.correlation_id.numb = 77;
    sent.user_data_length = 9;  // no element carries user_data: the length goes
    std::memcpy(sent.resource_VEXA_id, "OBJECT01", 8);
    uint8_t buf[400];
    Message m;
    m.append(buf, write_text_element(buf, 20, "before", 7));  // before the block: sets nothing
    m.append(buf, write_block_element(buf, sent));
    m.append(buf, write_text_element(buf, 2, "STOP", 5));
    m.append(buf, write_data_element(buf, 34, "\x01\x02", 2));
    m.append(buf, write_end_element(buf));
    _VULE_PARAMETERS32 got;
    ASSERT_EQ(decode_command(m.bytes.data(), m.bytes.size(), &got), ElementError::none);
    EXPECT_EQ(got.correlation_id.numb, 77);
    EXPECT_EQ(std::memcmp(got.resource_VEXA_id, "OBJECT01", 8), 0);
    EXPECT_EQ(got.display_name, nullptr);
    EXPECT_EQ(got.user_data_length, 0);
    EXPECT_STREQ(got.command_name, "STOP");
    EXPECT_EQ(got.OKA_data_length, 2);
    EXPECT_EQ(static_cast<uint8_t *>(got.OKA_data)[1], 2);
    EXPECT_GT(static_cast<uint8_t *>(got.OKA_data), m.bytes.data());

    Message no_block;
    no_block.append(buf, write_end_element(buf));
    EXPECT_EQ(decode_command(no_block.bytes.data(), no_block.bytes.size(), &got),
              ElementError::block_short);
}

TEST(Codec, FieldTableCoversTypesTwoToForty) {
    int known = 0;
    for (uint16_t t = 0; t < 100; ++t) known += type_known(t);
    EXPECT_EQ(known, 25 + 3);  // the fields, the block, status and end (stop is 0xFFFF)
    EXPECT_TRUE(type_known(TYPE_STOP));
    EXPECT_EQ(field_for_type(19), nullptr);
    EXPECT_STREQ(field_for_type(36)->name, "resource_QOB_oid");

    _VULE_PARAMETERS32 b;
    std::memset(&b, 0x5A, sizeof b);
    clear_fields(&b);
    for (const Field &f : FIELDS) {
        if (f.form == FieldForm::text) {
            EXPECT_EQ(b.*f.text, nullptr) << f.name;
        } else {
            EXPECT_EQ(b.*f.data, nullptr) << f.name;
            EXPECT_EQ(b.*f.length, 0) << f.name;
        }
    }
    EXPECT_EQ(b.exit_timeout, 0x5A5A5A5A);  // not a field an element carries
}

}  // namespace
