// message_walk_test.cpp — what the queue thread makes of a message before it acts on it: which
// outcome each kind of message has, and what a command hands on to the exit.
#include "exit/message_walk.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace kavi;
using namespace kavi::codec;

// A message of the given function code, built element by element, its header kept valid.
struct Message {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(FIRST_ELEMENT_OFFSET, 0);
    uint8_t scratch[BLOCK_ELEMENT_LENGTH];

    explicit Message(uint16_t function = FUNCTION_COMMAND) {
        put_u16(bytes.data() + 48, function);
        finish(0);
    }
    Message &block(uint32_t correlation) {
        _VULE_PARAMETERS32 b{};
        set_correlation(&b, correlation);
        return finish(write_block_element(scratch, b));
    }
    Message &text(uint16_t type, const char *t) {
        return finish(write_text_element(scratch, type, t, strlen(t) + 1));
    }
    Message &raw(std::initializer_list<uint8_t> b) {
        std::copy(b.begin(), b.end(), scratch);
        return finish(b.size());
    }
    Message &finish(size_t appended) {
        bytes.insert(bytes.end(), scratch, scratch + appended);
        put_u16(bytes.data(), static_cast<uint16_t>(bytes.size()));
        put_u16(bytes.data() + 2, MESSAGE_TYPE);
        put_u16(bytes.data() + 4, HEADER_LENGTH_FIELD);
        put_u16(bytes.data() + 6, FORMAT_LEVEL);
        write_element_block_head(bytes.data(), static_cast<uint16_t>(bytes.size() - 112));
        return *this;
    }
    CommandWalk walk() { return walk_command(bytes.data(), bytes.size()); }
};

TEST(MessageWalk, OutcomeOfEachKindOfMessage) {
    Message bad_header = Message().block(1);
    EXPECT_EQ(walk_command(bad_header.bytes.data(), bad_header.bytes.size() - 1).outcome,
              CommandOutcome::bad_header);
    // Lengths that add up while the element block declares less than its own head.
    Message empty = Message().raw({0, 0});
    put_u16(empty.bytes.data() + 4, 114);
    write_element_block_head(empty.bytes.data(), 0);
    CommandWalk walk = empty.walk();
    EXPECT_EQ(walk.outcome, CommandOutcome::empty_block);
    EXPECT_EQ(walk.remaining, -4);
    EXPECT_EQ(Message().text(2, "X").walk().outcome, CommandOutcome::malformed);  // no block
    EXPECT_EQ(Message().block(1).raw({2, 0, 2, 0}).walk().outcome, CommandOutcome::malformed);
    EXPECT_EQ(Message().block(1).raw({4, 0, 0xFF, 0xFF}).text(2, "X").walk().outcome,
              CommandOutcome::stop);

    Message answered = Message().block(5).raw({10, 0, 16, 0, 9, 0x80, 5, 0, 0, 0});
    CommandWalk status = answered.walk();  // points into `answered`
    EXPECT_EQ(status.outcome, CommandOutcome::status);
    EXPECT_EQ(status_code_of(status.element), 0x8009);
    EXPECT_EQ(status_correlation_of(status.element), 5u);
    EXPECT_NE(status.wire, nullptr);  // the waiter gets the block that came with the status
}

TEST(MessageWalk, CommandFieldsPointIntoTheMessage) {
    Message m;
    m.text(20, "before").block(0x1234).text(2, "ECHO").raw({8, 0, 99, 0, 1, 2, 3, 4});
    m.text(3, "after the unknown element");
    CommandWalk walk = m.walk();
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
    Message answer(FUNCTION_ANSWER_1);
    answer.block(7);
    const uint8_t *wire = answer_block(answer.bytes.data(), answer.bytes.size());
    ASSERT_NE(wire, nullptr);
    EXPECT_EQ(correlation_in_wire(wire), 7u);
    Message text_first(FUNCTION_ANSWER_2);
    text_first.text(2, "X").block(7);
    EXPECT_EQ(answer_block(text_first.bytes.data(), text_first.bytes.size()), nullptr);
}

}  // namespace
