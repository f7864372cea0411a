// reply_test.cpp — the full and the status reply built straight from received messages, with no
// process or transport: element order, cutting, lowering, and fields that point anywhere.
#include "exit/reply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "exit/codec.h"
#include "services/kavcacm/kavcacm.h"
#include "tests/exit/message_builder.h"
#include "tests/support/child_process.h"

namespace {

using namespace kavi;

using kavitest::Message;

// A received command as the communication service hands it over: the message and the spare
// bytes behind it.
struct Received {
    std::vector<uint8_t> buffer;
    size_t length = 0;
    _VULE_PARAMETERS32 block{};
    uint8_t *msg() { return buffer.data(); }
};

struct Piece {
    uint16_t type;
    std::string bytes;  // text without terminator, or data bytes
};

uint8_t wire_block[codec::BLOCK_SIZE];

// receive: a command carrying the block element first (unless block_last) and the pieces in the
// order given, laid over as the queue thread does it.
Received receive(const std::vector<Piece> &pieces, bool block_last = false) {
    _VULE_PARAMETERS32 b{};
    codec::decode_block(wire_block, &b);
    Message m;
    if (!block_last) m.block(b);
    for (const Piece &p : pieces) {
        if (codec::field_for_type(p.type)->form == codec::FieldForm::text)
            m.text(p.type, p.bytes);
        else
            m.data(p.type, p.bytes);
    }
    if (block_last) m.block(b);
    memcpy(m.data() + 8, "ORIGIN  ", 8);
    memcpy(m.data() + 40, "ECHO    ", 8);
    for (size_t i = 50; i < codec::HEADER_SIZE; ++i) m.data()[i] = static_cast<uint8_t>(i);
    Received r;
    r.length = m.size();
    r.buffer = m.bytes;
    r.buffer.resize(r.length + VULC_BUFFER_SPARE, 0xEE);

    codec::ElementReader reader(r.msg(), r.length);
    codec::Element e;
    bool have_block = false;
    while (reader.next(&e)) {
        if (e.type == codec::TYPE_BLOCK) {
            codec::decode_block(e.body, &r.block);
            have_block = true;
        } else if (const codec::Field *f = codec::field_for_type(e.type); f && have_block) {
            codec::set_field(&r.block, *f, e);
        }
    }
    EXPECT_EQ(reader.error(), codec::ElementError::none);
    return r;
}

// elements_of: the reply's elements as "type:length:content" (text up to its terminator, or data
// bytes) joined by blanks, checking that they tile the element block exactly.
std::string elements_of(uint8_t *m, uint32_t sent) {
    std::string out;
    codec::Header h = codec::read_header(m);
    EXPECT_EQ(h.total_length, sent);
    EXPECT_EQ(h.element_block_length + codec::HEADER_SIZE, sent);
    EXPECT_EQ(h.element_block_type, codec::ELEMENT_BLOCK_TYPE);
    codec::ElementReader reader(m, sent);
    codec::Element e;
    while (reader.next(&e)) {
        out += (out.empty() ? "" : " ") + std::to_string(e.type) + ":" + std::to_string(e.length);
        const codec::Field *f = codec::field_for_type(e.type);
        if (f && f->form == codec::FieldForm::text) out += std::string(":") + codec::text_of(e);
        if (f && f->form == codec::FieldForm::data)
            out += ":" + std::string(reinterpret_cast<const char *>(codec::data_bytes_of(e)),
                                     codec::data_count_of(e));
    }
    EXPECT_EQ(reader.error(), codec::ElementError::none);
    EXPECT_EQ(reader.remaining(), 0);
    return out;
}

uint32_t full_reply(Received &r, uint16_t status,
                    const std::function<void(_VULE_PARAMETERS32 *)> &exit_function = {}) {
    Capacities capacities;
    measure_capacities(r.block, &capacities);
    if (exit_function) exit_function(&r.block);
    return build_full_reply(r.msg(), r.length, &r.block, capacities, status,
                            codec::correlation_of(r.block));
}

class Reply : public ::testing::Test {
  protected:
    void SetUp() override {
        for (size_t i = 0; i < codec::BLOCK_SIZE; ++i) wire_block[i] = static_cast<uint8_t>(i * 7);
        // correlation 0x00071235
        wire_block[34] = 0x35, wire_block[35] = 0x12, wire_block[36] = 0x07, wire_block[37] = 0;
        // data lengths as the elements will set them
        codec::put_u16(wire_block + 109, 0);
    }
};

TEST_F(Reply, BlockAloneGivesA470ByteReplyThatCarriesTheBlockBackExactly) {
    Received r = receive({});
    uint8_t header_before[codec::HEADER_SIZE];
    memcpy(header_before, r.msg(), sizeof header_before);
    uint32_t sent = full_reply(r, 0);
    ASSERT_EQ(sent, 470u);
    EXPECT_EQ(elements_of(r.msg(), sent), "1:344 16:10");
    EXPECT_EQ(codec::get_u16(r.msg() + 120 + 344), 0);
    EXPECT_EQ(codec::get_u32(r.msg() + 122 + 344), 0x00071235u);
    // Header unchanged but for the total length; every non-pointer byte of the block as it came.
    EXPECT_EQ(memcmp(header_before + 2, r.msg() + 2, codec::HEADER_SIZE - 2), 0);
    _VULE_PARAMETERS32 expected{};
    codec::decode_block(wire_block, &expected);
    uint8_t expected_wire[codec::BLOCK_SIZE];
    codec::encode_block(expected, expected_wire);
    EXPECT_EQ(memcmp(r.msg() + 120, expected_wire, codec::BLOCK_SIZE), 0);
    EXPECT_EQ(r.msg()[120 + 338], 0);
}

TEST_F(Reply, StatusIsWhatTheCallerPassesAndCorrelationTheOneReceived) {
    Received r = receive({{2, "PING"}});
    Capacities capacities;
    measure_capacities(r.block, &capacities);
    codec::set_correlation(&r.block, 0xDEADBEEF);  // the exit may change it; the reply may not
    uint32_t sent = build_full_reply(r.msg(), r.length, &r.block, capacities, 0x2345, 0x00071235);
    EXPECT_EQ(elements_of(r.msg(), sent), "1:344 2:12:PING 16:10");
    const uint8_t *status = r.msg() + sent - 10;
    EXPECT_EQ(codec::get_u16(status + 4), 0x2345);
    EXPECT_EQ(codec::get_u32(status + 6), 0x00071235u);
}

TEST_F(Reply, TextPointedAtLongerTextIsCutToItsCapacityInPlace) {
    Received r = receive({{20, "ABC"}});
    char longer[] = "ABCDEFG";
    uint32_t sent = full_reply(r, 0, [&](_VULE_PARAMETERS32 *b) { b->display_name = longer; });
    EXPECT_EQ(elements_of(r.msg(), sent), "1:344 20:8:ABC 16:10");
    EXPECT_STREQ(longer, "ABC");
}

TEST_F(Reply, TextElementsArePaddedToAMultipleOfFour) {
    Received r = receive({{2, "ABCD"}, {3, "ABC"}, {20, ""}});
    uint32_t sent = full_reply(r, 0);
    // The empty text still goes back: capacity 1.
    EXPECT_EQ(elements_of(r.msg(), sent), "1:344 2:12:ABCD 3:8:ABC 20:8: 16:10");
    const uint8_t *four = r.msg() + 116 + 344;
    EXPECT_EQ(four[8] | four[9] | four[10] | four[11], 0);
}

TEST_F(Reply, NullAndEmptiedFieldsLeaveNoElementAndNoGap) {
    Received r = receive({{2, "CMD"}, {3, "STRING"}, {6, "0123456789"}, {18, "ctl"}});
    uint32_t sent = full_reply(r, 0, [](_VULE_PARAMETERS32 *b) {
        b->command_string = nullptr;
        b->user_ctrl_data = nullptr;  // a null pointer beside a non-zero length
        b->display_name = const_cast<char *>("arrived empty");
    });
    EXPECT_EQ(elements_of(r.msg(), sent), "1:344 2:8:CMD 6:20:0123456789 16:10");
}

TEST_F(Reply, DataLengthRaisedByTheExitIsLoweredInElementAndBlock) {
    Received r = receive({{6, "0123456789"}});
    char more[] = "abcdefghijklmnopqrst";
    uint32_t sent = full_reply(r, 0, [&](_VULE_PARAMETERS32 *b) {
        b->user_data = more;
        b->user_data_length = 20;
    });
    EXPECT_EQ(elements_of(r.msg(), sent), "1:344 6:20:abcdefghij 16:10");
    EXPECT_EQ(r.block.user_data_length, 10);
    EXPECT_EQ(codec::get_u16(r.msg() + 120 + 109), 10);
}

TEST_F(Reply, ElementsComeBackInTheirOwnOrderWhateverOrderTheyArrivedIn) {
    std::vector<Piece> pieces = {
        {40, std::string(300, 'x')}, {34, "oka"}, {2, "c"}, {23, "hb"}, {6, "user"}, {3, "string"}};
    Received forward = receive(pieces);
    Received reversed = receive(std::vector<Piece>(pieces.rbegin(), pieces.rend()));
    uint32_t sent = full_reply(forward, 7);
    ASSERT_EQ(full_reply(reversed, 7), sent);
    EXPECT_EQ(memcmp(forward.msg() + 112, reversed.msg() + 112, sent - 112), 0);
    EXPECT_EQ(elements_of(forward.msg(), sent),
              "1:344 2:8:c 3:12:string 6:12:user 23:8:hb "
              "34:12:oka 40:308:" +
                  std::string(300, 'x') + " 16:10");
}

TEST_F(Reply, FieldsMayPointIntoOtherFieldsAndIntoTheMessage) {
    Received r = receive({{40, "the long text of client_ip_addr_dd"}, {2, "name"}, {20, "disp"}});
    uint32_t sent = full_reply(r, 0, [](_VULE_PARAMETERS32 *b) {
        // A later field's received text, an earlier field's text, and a field's own tail.
        b->command_name = b->client_ip_addr_dd + 4;  // capacity 5: "long"
        b->display_name = b->command_name + 5;       // capacity 5: "text"
        b->client_ip_addr_dd = b->display_name;
    });
    EXPECT_EQ(elements_of(r.msg(), sent), "1:344 2:12:long 20:12:text 40:12:text 16:10");
}

TEST_F(Reply, BlockArrivingLastStillGivesAWholeReply) {
    Received r = receive({{2, "ignored"}}, /*block_last=*/true);
    EXPECT_EQ(r.block.command_name, nullptr);
    uint32_t sent = full_reply(
        r, 1, [](_VULE_PARAMETERS32 *b) { b->command_name = const_cast<char *>("set"); });
    EXPECT_EQ(sent, 470u);
    EXPECT_EQ(elements_of(r.msg(), sent), "1:344 16:10");
}

TEST_F(Reply, ReplyLongerThan32767BytesCarriesItsUnsignedLength) {
    Received r = receive({{3, std::string(40000, 's')}});
    uint32_t sent = full_reply(r, 3);
    EXPECT_GT(sent, 32767u);
    EXPECT_EQ(sent, r.length + 10);
    EXPECT_EQ(elements_of(r.msg(), sent), "1:344 3:40008:" + std::string(40000, 's') + " 16:10");
}

TEST_F(Reply, ReplyBeyondSixteenBitsBecomesAStatusReply) {
    Received r = receive({{3, std::string(32531, 'a')}, {30, std::string(32529, 'b')}});
    ASSERT_GT(r.length + 10, 65535u);
    uint32_t sent = full_reply(r, 0x1234);
    EXPECT_EQ(sent, STATUS_REPLY_LENGTH);
    EXPECT_EQ(elements_of(r.msg(), sent), "16:10");
    EXPECT_EQ(codec::get_u16(r.msg() + 120), 0x1234);
}

TEST_F(Reply, StatusReplyIs126BytesWithTheHeaderKeptButItsLength) {
    Received r = receive({{2, "CMD"}, {3, "whatever"}});
    uint8_t header_before[codec::HEADER_SIZE];
    memcpy(header_before, r.msg(), sizeof header_before);
    EXPECT_EQ(build_status_reply(r.msg(), 0x00071235, VULE_NO_COMMAND_THREAD), 126u);
    EXPECT_EQ(elements_of(r.msg(), 126), "16:10");
    EXPECT_EQ(codec::get_u16(r.msg() + 112), 14);
    EXPECT_EQ(codec::get_u16(r.msg() + 120), 0x800A);
    EXPECT_EQ(codec::get_u32(r.msg() + 122), 0x00071235u);
    EXPECT_EQ(memcmp(header_before + 2, r.msg() + 2, codec::HEADER_SIZE - 2), 0);
    EXPECT_TRUE(codec::header_valid(codec::read_header(r.msg()), 126));
}

TEST_F(Reply, CheckAndAddSkipsFieldsThatDoNotQualify) {
    uint8_t out[32] = {};
    uint8_t *position = out;
    uint16_t running = 344;
    char text[] = "text";
    VulequetCheckAndAddSV(nullptr, 5, 2, &running, &position);
    VulequetCheckAndAddSV(text, 0, 2, &running, &position);
    EXPECT_EQ(position, out);
    EXPECT_EQ(running, 344);
    VulequetCheckAndAddSV(text, 3, 2, &running, &position);
    EXPECT_EQ(position, out + 8);
    EXPECT_EQ(running, 352);
    EXPECT_STREQ(text, "te");
}

// A reply the service cannot send (no task of that name) and a buffer it cannot release (not
// one of its own) are logged under the caller's sites.
TEST_F(Reply, FailedSendAndReleaseAreLoggedAtTheirSites) {
    std::string log = kavitest::make_temp_dir() + "/errlog";
    setenv("KAVZ_ERRLOG", log.c_str(), 1);
    Received r = receive({});
    send_reply(r.msg(), 470, "NOBODY  ", "ORIGIN  ", "NODE                    ", "Replying", 9);
    std::vector<uint8_t> not_the_services(256, 0);
    release_message(not_the_services.data() + 128, "NOBODY  ", "Releasing", 11);
    EXPECT_NE(kavitest::read_file(log).find("Replying site=9 code="), std::string::npos)
        << kavitest::read_file(log);
    EXPECT_NE(kavitest::read_file(log).find("Releasing site=11 code="), std::string::npos)
        << kavitest::read_file(log);
}

}  // namespace
