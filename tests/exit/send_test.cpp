// send_test.cpp — KaviSend: the message it builds, the address masks, the copy-back, and whole
// calls between exits of this process and of another.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "exit/send_message.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace kavi;

send::SentFields measured(const _VULE_PARAMETERS32 &b) {
    send::SentFields sent;
    EXPECT_TRUE(send::measure_fields(b, &sent));
    return sent;
}

// built: the message for b as the call builds it, and its element types, checking that the
// elements tile the element block and, given every_text, that each text element holds it.
std::vector<uint16_t> built(const _VULE_PARAMETERS32 &b, const send::SentFields &sent,
                            std::vector<uint8_t> *m, const char *every_text = nullptr) {
    m->assign(send::message_size(sent), 0xEE);
    send::build_message(m->data(), m->size(), b, sent);
    codec::ElementReader reader(m->data(), m->size());
    codec::Element e;
    size_t sum = 4;
    std::vector<uint16_t> types;
    while (reader.next(&e)) {
        sum += e.length;
        types.push_back(e.type);
        if (every_text != nullptr && codec::field_for_type(e.type) != nullptr) {
            EXPECT_STREQ(codec::text_of(e), every_text) << e.type;
        }
    }
    EXPECT_EQ(reader.error(), codec::ElementError::none);
    EXPECT_EQ(sum, m->size() - 112u);
    return types;
}

TEST(SendMessage, ElementsAndBytesFollowTheFieldsSent) {
    _VULE_PARAMETERS32 several{}, only_name{};
    char text[] = "a text of some length", name[] = "ABC";
    uint8_t bytes[7] = {1, 2, 3, 4, 5, 6, 7};
    several.command_string = several.client_ip_addr_dd = text;
    several.user_ctrl_data = bytes;
    several.user_ctrl_data_length = 7;
    several.OKA_data = bytes;  // with length 0: no element
    only_name.command_name = name;
    only_name.user_data_length = 40;  // a length without a pointer sends nothing
    std::vector<uint8_t> m;
    EXPECT_EQ(built(several, measured(several), &m), (std::vector<uint16_t>{1, 3, 18, 40, 17}));
    EXPECT_EQ(built(only_name, measured(only_name), &m), (std::vector<uint16_t>{1, 2, 17}));
    ASSERT_EQ(m.size(), 480u);
    // Element block, block element, its padding, the name's element, the end element.
    const std::pair<size_t, uint16_t> words[] = {{112, 368}, {114, 0x100}, {116, 344}, {458, 0},
                                                 {460, 8},   {468, 12},    {472, 0},   {474, 0},
                                                 {476, 0},   {478, 0}};
    for (auto [at, value] : words) EXPECT_EQ(codec::get_u16(m.data() + at), value) << at;
    EXPECT_EQ(std::memcmp(m.data() + 464, "ABC", 4), 0);
}

// Texts pointed into the block's own exit_name, which the call rewrites after measuring them: the
// message is built from what was measured, so its size and its elements agree.
TEST(SendMessage, TextsChangedAfterMeasuringDoNotChangeTheMessage) {
    _VULE_PARAMETERS32 b{};
    for (const codec::Field &f : codec::FIELDS)
        if (f.form == codec::FieldForm::text) b.*f.text = b.exit_name;  // empty now
    send::SentFields sent = measured(b);
    std::memcpy(b.exit_name, "BETA    ", 9);
    std::vector<uint8_t> m;
    EXPECT_EQ(built(b, sent, &m, "").back(), codec::TYPE_END);
    EXPECT_EQ(m.size(), 472u + 21 * 8);
}

TEST(SendMessage, DepthStepsModulo4096) {
    _VULE_PARAMETERS32 b{};
    codec::set_correlation(&b, 0x0007FFF5);  // bytes F5 FF 07 00
    send::step_depth(&b);
    EXPECT_EQ(codec::correlation_of(b), 0x00070005u);
    send::step_depth(&b);
    EXPECT_EQ(codec::correlation_of(b), 0x00070015u);
}

TEST(SendMessage, NodeAddressesAndTheirMasks) {
    char out[25];
    const char binary[25] =
        "\xFF\xFF\xFF\xFF"
        "abcdefghijklmnopqrst";
    ASSERT_TRUE(send::readable_node_address("node7", out));
    EXPECT_STREQ(out, "NODE7                   ");
    EXPECT_FALSE(send::readable_node_address("", out));
    EXPECT_FALSE(send::readable_node_address("1234567890123456789012345", out));
    ASSERT_TRUE(send::readable_node_address(binary, out));
    EXPECT_EQ(std::memcmp(out, binary, 24), 0);  // never upper-cased

    const char target[25] = "TARGETNODE              ", local[25] = "HOMENODE                ";
    const char *upper_binary =
        "\xFF\xFF\xFF\xFF"
        "ABCDEFGHIJKLMNOPQRST";
    const struct {
        const char *field, *target, *after;
    } cases[] = {
        {"targetnode              ", target, send::TARGET_MASK},
        {"TARGETNODE", target, "TARGETNODE"},  // unpadded: not the target
        {"HomeNode                ", target, send::LOCAL_MASK},
        {"elsewhere", target, "ELSEWHERE"},  // compared as text, so left upper-cased
        // Binary addresses are compared as they stand, and never upper-cased.
        {binary, binary, send::TARGET_MASK},
        {binary, target, binary},
        {upper_binary, binary, upper_binary},
    };
    for (const auto &c : cases) {
        char field[25] = {};
        std::memcpy(field, c.field, std::strlen(c.field));
        send::mask_address(field, c.target, local);
        EXPECT_STREQ(field, c.after) << c.field;
    }
}

TEST(SendMessage, CopyBackRules) {
    _VULE_PARAMETERS32 answer{}, caller{};
    char name[] = "ANSWERED", display[] = "display";
    uint8_t data[3] = {7, 8, 9};
    answer.command_name = name;
    answer.display_name = display;
    answer.user_res_data = data;
    answer.user_res_data_length = 3;
    answer.user_ctrl_data_length = 5;  // and a null pointer
    answer.user_data_length = 2;       // and a null pointer
    std::memcpy(answer.exit_name, "TARGET  ", 9);
    std::memcpy(answer.reserved_133, "ab\0xyz", 6);
    answer.reserved_147[0] = 0x55;
    answer.reserved_274[0] = 0x66;
    answer.correlation_id.numb = 99;
    answer.extended_reason_code = 12;
    answer.resource_status_ts.yr = 2026;

    char name_area[32] = "XXXXXXXXXXXX", string_area[] = "kept? no";
    uint8_t res_area[8] = {}, ctrl_area[8] = {}, user_area[8] = {};
    caller.command_name = name_area;
    caller.command_string = string_area;  // the answer has none: null
    caller.user_res_data = res_area;      // display_name: only the answer has one, stays null
    caller.user_ctrl_data = ctrl_area;
    caller.user_data = user_area;
    std::memcpy(caller.reserved_133, "12345", 6);
    caller.correlation_id.numb = 5;
    caller.user_res_data_length = caller.user_ctrl_data_length = caller.user_data_length = 8;

    send::copy_back(answer, measured(caller), &caller);
    EXPECT_STREQ(caller.command_name, "ANSWERED");
    EXPECT_STREQ(caller.exit_name, "TARGET  ");
    EXPECT_EQ(res_area[2], 9);
    EXPECT_EQ(std::memcmp(caller.reserved_133, "ab\0\x34\x35", 6), 0);
    // Where each pointer goes, and the lengths: a data length comes back, also without data.
    EXPECT_EQ(std::make_tuple(caller.command_name, caller.command_string, caller.display_name),
              std::make_tuple(name_area, nullptr, nullptr));
    EXPECT_EQ(std::make_tuple(caller.user_res_data, caller.user_ctrl_data, caller.user_data),
              std::make_tuple(res_area, ctrl_area, nullptr));
    EXPECT_EQ(std::make_tuple(caller.user_res_data_length + 0, caller.user_ctrl_data_length + 0,
                              caller.user_data_length + 0),
              std::make_tuple(3, 5, 2));
    // Reserved bytes are cleared and the correlation kept; everything else comes back.
    EXPECT_EQ(std::make_tuple(caller.reserved_147[0] | caller.reserved_274[0],
                              caller.correlation_id.numb + 0, caller.extended_reason_code + 0,
                              caller.resource_status_ts.yr + 0),
              std::make_tuple(0, 5, 0, 2026));
}

// A forged answer may carry texts and counts beyond what was sent: the copy-back cuts each to
// what the caller sent in that field and writes nothing past it.
TEST(SendMessage, CopyBackNeverWritesBeyondWhatWasSent) {
    std::string long_text(60000, 'x');
    std::vector<uint8_t> long_data(5000, 0xAB);
    _VULE_PARAMETERS32 answer{}, caller{};
    char areas[codec::FIELD_COUNT][32];  // what was sent in each field, then guard bytes
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        std::memset(areas[i], 'g', sizeof areas[i]);
        if (f.form == codec::FieldForm::text) {
            answer.*f.text = long_text.data();
            std::memcpy(areas[i], "abc", 4);
            caller.*f.text = areas[i];
        } else {
            answer.*f.data = long_data.data();
            answer.*f.length = 5000;
            caller.*f.data = areas[i];
            caller.*f.length = 6;
        }
    }
    send::copy_back(answer, measured(caller), &caller);
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        bool text = f.form == codec::FieldForm::text;
        if (text) {
            EXPECT_STREQ(areas[i], "xxx") << f.name;
        } else {
            EXPECT_EQ(std::memcmp(areas[i], long_data.data(), 6), 0) << f.name;
            EXPECT_EQ(caller.*f.length, 6) << f.name;
        }
        for (size_t j = text ? 4 : 6; j < sizeof areas[i]; ++j)
            EXPECT_EQ(areas[i][j], 'g') << f.name;
    }
}

TEST(SendMessage, EveryFieldIsReadThroughBeforeAnythingIsSent) {
    // Two pages, the second unreadable: a field at the end of the first runs into it.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *pages =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    char *end = static_cast<char *>(pages) + page;
    std::memset(pages, 'r', page);
    ASSERT_EQ(mprotect(end, page, PROT_NONE), 0);
    char *unterminated = end - 6;  // readable, with no terminator before the end
    send::SentFields sent;
    for (const codec::Field &f : codec::FIELDS) {
        _VULE_PARAMETERS32 b{};
        if (f.form == codec::FieldForm::text) {
            b.*f.text = reinterpret_cast<char *>(16);
            EXPECT_FALSE(send::measure_fields(b, &sent)) << f.name;
            b.*f.text = unterminated;
            EXPECT_FALSE(send::measure_fields(b, &sent)) << f.name;
        } else {
            b.*f.data = end - 4;
            b.*f.length = 5;
            EXPECT_FALSE(send::measure_fields(b, &sent)) << f.name;
            b.*f.length = 4;
            EXPECT_TRUE(send::measure_fields(b, &sent)) << f.name;
        }
    }
    end[-1] = '\0';  // now the text ends just in time
    _VULE_PARAMETERS32 b{};
    b.client_ip_addr_dd = unterminated;
    ASSERT_TRUE(send::measure_fields(b, &sent));
    EXPECT_EQ(send::message_size(sent), 460u + 12u + 12u);
    munmap(pages, 2 * page);
}

// --- whole calls -------------------------------------------------------------------------------

TEST(KaviSend, BeforeAnyRegistrationFailsWithSystemError) {
    if (exit_table_mutex != nullptr) GTEST_SKIP() << "needs a process of its own";
    _VULE_PARAMETERS32 b{};
    EXPECT_EQ(KaviSend("ALPHA   ", "BETA", " ", &b), uint32_t{VULE_SYSTEM_ERROR});
}

TEST(KaviSend, NullAndMalformedArguments) {
    _VULE_PARAMETERS32 b{};
    b.extended_reason_code = 5;
    const char *bad = reinterpret_cast<const char *>(16);
    auto *bad_block = reinterpret_cast<_VULE_PARAMETERS32 *>(16);
    char text[] = "readable";
    const struct {
        const char *calling, *target, *node;
        _VULE_PARAMETERS32 *block;
    } refused[] = {
        {nullptr, "BETA", " ", &b},    {"ALPHA   ", "NINECHARS", " ", &b},
        {"ALPHA   ", "BETA", "", &b},  {"", "BETA", " ", &b},
        {bad, "BETA", " ", &b},        {"ALPHA   ", bad, " ", &b},
        {"ALPHA   ", "BETA", bad, &b}, {"ALPHA   ", "BETA", " ", bad_block},
    };
    // Each argument is checked, also when the others are readable.
    b.command_name = text;
    for (const auto &c : refused)
        EXPECT_EQ(KaviSend(c.calling, c.target, c.node, c.block), uint32_t{VULE_INVALID_ARGUMENT})
            << (&c - refused);
    b.command_name = reinterpret_cast<char *>(16);
    EXPECT_EQ(KaviSend("ALPHA   ", "BETA", " ", &b), uint32_t{VULE_INVALID_ARGUMENT});
    EXPECT_EQ(b.extended_reason_code, 5);  // untouched while the arguments are refused
    b.command_name = text;
    b.user_data = text;
    b.user_data_length = 4;
    EXPECT_NE(KaviSend("ALPHA   ", "BETA", " ", &b), uint32_t{VULE_INVALID_ARGUMENT});
    b.user_data = reinterpret_cast<void *>(16);
    EXPECT_EQ(KaviSend("ALPHA   ", "BETA", " ", &b), uint32_t{VULE_INVALID_ARGUMENT});
}

// The target exit: what it saw, and what it answers with.
std::atomic<int> target_calls{0};
char seen_command[32], seen_server_addr[25];

uint32_t KAVI_CALL target_exit(_VULE_PARAMETERS32 *block) {
    ++target_calls;
    std::strncpy(seen_command, block->command_name ? block->command_name : "(null)", 31);
    std::memcpy(seen_server_addr, block->server_ip_addr, 25);
    if (block->display_name != nullptr) block->display_name[0] = 'D';
    block->resource_type = 4242;
    return 0x12345;
}

// send_within: KaviSend from ALPHA on a thread of its own; a call that does not return in time
// fails the test process at once instead of hanging it.
uint32_t send_within(const char *target, _VULE_PARAMETERS32 *block, const char *node = " ") {
    std::promise<uint32_t> done;
    std::future<uint32_t> result = done.get_future();
    std::thread([&] { done.set_value(KaviSend("ALPHA   ", target, node, block)); }).detach();
    if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "KaviSend to " << target << " did not return";
        std::_Exit(1);
    }
    return result.get();
}

// send_once_there: send_within to an exit in a child that may not be there yet: until it is,
// the call finds nobody and does not wait. A loaded machine may take seconds to start a child.
uint32_t send_once_there(const char *target, _VULE_PARAMETERS32 *block) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    uint32_t rc = VULE_EXIT_ENDED;
    while (rc == VULE_EXIT_ENDED && std::chrono::steady_clock::now() < deadline) {
        if ((rc = send_within(target, block)) == VULE_EXIT_ENDED) plat::sleep_ms(10);
    }
    return rc;
}

// Calls from ALPHA to BETA, an exit of this process in run mode 0, and to one that is not there.
TEST(KaviSendBetweenExits, CallingNameAnswerCopyBackSizeLimitAndUnknownTarget) {
    std::string log = kavitest::make_temp_dir() + "/errlog";
    setenv("KAVZ_ERRLOG", log.c_str(), 1);
    ASSERT_EQ(KaviInit("alpha", target_exit, 1), VULE_OK);
    ASSERT_EQ(KaviInit("beta", target_exit, 0), VULE_OK);
    _VULE_PARAMETERS32 b{};
    // The calling exit must be its padded name; the log has it as given and the exit table.
    EXPECT_EQ(KaviSend("alpha   ", "beta", " ", &b), uint32_t{VULE_NOT_REGISTERED});
    EXPECT_EQ(KaviSend("ALPHA", "beta", " ", &b), uint32_t{VULE_NOT_REGISTERED});
    EXPECT_NE(kavitest::read_file(log).find("KaviSend site=336 code=4"), std::string::npos);
    EXPECT_NE(kavitest::read_file(log).find("item0=8:616c706861202020 item1=" +
                                            std::to_string(sizeof exit_table)),
              std::string::npos)
        << kavitest::read_file(log);
    EXPECT_EQ(target_calls.load(), 0);

    char command[] = "status", display[] = "resource";
    b.command_name = command;
    b.display_name = display;
    codec::set_correlation(&b, 0x00070FF5);
    std::memcpy(b.server_ip_addr, "somewhere", 10);
    EXPECT_EQ(send_within("beta", &b, "                        "), 0x2345u);
    EXPECT_EQ(target_calls.load(), 1);
    EXPECT_STREQ(seen_command, "status");
    EXPECT_STREQ(seen_server_addr, send::TARGET_MASK);
    EXPECT_STREQ(b.display_name, "Desource");
    EXPECT_EQ(b.resource_type, 4242u);
    EXPECT_EQ(codec::correlation_of(b), 0x00071005u);  // depth stepped, not copied back
    EXPECT_STREQ(b.exit_name, "BETA    ");
    // A target node of blanks means this node: both fields hold its address afterwards.
    EXPECT_EQ(std::memcmp(b.server_ip_addr, local_node_address, 25), 0);
    EXPECT_EQ(std::memcmp(b.client_ip_addr, local_node_address, 25), 0);

    // Texts pointed at the block's own exit_name, rewritten by the call: still sent whole.
    b = {};
    for (const codec::Field &f : codec::FIELDS)
        if (f.form == codec::FieldForm::text) b.*f.text = b.exit_name;
    EXPECT_EQ(send_within("beta", &b), 0x2345u);
    EXPECT_STREQ(seen_command, "");

    // 472 bytes of block, head and end element; a data element of 8 + count rounded up to 4.
    std::vector<uint8_t> data(32300, 0x5A);
    b = {};
    b.user_ctrl_data = data.data();
    b.user_ctrl_data_length = 32288;
    ASSERT_EQ(send::message_size(measured(b)), 32768u);
    EXPECT_EQ(send_within("beta", &b), 0x2345u);
    EXPECT_EQ(b.extended_reason_code, 0);
    b.user_ctrl_data_length = 32292;  // sizes step by 4: the next one past the limit
    uint32_t depth = b.correlation_id.depth;
    EXPECT_EQ(KaviSend("ALPHA   ", "beta", " ", &b), uint32_t{VULE_TOO_LARGE});
    EXPECT_EQ(b.extended_reason_code, 32772);
    EXPECT_EQ(b.correlation_id.depth, (depth + 1) & 0xFFF);
    EXPECT_EQ(target_calls.load(), 3);

    // An unknown target ends the call without waiting. Named by this node's name, the node
    // fields stay as given; the call took its wait-list entry with it: a call under the same
    // correlation gets the answer, where a stale entry, older, would have caught it.
    b = {};
    std::memcpy(b.client_ip_addr, "keep me", 8);
    const char *node = std::getenv("KAVI_NODE");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(send_within("nobody", &b, node), uint32_t{VULE_EXIT_ENDED});
    EXPECT_STREQ(b.client_ip_addr, "keep me");
    codec::set_correlation(&b, 0);
    EXPECT_EQ(send_within("beta", &b, node), 0x2345u);
    EXPECT_STREQ(b.client_ip_addr, "keep me");

    // A name registered again after its termination may wait for answers again.
    KaviTerminate("alpha");
    ASSERT_EQ(KaviInit("alpha", target_exit, 1), VULE_OK);
    EXPECT_EQ(send_within("beta", &b, node), 0x2345u);
    KaviTerminate("beta");
    KaviTerminate("alpha");
}

// A peer answers with a text of 60,000 bytes and a data count of 4,000 (an answer of function
// code 1): the copy-back cuts them to what was sent and writes nothing beyond.
TEST(KaviSendAcrossProcesses, ForgedLongAnswersAreCutToWhatWasSent) {
    // The forger lives in a child, forked before this process has threads of its own.
    kavitest::Child forger = kavitest::Child::fork_run([] {
        lifecycle::Tool tool("FORGER");
        std::vector<uint8_t> command = tool.receive(20000);
        if (command.size() < codec::FIRST_ELEMENT_OFFSET + 4 + codec::BLOCK_SIZE) return 2;
        std::vector<uint8_t> elements, data(4 + 4000, 0xAB);
        lifecycle::add_block(&elements,
                             codec::correlation_in_wire(&command[codec::FIRST_ELEMENT_OFFSET + 4]),
                             "FORGER");
        lifecycle::add_text(&elements, 3, std::string(60000, 'x'));
        codec::put_u32(data.data(), 4000);
        lifecycle::add_element(&elements, 8 + 4000, 6, data);
        return tool.send("ALPHA", elements, codec::FUNCTION_ANSWER_1) == VULC_OK ? 0 : 3;
    });
    ASSERT_EQ(KaviInit("alpha", target_exit, 1), VULE_OK);
    char text[16];
    uint8_t data[16];
    std::memset(text, 'g', sizeof text);
    std::memset(data, 'g', sizeof data);
    std::memcpy(text, "abc", 4);
    _VULE_PARAMETERS32 b{};
    b.command_string = text;
    b.user_data = data;
    b.user_data_length = 6;
    EXPECT_EQ(send_once_there("forger", &b), uint32_t{VULE_TERMINATING});
    EXPECT_STREQ(text, "xxx");
    for (size_t i = 4; i < sizeof text; ++i) EXPECT_EQ(text[i], 'g') << i;
    for (size_t i = 0; i < sizeof data; ++i) EXPECT_EQ(data[i], i < 6 ? 0xAB : 'g') << i;
    EXPECT_EQ(b.user_data_length, 6);
    EXPECT_EQ(forger.wait(10000), 0);
    KaviTerminate("alpha");
}

}  // namespace
