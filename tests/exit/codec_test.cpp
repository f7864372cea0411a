// codec_test.cpp — the wire image of the parameter block, the element forms, the element reader's
// refusal to leave a malformed message, and what the queue thread's walk makes of a message.
#include "exit/codec.h"

#include <gtest/gtest.h>

#include "exit/message_walk.h"
#include "tests/exit/message_builder.h"

namespace {

using namespace kavi;
using namespace kavi::codec;
using kavitest::Message;

// A value keeps every byte at its wire offset both ways; a pointer arrives null and leaves as
// four zero bytes.
TEST(Codec, EveryFieldAtItsWireOffsetBothWays) {
    uint8_t in[BLOCK_SIZE], out[BLOCK_SIZE];
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
    std::memset(out, 0xCC, sizeof out);
    encode_block(b, out);
    for (const BlockField &f : BLOCK_FIELDS)
        for (size_t i = f.wire; i < f.wire + f.width; ++i)
            EXPECT_EQ(out[i], f.form == Form::value ? in[i] : 0) << f.name << " byte " << i;
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
            EXPECT_TRUE(is_text || get_u32(buf + 4) == n) << n;
            EXPECT_EQ(std::memcmp(buf + head, text, n), 0);
            for (size_t i = head + n; i < len; ++i) EXPECT_EQ(buf[i], 0) << n << " at " << i;
            EXPECT_EQ(buf[len], 0xEE) << "wrote past the element for " << n;
        }
    }
}

// walk: the reader's error for the first `size` bytes of m, checking that no element it gives
// leaves them.
ElementError walk(const Message &m, size_t size) {
    ElementReader r(m.bytes.data(), size);
    Element e;
    while (r.next(&e)) {
        EXPECT_GE(e.body, m.bytes.data() + FIRST_ELEMENT_OFFSET + 4);
        EXPECT_LE(e.body + e.body_length, m.bytes.data() + size);
    }
    return r.error();
}

TEST(Codec, ReaderRefusesMalformedElements) {
    const struct {
        std::initializer_list<uint8_t> element;
        int received_less;  // bytes of the message not received
        ElementError error;
    } cases[] = {
        {{}, 0, ElementError::none},                 // an empty block ends at its declared end
        {{2, 0, 2, 0}, 0, ElementError::too_short},  // would never advance the walk
        {{12, 0, 17, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 4, ElementError::overrun},  // past what came
        {{4, 0, 17, 0, 9, 9}, 0, ElementError::overrun},  // a head cut off: two bytes left
        {{12, 0, 6, 0, 5, 0, 0, 0, 1, 2, 3, 4}, 0, ElementError::data_overrun},  // count beyond
        {{4, 0, 6, 0}, 0, ElementError::data_overrun},  // too short for its count
        {{8, 0, 16, 0, 1, 0, 0, 0}, 0, ElementError::status_short},
        {{8, 0, 1, 0, 0, 0, 0, 0}, 0, ElementError::block_short},
        {{8, 0, 17, 0}, 0, ElementError::overrun},  // longer than the element block says is left
    };
    for (const auto &c : cases) {
        Message m = Message().raw(c.element);
        EXPECT_EQ(walk(m, m.size() - c.received_less), c.error) << m.size();
    }
    // A text without its terminator inside the element, though a NUL follows it in the message.
    Message text = Message().raw({8, 0, 20, 0, 'A', 'B', 'C', 'D', 0, 0, 0, 0});
    put_u16(text.data() + 112, 4 + 8);
    EXPECT_EQ(walk(text, text.size()), ElementError::text_no_nul);
    // A message too short to hold the element-block head.
    Message header_only;
    header_only.bytes.resize(100);
    EXPECT_EQ(walk(header_only, 100), ElementError::overrun);
}

TEST(Codec, HeaderChecksAndMessageId) {
    Message m = Message().raw({4, 0, 0xFF, 0xFF});
    EXPECT_TRUE(header_valid(read_header(m.data()), m.size()));
    EXPECT_FALSE(header_valid(read_header(m.data()), m.size() - 1));
    for (size_t at : {4, 114}) {  // the header length field, the element-block type
        Message wrong = m;
        put_u16(wrong.data() + at, get_u16(wrong.data() + at) + 1);
        EXPECT_FALSE(header_valid(read_header(wrong.data()), wrong.size())) << at;
    }
    // The service's message id, which a reply carries back, is there at service level 1 only.
    put_u32(m.data() + 52, 0x12345678);
    put_u16(m.data() + 50, 1);
    EXPECT_EQ(message_id_of(m.data()), 0x12345678u);
    put_u16(m.data() + 50, 2);
    EXPECT_EQ(message_id_of(m.data()), 0u);
}

TEST(Codec, DecodeCommandPointsFieldsIntoTheMessage) {
    _VULE_PARAMETERS32 sent{}, got;
    sent.correlation_id.numb = 77;
    sent.user_data_length = 9;  // no element carries user_data: the length goes
    std::memcpy(sent.resource_VEXA_id, "OBJECT01", 8);
    Message m;
    m.text(20, "before").block(sent).text(2, "STOP").data(34, "\x01\x02").end();
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
    Message unknown = Message().block(sent).raw({8, 0, 19, 0, 1, 2, 3, 4});  // no such field
    EXPECT_EQ(decode_command(unknown.data(), unknown.size(), &got), ElementError::overrun);
}

// --- the queue thread's walk -----------------------------------------------------------------

TEST(MessageWalk, OutcomeOfEachKindOfMessage) {
    Message bad_header = Message().block(1);
    EXPECT_EQ(walk_command(bad_header.data(), bad_header.size() - 1).outcome,
              CommandOutcome::bad_header);
    // Lengths that add up while the element block declares less than its own head.
    Message empty = Message().raw({0, 0});
    put_u16(empty.data() + 4, 114);
    write_element_block_head(empty.data(), 0);
    CommandWalk walk = walk_command(empty.data(), empty.size());
    EXPECT_EQ(walk.outcome, CommandOutcome::empty_block);
    EXPECT_EQ(walk.remaining, -4);
    const std::pair<Message, CommandOutcome> cases[] = {
        {Message().text(2, "X"), CommandOutcome::malformed},  // no block
        {Message().block(1).raw({2, 0, 2, 0}), CommandOutcome::malformed},
        {Message().block(1).raw({4, 0, 0xFF, 0xFF}).text(2, "X"), CommandOutcome::stop},
    };
    for (auto [m, outcome] : cases) EXPECT_EQ(walk_command(m.data(), m.size()).outcome, outcome);

    Message answered = Message().block(5).raw({10, 0, 16, 0, 9, 0x80, 5, 0, 0, 0});
    CommandWalk status = walk_command(answered.data(), answered.size());
    EXPECT_EQ(status.outcome, CommandOutcome::status);
    EXPECT_EQ(status_code_of(status.element), 0x8009);
    EXPECT_EQ(status_correlation_of(status.element), 5u);
    EXPECT_NE(status.wire, nullptr);  // the waiter gets the block that came with the status
}

TEST(MessageWalk, CommandFieldsPointIntoTheMessage) {
    Message m;
    m.text(20, "before").block(0x1234).text(2, "ECHO").raw({8, 0, 99, 0, 1, 2, 3, 4});
    m.text(3, "after the unknown element");
    CommandWalk walk = walk_command(m.data(), m.size());
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
