// reply_test.cpp — the full and the status reply built straight from received messages, with no
// process or transport: element order, cutting, lowering, and fields that point anywhere.
#include "exit/reply.h"

#include <gtest/gtest.h>

#include "services/kavcacm/kavcacm.h"
#include "tests/exit/message_builder.h"
#include "tests/support/child_process.h"

namespace {

using namespace kavi;

// A received command as the communication service hands it over: the message and the spare
// bytes behind it, and the block the queue thread lays over it.
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

constexpr uint32_t CORRELATION = 0x00071235;

// sent_block: the block every command carries, byte i of its wire image i * 7 but for the
// correlation and the user data length the elements set.
_VULE_PARAMETERS32 sent_block() {
    uint8_t wire[codec::BLOCK_SIZE];
    for (size_t i = 0; i < sizeof wire; ++i) wire[i] = static_cast<uint8_t>(i * 7);
    codec::put_u32(wire + 34, CORRELATION);
    codec::put_u16(wire + 109, 0);
    _VULE_PARAMETERS32 b{};
    codec::decode_block(wire, &b);
    return b;
}

// receive: a command carrying the block element first (unless block_last), then the pieces,
// and the block laid over it as the queue thread does it.
Received receive(const std::vector<Piece> &pieces, bool block_last = false) {
    kavitest::Message m;
    if (!block_last) m.block(sent_block());
    for (const Piece &p : pieces) m.field(p.type, p.bytes);
    if (block_last) m.block(sent_block());
    memcpy(m.data() + 8, "ORIGIN  ", 8);
    memcpy(m.data() + 40, "ECHO    ", 8);
    for (size_t i = 50; i < codec::HEADER_SIZE; ++i) m.data()[i] = static_cast<uint8_t>(i);
    Received r{m.bytes, m.size()};
    r.buffer.resize(r.length + VULC_BUFFER_SPARE, 0xEE);
    codec::ElementReader reader(r.msg(), r.length);
    codec::Element e;
    for (bool have_block = false; reader.next(&e);) {
        if (e.type == codec::TYPE_BLOCK) codec::decode_block(e.body, &r.block);
        have_block |= e.type == codec::TYPE_BLOCK;
        if (e.type != codec::TYPE_BLOCK && have_block)
            codec::set_field(&r.block, *codec::field_for_type(e.type), e);
    }
    EXPECT_EQ(reader.error(), codec::ElementError::none);
    return r;
}

// elements_of: the reply's elements as "type:length:content" (text up to its terminator, or data
// bytes) joined by blanks, checking that they tile the element block exactly, that texts are
// padded with zeros and that the status element ends the reply with `status` and CORRELATION.
std::string elements_of(uint8_t *m, uint32_t sent, uint16_t status) {
    std::string out;
    codec::Header h = codec::read_header(m);
    EXPECT_EQ(h.total_length, sent);
    EXPECT_EQ(h.element_block_length + codec::HEADER_SIZE, sent);
    EXPECT_EQ(h.element_block_type, codec::ELEMENT_BLOCK_TYPE);
    EXPECT_EQ(codec::get_u16(m + sent - 6), status);
    EXPECT_EQ(codec::get_u32(m + sent - 4), CORRELATION);
    codec::ElementReader reader(m, sent);
    codec::Element e;
    while (reader.next(&e)) {
        out += (out.empty() ? "" : " ") + std::to_string(e.type) + ":" + std::to_string(e.length);
        const codec::Field *f = codec::field_for_type(e.type);
        if (f && f->form == codec::FieldForm::text) {
            out += std::string(":") + codec::text_of(e);
            for (size_t i = strlen(codec::text_of(e)); i < e.body_length; ++i)
                EXPECT_EQ(e.body[i], 0) << e.type << " at " << i;
        }
        if (f && f->form == codec::FieldForm::data)
            out += ":" + std::string(reinterpret_cast<const char *>(codec::data_bytes_of(e)),
                                     codec::data_count_of(e));
    }
    EXPECT_EQ(reader.error(), codec::ElementError::none);
    EXPECT_EQ(reader.remaining(), 0);
    return out;
}

using ExitFunction = void (*)(_VULE_PARAMETERS32 *);

// full_reply: the reply to r after the exit function ran on its block, under the correlation
// that came with the command.
uint32_t full_reply(Received &r, uint16_t status, ExitFunction exit_function = nullptr) {
    Capacities capacities;
    measure_capacities(r.block, &capacities);
    uint32_t correlation = codec::correlation_of(r.block);
    if (exit_function) exit_function(&r.block);
    return build_full_reply(r.msg(), r.length, &r.block, capacities, status, correlation);
}

TEST(Reply, BlockAloneGivesA470ByteReplyThatCarriesTheBlockBackExactly) {
    Received r = receive({});
    uint8_t header_before[codec::HEADER_SIZE];
    memcpy(header_before, r.msg(), sizeof header_before);
    uint32_t sent = full_reply(r, 0);
    ASSERT_EQ(sent, 470u);
    EXPECT_EQ(elements_of(r.msg(), sent, 0), "1:344 16:10");
    // Header unchanged but for the total length; every non-pointer byte of the block as it came.
    EXPECT_EQ(memcmp(header_before + 2, r.msg() + 2, codec::HEADER_SIZE - 2), 0);
    uint8_t expected_wire[codec::BLOCK_SIZE];
    codec::encode_block(sent_block(), expected_wire);
    EXPECT_EQ(memcmp(r.msg() + 120, expected_wire, codec::BLOCK_SIZE), 0);
    EXPECT_EQ(r.msg()[120 + 338], 0);
}

char longer[] = "ABCDEFG";
char more[] = "abcdefghijklmnopqrst";

TEST(Reply, FieldsGoBackWithinTheCapacitiesTheyArrivedWith) {
    const struct {
        std::vector<Piece> pieces;
        ExitFunction exit;
        std::string elements;
        bool block_last = false;
    } cases[] = {
        // The status is what the caller passes; the correlation the one received.
        {{{2, "PING"}},
         [](auto *b) { codec::set_correlation(b, 0xDEADBEEF); },
         "1:344 2:12:PING 16:10"},
        // A text pointed at a longer text is cut to its capacity in place.
        {{{20, "ABC"}}, [](auto *b) { b->display_name = longer; }, "1:344 20:8:ABC 16:10"},
        // Texts padded to a multiple of four; the empty text still goes back: capacity 1.
        {{{2, "ABCD"}, {3, "ABC"}, {20, ""}}, nullptr, "1:344 2:12:ABCD 3:8:ABC 20:8: 16:10"},
        // Null and emptied fields leave no element and no gap.
        {{{2, "CMD"}, {3, "STRING"}, {6, "0123456789"}, {18, "ctl"}},
         [](auto *b) {
             b->command_string = nullptr;
             b->user_ctrl_data = nullptr;  // a null pointer beside a non-zero length
             b->display_name = const_cast<char *>("arrived empty");
         },
         "1:344 2:8:CMD 6:20:0123456789 16:10"},
        // A data length raised by the exit is lowered in element and block.
        {{{6, "0123456789"}},
         [](auto *b) {
             b->user_data = more;
             b->user_data_length = 20;
         },
         "1:344 6:20:abcdefghij 16:10"},
        // A later field's received text, an earlier field's text, and a field's own tail.
        {{{40, "the long text of client_ip_addr_dd"}, {2, "name"}, {20, "disp"}},
         [](auto *b) {
             b->command_name = b->client_ip_addr_dd + 4;  // capacity 5: "long"
             b->display_name = b->command_name + 5;       // capacity 5: "text"
             b->client_ip_addr_dd = b->display_name;
         },
         "1:344 2:12:long 20:12:text 40:12:text 16:10"},
        // A block arriving last leaves nothing to carry back but itself.
        {{{2, "ignored"}},
         [](auto *b) { b->command_name = const_cast<char *>("set"); },
         "1:344 16:10",
         true},
        // Longer than 32767 bytes: the length is unsigned.
        {{{3, std::string(40000, 's')}},
         nullptr,
         "1:344 3:40008:" + std::string(40000, 's') + " 16:10"},
        // Beyond sixteen bits: a status reply.
        {{{3, std::string(32531, 'a')}, {30, std::string(32529, 'b')}}, nullptr, "16:10"},
    };
    for (const auto &c : cases) {
        Received r = receive(c.pieces, c.block_last);
        uint16_t status = static_cast<uint16_t>(0x2345 + (&c - cases));
        uint32_t sent = full_reply(r, status, c.exit);
        EXPECT_EQ(elements_of(r.msg(), sent, status), c.elements) << (&c - cases);
        EXPECT_EQ(sent == STATUS_REPLY_LENGTH, r.length + 10 > 65535);
        if (sent == STATUS_REPLY_LENGTH) continue;
        EXPECT_EQ(codec::get_u16(r.msg() + 120 + 109), r.block.user_data_length);
        EXPECT_EQ(r.block.user_data_length, r.block.user_data != nullptr ? 10 : 0);
        EXPECT_TRUE(sent <= 32767 || sent == r.length + 10) << sent;
        EXPECT_TRUE(!c.block_last || sent == 470) << sent;
    }
    EXPECT_STREQ(longer, "ABC");
}

TEST(Reply, ElementsComeBackInTheirOwnOrderWhateverOrderTheyArrivedIn) {
    std::vector<Piece> pieces = {
        {40, std::string(300, 'x')}, {34, "oka"}, {2, "c"}, {23, "hb"}, {6, "user"}, {3, "string"}};
    Received forward = receive(pieces);
    Received reversed = receive(std::vector<Piece>(pieces.rbegin(), pieces.rend()));
    uint32_t sent = full_reply(forward, 7);
    ASSERT_EQ(full_reply(reversed, 7), sent);
    EXPECT_EQ(memcmp(forward.msg() + 112, reversed.msg() + 112, sent - 112), 0);
    EXPECT_EQ(elements_of(forward.msg(), sent, 7),
              "1:344 2:8:c 3:12:string 6:12:user 23:8:hb 34:12:oka 40:308:" +
                  std::string(300, 'x') + " 16:10");
}

TEST(Reply, StatusReplyIs126BytesWithTheHeaderKeptButItsLength) {
    Received r = receive({{2, "CMD"}, {3, "whatever"}});
    uint8_t header_before[codec::HEADER_SIZE];
    memcpy(header_before, r.msg(), sizeof header_before);
    EXPECT_EQ(build_status_reply(r.msg(), CORRELATION, VULE_NO_COMMAND_THREAD), 126u);
    EXPECT_EQ(elements_of(r.msg(), 126, 0x800A), "16:10");
    EXPECT_EQ(memcmp(header_before + 2, r.msg() + 2, codec::HEADER_SIZE - 2), 0);
    EXPECT_TRUE(codec::header_valid(codec::read_header(r.msg()), 126));
}

// A reply the service cannot send (no task of that name) and a buffer it cannot release (not
// one of its own) are logged under the caller's sites.
TEST(Reply, FailedSendAndReleaseAreLoggedAtTheirSites) {
    std::string log = kavitest::make_temp_dir() + "/errlog";
    setenv("KAVZ_ERRLOG", log.c_str(), 1);
    Received r = receive({});
    send_reply(r.msg(), 470, "NOBODY  ", "ORIGIN  ", "NODE                    ", "Replying", 9);
    std::vector<uint8_t> not_the_services(256, 0);
    release_message(not_the_services.data() + 128, "NOBODY  ", "Releasing", 11);
    std::string text = kavitest::read_file(log);
    EXPECT_NE(text.find("Replying site=9 code="), std::string::npos) << text;
    EXPECT_NE(text.find("Releasing site=11 code="), std::string::npos) << text;
}

}  // namespace
