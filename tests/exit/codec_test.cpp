// codec_test.cpp — the wire image of the parameter block, the element forms, the element reader's
// refusal to leave a malformed message, and what the queue thread's walk makes of a message.
#include "exit/codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "exit/message_walk.h"
#include "tests/exit/message_builder.h"

namespace {

using namespace kavi;
using namespace kavi::codec;
using kavitest::Message;

// Every field of the table: a value keeps every byte at its wire offset both ways, a pointer
// arrives null and leaves as four zero bytes.
TEST(Codec, EveryFieldAtItsWireOffsetBothWays) {
    uint8_t in[BLOCK_SIZE];
    for (size_t i = 0; i < BLOCK_SIZE; ++i) in[i] = static_cast<uint8_t>(i * 7 + 1);
    _VULE_PARAMETERS32 b;
    std::memset(&b, 0xAB, sizeof b);
    decode_block(in, &b);
    const auto *native = reinterpret_cast<const uint8_t *>(&b);
    for (const BlockField &f : BLOCK_FIELDS) {
        if (f.form == Form::value)
            EXPECT_EQ(std::memcmp(native + f.native, in + f.wire, f.width), 0) << f.name;
        else
            EXPECT_EQ(*reinterpret_cast<void *const *>(native + f.native), nullptr) << f.name;
    }
    EXPECT_EQ(b.exit_timeout, static_cast<int32_t>(get_u32(in + 26)));
    EXPECT_EQ(b.res_OKA_id, get_u32(in + 232));
    EXPECT_EQ(b.OKA_data_length, get_u16(in + 268));

    char text[] = "set pointers";
    b.command_name = text;
    b.OKA_data = text;
    uint8_t out[BLOCK_SIZE];
    std::memset(out, 0xCC, sizeof out);
    encode_block(b, out);
    for (const BlockField &f : BLOCK_FIELDS)
        for (size_t i = f.wire; i < f.wire + f.width; ++i)
            EXPECT_EQ(out[i], f.form == Form::value ? in[i] : 0) << f.name << " byte " << i;
}

TEST(Codec, CorrelationParts) {
    uint8_t w[BLOCK_SIZE] = {};
    w[34] = 0x35, w[35] = 0x12, w[36] = 0x07, w[37] = 0x00;
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
    for (size_t n = 0; n <= 5; ++n) {
        for (bool is_text : {true, false}) {
            uint8_t buf[32];
            std::memset(buf, 0xEE, sizeof buf);
            size_t head = is_text ? 4 : 8;
            size_t len = is_text ? write_text_element(buf, 20, text, n + 1)  // with the NUL
                                 : write_data_element(buf, 6, text, static_cast<uint16_t>(n));
            EXPECT_EQ(len, is_text ? text_element_length(n + 1) : data_element_length(n));
            EXPECT_EQ(len, head + ((n + is_text + 3) / 4) * 4) << n;
            EXPECT_EQ(get_u16(buf), len);
            EXPECT_EQ(get_u16(buf + 2), is_text ? 20 : 6);
            if (!is_text) {
                EXPECT_EQ(get_u32(buf + 4), n);
            }
            EXPECT_EQ(std::memcmp(buf + head, text, n), 0);
            for (size_t i = head + n; i < len; ++i) EXPECT_EQ(buf[i], 0) << n << " at " << i;
            EXPECT_EQ(buf[len], 0xEE) << "wrote past the element for " << n;
        }
    }
}

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
    uint8_t buf[16];
    Message m;
    m.text(2, "AB").data(6, "xyz").append(buf, write_status_element(buf, 0x1234, 0xA0B0C0D0));
    m.end();
    EXPECT_TRUE(header_valid(read_header(m.data()), m.size()));
    ElementReader r(m.data(), m.size());
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
    // An empty block ends at its declared end.
    int count = -1;
    EXPECT_EQ(walk(Message().bytes, FIRST_ELEMENT_OFFSET, &count), ElementError::none);
    EXPECT_EQ(count, 0);
}

TEST(Codec, ReaderRefusesMalformedElements) {
    struct Case {
        std::initializer_list<uint8_t> element;
        int received_less;  // bytes of the message not received
        ElementError error;
    };
    const Case cases[] = {
        {{2, 0, 2, 0}, 0, ElementError::too_short},  // would never advance the walk
        {{12, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4, ElementError::overrun},  // past what came
        {{4, 0, 17, 0, 9, 9}, 0, ElementError::overrun},  // a head cut off: two bytes left
        {{12, 0, 6, 0, 5, 0, 0, 0, 1, 2, 3, 4}, 0, ElementError::data_overrun},  // count beyond
        {{4, 0, 6, 0}, 0, ElementError::data_overrun},  // too short for its count
        {{8, 0, 16, 0, 1, 0, 0, 0}, 0, ElementError::status_short},
        {{8, 0, 1, 0, 0, 0, 0, 0}, 0, ElementError::block_short},
    };
    for (const Case &c : cases) {
        Message m = Message().raw(c.element);
        EXPECT_EQ(walk(m.bytes, m.size() - c.received_less), c.error) << m.size();
    }
    // An element longer than the element block says is left.
    Message longer = Message().raw({8, 0, 17, 0});
    EXPECT_EQ(walk(longer.bytes, 120), ElementError::overrun);
    // A text without its terminator inside the element, though a NUL follows it in the message.
    Message text = Message().raw({8, 0, 20, 0, 'A', 'B', 'C', 'D', 0, 0, 0, 0});
    put_u16(text.data() + 112, 4 + 8);
    EXPECT_EQ(walk(text.bytes, text.size()), ElementError::text_no_nul);
    // A message too short to hold the element-block head.
    EXPECT_EQ(walk(std::vector<uint8_t>(100), 100), ElementError::overrun);
}

TEST(Codec, HeaderChecks) {
    Message m = Message().raw({4, 0, 0xFF, 0xFF});
    EXPECT_TRUE(header_valid(read_header(m.data()), m.size()));
    EXPECT_FALSE(header_valid(read_header(m.data()), m.size() - 1));
    for (size_t at : {4, 114}) {  // the header length field, the element-block type
        Message wrong = m;
        put_u16(wrong.data() + at, get_u16(wrong.data() + at) + 1);
        EXPECT_FALSE(header_valid(read_header(wrong.data()), wrong.size())) << at;
    }
}

TEST(Codec, DecodeCommandPointsFieldsIntoTheMessage) {
    _VULE_PARAMETERS32 sent{};
    sent.correlation_id.numb = 77;
    sent.user_data_length = 9;  // no element carries user_data: the length goes
    std::memcpy(sent.resource_VEXA_id, "OBJECT01", 8);
    Message m;
    m.text(20, "before").block(sent).text(2, "STOP").data(34, "\x01\x02").end();
    _VULE_PARAMETERS32 got;
    ASSERT_EQ(decode_command(m.data(), m.size(), &got), ElementError::none);
    EXPECT_EQ(got.correlation_id.numb, 77);
    EXPECT_EQ(std::memcmp(got.resource_VEXA_id, "OBJECT01", 8), 0);
    EXPECT_EQ(got.display_name, nullptr);  // came before the block
    EXPECT_EQ(got.user_data_length, 0);
    EXPECT_STREQ(got.command_name, "STOP");
    EXPECT_EQ(got.OKA_data_length, 2);
    EXPECT_EQ(static_cast<uint8_t *>(got.OKA_data)[1], 2);
    EXPECT_GT(static_cast<uint8_t *>(got.OKA_data), m.data());

    Message no_block = Message().end();
    EXPECT_EQ(decode_command(no_block.data(), no_block.size(), &got), ElementError::block_short);
}

TEST(Codec, FieldTableCoversTypesTwoToForty) {
    int known = 0;
    for (uint16_t t = 0; t < 100; ++t) known += type_known(t);
    EXPECT_EQ(known, 25 + 3);  // the fields, the block, status and end (stop is 0xFFFF)
    EXPECT_TRUE(type_known(TYPE_STOP));
    EXPECT_EQ(field_for_type(19), nullptr);
    EXPECT_STREQ(field_for_type(36)->name, "resource_QOB_oid");
    for (size_t i = 1; i < FIELD_COUNT; ++i) EXPECT_LT(FIELDS[i - 1].type, FIELDS[i].type);

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

// --- the queue thread's walk -----------------------------------------------------------------

CommandWalk walk_of(Message &m) {
    return walk_command(m.data(), m.size());
}

TEST(MessageWalk, OutcomeOfEachKindOfMessage) {
    Message bad_header = Message().block(1);
    EXPECT_EQ(walk_command(bad_header.data(), bad_header.size() - 1).outcome,
              CommandOutcome::bad_header);
    // Lengths that add up while the element block declares less than its own head.
    Message empty = Message().raw({0, 0});
    put_u16(empty.data() + 4, 114);
    write_element_block_head(empty.data(), 0);
    CommandWalk walk = walk_of(empty);
    EXPECT_EQ(walk.outcome, CommandOutcome::empty_block);
    EXPECT_EQ(walk.remaining, -4);
    Message no_block = Message().text(2, "X");
    EXPECT_EQ(walk_of(no_block).outcome, CommandOutcome::malformed);
    Message malformed = Message().block(1).raw({2, 0, 2, 0});
    EXPECT_EQ(walk_of(malformed).outcome, CommandOutcome::malformed);
    Message stop = Message().block(1).raw({4, 0, 0xFF, 0xFF}).text(2, "X");
    EXPECT_EQ(walk_of(stop).outcome, CommandOutcome::stop);

    Message answered = Message().block(5).raw({10, 0, 16, 0, 9, 0x80, 5, 0, 0, 0});
    CommandWalk status = walk_of(answered);  // points into `answered`
    EXPECT_EQ(status.outcome, CommandOutcome::status);
    EXPECT_EQ(status_code_of(status.element), 0x8009);
    EXPECT_EQ(status_correlation_of(status.element), 5u);
    EXPECT_NE(status.wire, nullptr);  // the waiter gets the block that came with the status
}

TEST(MessageWalk, CommandFieldsPointIntoTheMessage) {
    Message m;
    m.text(20, "before").block(0x1234).text(2, "ECHO").raw({8, 0, 99, 0, 1, 2, 3, 4});
    m.text(3, "after the unknown element");
    CommandWalk walk = walk_of(m);
    ASSERT_EQ(walk.outcome, CommandOutcome::command);
    EXPECT_TRUE(walk.unknown);
    EXPECT_EQ(walk.element.type, 99);
    EXPECT_EQ(walk.correlation, 0x1234u);
    EXPECT_EQ(walk.block.display_name, nullptr);  // came before the block
    EXPECT_STREQ(walk.block.command_name, "ECHO");
    EXPECT_EQ(walk.block.command_string, nullptr);  // came after the walk ended
    EXPECT_GT(reinterpret_cast<uint8_t *>(walk.block.command_name), walk.wire);
}

TEST(MessageWalk, AnswerNeedsABlockFirst) {
    Message answer = Message(FUNCTION_ANSWER_1).block(7);
    const uint8_t *wire = answer_block(answer.data(), answer.size());
    ASSERT_NE(wire, nullptr);
    EXPECT_EQ(correlation_in_wire(wire), 7u);
    Message text_first = Message(FUNCTION_ANSWER_2).text(2, "X").block(7);
    EXPECT_EQ(answer_block(text_first.data(), text_first.size()), nullptr);
}

}  // namespace
