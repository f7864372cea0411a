// send_test.cpp — KaviSend: the message it builds, the address masks, the copy-back, and whole
// calls between exits registered in this process.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exit/codec.h"
#include "exit/exit_table.h"
#include "exit/send_message.h"
#include "kaviexit.h"
#include "platform/platform.h"
#include "services/kavcacm/kavcacm.h"
#include "services/kavcacm/names.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/support/child_process.h"

namespace {

using namespace kavi;
namespace codec = kavi::codec;

// --- the message -----------------------------------------------------------------------------

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

TEST(SendMessage, OnlyACommandNameGivesFourHundredEightyBytes) {
    _VULE_PARAMETERS32 b{};
    char name[] = "ABC";
    b.command_name = name;
    b.user_data_length = 40;  // a length without a pointer sends nothing
    std::vector<uint8_t> m;
    EXPECT_EQ(built(b, measured(b), &m), (std::vector<uint16_t>{1, 2, 17}));
    ASSERT_EQ(m.size(), 480u);
    EXPECT_EQ(codec::get_u16(m.data() + 112), 368);
    EXPECT_EQ(codec::get_u16(m.data() + 114), 0x100);
    EXPECT_EQ(codec::get_u16(m.data() + 116), 344);
    EXPECT_EQ(codec::get_u16(m.data() + 458), 0);  // the block element's padding
    EXPECT_EQ(codec::get_u16(m.data() + 460), 8);
    EXPECT_EQ(std::memcmp(m.data() + 464, "ABC", 4), 0);
    EXPECT_EQ(codec::get_u16(m.data() + 468), 12);
    for (size_t i = 472; i < 480; ++i) EXPECT_EQ(m[i], 0) << i;
}

TEST(SendMessage, ElementBlockLengthCountsEveryElementWritten) {
    _VULE_PARAMETERS32 b{};
    char text[] = "a text of some length";
    uint8_t bytes[7] = {1, 2, 3, 4, 5, 6, 7};
    b.command_string = text;
    b.client_ip_addr_dd = text;
    b.user_ctrl_data = bytes;
    b.user_ctrl_data_length = 7;
    b.OKA_data = bytes;  // with length 0: no element
    std::vector<uint8_t> m;
    EXPECT_EQ(built(b, measured(b), &m), (std::vector<uint16_t>{1, 3, 18, 40, 17}));
}

TEST(SendMessage, DepthStepsModulo4096) {
    _VULE_PARAMETERS32 b{};
    codec::set_correlation(&b, 0x0007FFF5);  // bytes F5 FF 07 00
    send::step_depth(&b);
    EXPECT_EQ(codec::correlation_of(b), 0x00070005u);  // bytes 05 00 07 00
    send::step_depth(&b);
    EXPECT_EQ(codec::correlation_of(b), 0x00070015u);
}

TEST(SendMessage, NodeAddresses) {
    char out[25];
    ASSERT_TRUE(send::readable_node_address("node7", out));
    EXPECT_STREQ(out, "NODE7                   ");
    EXPECT_FALSE(send::readable_node_address("", out));
    EXPECT_FALSE(send::readable_node_address("1234567890123456789012345", out));
    char binary[25] =
        "\xFF\xFF\xFF\xFF"
        "abcdefghijklmnopqrst";
    ASSERT_TRUE(send::readable_node_address(binary, out));
    EXPECT_EQ(std::memcmp(out, binary, 24), 0);  // never upper-cased
}

TEST(SendMessage, AddressMasks) {
    const char target[25] = "TARGETNODE              ";
    const char local[25] = "HOMENODE                ";
    const char binary_target[25] =
        "\xFF\xFF\xFF\xFF"
        "abcdefghijklmnopqrst";
    const struct {
        const char *field;
        const char *target;
        const char *after;
    } cases[] = {
        {"targetnode              ", target, send::TARGET_MASK},
        {"TARGETNODE", target, "TARGETNODE"},  // unpadded: not the target
        {"HomeNode                ", target, send::LOCAL_MASK},
        {"elsewhere", target, "ELSEWHERE"},  // compared as text, so left upper-cased
        // Binary addresses are compared as they stand: a byte that upper-casing would change
        // makes them different.
        {binary_target, binary_target, send::TARGET_MASK},
        {binary_target, target, binary_target},  // whatever the others are; never upper-cased
        {"\xFF\xFF\xFF\xFF"
         "ABCDEFGHIJKLMNOPQRST",
         binary_target,
         "\xFF\xFF\xFF\xFF"
         "ABCDEFGHIJKLMNOPQRST"},
    };
    for (const auto &c : cases) {
        char field[25] = {};
        std::memcpy(field, c.field, std::strlen(c.field));
        send::mask_address(field, c.target, local);
        EXPECT_STREQ(field, c.after) << c.field;
    }
}

TEST(SendMessage, CopyBackRules) {
    _VULE_PARAMETERS32 answer{};
    char name[] = "ANSWERED";
    char display[] = "display";
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

    _VULE_PARAMETERS32 caller{};
    char name_area[32] = "XXXXXXXXXXXX";  // room for what comes back
    char string_area[] = "kept? no";
    uint8_t res_area[8] = {};
    uint8_t ctrl_area[8] = {};
    uint8_t user_area[8] = {};
    caller.command_name = name_area;
    caller.command_string = string_area;  // the answer has none: null
    caller.display_name = nullptr;        // only the answer has one: stays null
    caller.user_res_data = res_area;
    caller.user_ctrl_data = ctrl_area;
    caller.user_data = user_area;
    std::memcpy(caller.reserved_133, "12345", 6);
    caller.correlation_id.numb = 5;
    caller.user_res_data_length = 8;
    caller.user_ctrl_data_length = 8;
    caller.user_data_length = 8;

    send::copy_back(answer, measured(caller), &caller);
    EXPECT_STREQ(caller.command_name, "ANSWERED");
    EXPECT_EQ(caller.command_name, name_area);
    EXPECT_EQ(caller.command_string, nullptr);
    EXPECT_EQ(caller.display_name, nullptr);
    EXPECT_EQ(caller.user_res_data, res_area);
    EXPECT_EQ(res_area[2], 9);
    EXPECT_EQ(caller.user_res_data_length, 3);
    EXPECT_EQ(caller.user_ctrl_data, ctrl_area);
    EXPECT_EQ(caller.user_ctrl_data_length, 5);
    EXPECT_EQ(caller.user_data, nullptr);
    EXPECT_EQ(caller.user_data_length, 2);
    EXPECT_STREQ(caller.exit_name, "TARGET  ");
    EXPECT_EQ(std::memcmp(caller.reserved_133,
                          "ab\0"
                          "45",
                          6),
              0);
    EXPECT_EQ(caller.reserved_147[0], 0);
    EXPECT_EQ(caller.reserved_274[0], 0);
    EXPECT_EQ(caller.correlation_id.numb, 5);
    EXPECT_EQ(caller.extended_reason_code, 0);
    EXPECT_EQ(caller.resource_status_ts.yr, 2026);
}

// A forged answer may carry more than any target could: texts and counts beyond what was sent.
// The copy-back cuts each to what the caller sent in that field and writes nothing past it.
TEST(SendMessage, CopyBackNeverWritesBeyondWhatWasSent) {
    std::string long_text(60000, 'x');
    std::vector<uint8_t> long_data(5000, 0xAB);
    _VULE_PARAMETERS32 answer{};
    for (const codec::Field &f : codec::FIELDS) {
        if (f.form == codec::FieldForm::text) {
            answer.*f.text = long_text.data();
        } else {
            answer.*f.data = long_data.data();
            answer.*f.length = 5000;
        }
    }
    // Each area holds what was sent in it, then guard bytes.
    char areas[codec::FIELD_COUNT][32];
    _VULE_PARAMETERS32 caller{};
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        std::memset(areas[i], 'g', sizeof areas[i]);
        if (f.form == codec::FieldForm::text) {
            std::memcpy(areas[i], "abc", 4);
            caller.*f.text = areas[i];
        } else {
            caller.*f.data = areas[i];
            caller.*f.length = 6;
        }
    }
    send::copy_back(answer, measured(caller), &caller);
    for (size_t i = 0; i < codec::FIELD_COUNT; ++i) {
        const codec::Field &f = codec::FIELDS[i];
        size_t taken = f.form == codec::FieldForm::text ? 4 : 6;
        if (f.form == codec::FieldForm::text) {
            EXPECT_STREQ(areas[i], "xxx") << f.name;
        } else {
            EXPECT_EQ(std::memcmp(areas[i], long_data.data(), 6), 0) << f.name;
            EXPECT_EQ(caller.*f.length, 6) << f.name;
        }
        for (size_t j = taken; j < sizeof areas[i]; ++j) EXPECT_EQ(areas[i][j], 'g') << f.name;
    }
}

// Two pages, the second unreadable: a text at the end of the first runs into it.
class PageEnd {
  public:
    PageEnd() : size_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
        void *p =
            mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        pages_ = p == MAP_FAILED ? nullptr : static_cast<char *>(p);
        if (pages_ == nullptr) return;
        std::memset(pages_, 'r', size_);
        mprotect(pages_ + size_, size_, PROT_NONE);
    }
    ~PageEnd() {
        if (pages_ != nullptr) munmap(pages_, 2 * size_);
    }
    bool ready() const { return pages_ != nullptr; }
    // last: the last n bytes of the readable page.
    char *last(size_t n) { return pages_ + size_ - n; }

  private:
    size_t size_;
    char *pages_;
};

TEST(SendMessage, EveryFieldIsReadThroughBeforeAnythingIsSent) {
    PageEnd page;
    ASSERT_TRUE(page.ready());
    char *unterminated = page.last(6);  // readable at first, no terminator before the end
    for (const codec::Field &f : codec::FIELDS) {
        _VULE_PARAMETERS32 b{};
        send::SentFields sent;
        if (f.form == codec::FieldForm::text) {
            b.*f.text = reinterpret_cast<char *>(16);
            EXPECT_FALSE(send::measure_fields(b, &sent)) << f.name;
            b.*f.text = unterminated;
            EXPECT_FALSE(send::measure_fields(b, &sent)) << f.name;
        } else {
            b.*f.data = page.last(4);
            b.*f.length = 5;
            EXPECT_FALSE(send::measure_fields(b, &sent)) << f.name;
            b.*f.length = 4;
            EXPECT_TRUE(send::measure_fields(b, &sent)) << f.name;
        }
    }
    *page.last(1) = '\0';  // now the text ends just in time
    _VULE_PARAMETERS32 b{};
    b.client_ip_addr_dd = unterminated;
    send::SentFields sent;
    ASSERT_TRUE(send::measure_fields(b, &sent));
    EXPECT_EQ(send::message_size(sent), 460u + 12u + 12u);
}

// Texts pointed into the block itself change when the call rewrites exit_name after measuring
// them; the message is built from what was measured, so its size and its elements agree.
TEST(SendMessage, TextsChangedAfterMeasuringDoNotChangeTheMessage) {
    _VULE_PARAMETERS32 b{};
    for (const codec::Field &f : codec::FIELDS)
        if (f.form == codec::FieldForm::text) b.*f.text = b.exit_name;  // empty now
    send::SentFields sent = measured(b);
    std::memcpy(b.exit_name, "BETA    ", 9);  // as the call does after measuring
    std::vector<uint8_t> m;
    EXPECT_EQ(built(b, sent, &m, "").back(), codec::TYPE_END);
    EXPECT_EQ(m.size(), 472u + 21 * 8);
}

// --- whole calls -------------------------------------------------------------------------------

// The error log of this test process, read back.
class ErrorLog {
  public:
    ErrorLog() : path_("/tmp/kavi_send_test_" + std::to_string(getpid()) + ".log") {
        std::remove(path_.c_str());
        setenv("KAVZ_ERRLOG", path_.c_str(), 1);
    }
    ~ErrorLog() { std::remove(path_.c_str()); }
    std::string text() const {
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

  private:
    std::string path_;
};

TEST(KaviSend, BeforeAnyRegistrationFailsWithSystemError) {
    if (exit_table_mutex != nullptr) GTEST_SKIP() << "needs a process of its own";
    _VULE_PARAMETERS32 b{};
    EXPECT_EQ(KaviSend("ALPHA   ", "BETA", " ", &b), uint32_t{VULE_SYSTEM_ERROR});
}

TEST(KaviSend, NullAndMalformedArguments) {
    _VULE_PARAMETERS32 b{};
    b.extended_reason_code = 5;
    const char *unreadable = reinterpret_cast<const char *>(16);
    auto *unreadable_block = reinterpret_cast<_VULE_PARAMETERS32 *>(16);
    char text[] = "readable";
    const struct {
        const char *calling, *target, *node;
        _VULE_PARAMETERS32 *block;
    } refused[] = {
        {nullptr, "BETA", " ", &b},           {"ALPHA   ", "NINECHARS", " ", &b},
        {"ALPHA   ", "BETA", "", &b},         {"", "BETA", " ", &b},
        {unreadable, "BETA", " ", &b},        {"ALPHA   ", unreadable, " ", &b},
        {"ALPHA   ", "BETA", unreadable, &b}, {"ALPHA   ", "BETA", " ", unreadable_block},
    };
    // Each argument is checked, also when the others are readable.
    b.command_name = text;
    for (const auto &c : refused)
        EXPECT_EQ(KaviSend(c.calling, c.target, c.node, c.block), uint32_t{VULE_INVALID_ARGUMENT})
            << (&c - refused);
    b.command_name = reinterpret_cast<char *>(16);  // unreadable
    EXPECT_EQ(KaviSend("ALPHA   ", "BETA", " ", &b), uint32_t{VULE_INVALID_ARGUMENT});
    EXPECT_EQ(b.extended_reason_code, 5);  // untouched while the arguments are refused
    b.command_name = text;
    b.user_data = text;
    b.user_data_length = 4;
    EXPECT_NE(KaviSend("ALPHA   ", "BETA", " ", &b), uint32_t{VULE_INVALID_ARGUMENT});
    b.user_data = reinterpret_cast<void *>(16);
    EXPECT_EQ(KaviSend("ALPHA   ", "BETA", " ", &b), uint32_t{VULE_INVALID_ARGUMENT});
}

// What the target exit saw, and what it answers with.
std::atomic<int> target_calls{0};
char seen_command[32];
char seen_server_addr[25];

uint32_t KAVI_CALL target_exit(_VULE_PARAMETERS32 *block) {
    ++target_calls;
    std::strncpy(seen_command, block->command_name ? block->command_name : "(null)",
                 sizeof seen_command - 1);
    std::memcpy(seen_server_addr, block->server_ip_addr, 25);
    if (block->display_name != nullptr) block->display_name[0] = 'D';
    block->resource_type = 4242;
    return 0x12345;
}

// send_within: KaviSend on a thread of its own; a call that does not return in time fails the
// test process at once instead of hanging it.
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

// send_once_there: KaviSend to an exit in a child that may not be there yet: until it is, the
// call finds nobody and does not wait.
uint32_t send_once_there(const char *target, _VULE_PARAMETERS32 *block) {
    uint32_t rc = VULE_EXIT_ENDED;
    for (int i = 0; i < 500 && rc == VULE_EXIT_ENDED; ++i) {
        rc = send_within(target, block);
        if (rc == VULE_EXIT_ENDED) plat::sleep_ms(10);
    }
    return rc;
}

class KaviSendBetweenExits : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(KaviInit("alpha", target_exit, 1), VULE_OK);
        ASSERT_EQ(KaviInit("beta", target_exit, 0), VULE_OK);
    }
    void TearDown() override {
        KaviTerminate("beta");
        KaviTerminate("alpha");
    }
    ErrorLog log_;
};

TEST_F(KaviSendBetweenExits, CallingExitMustBeItsPaddedName) {
    _VULE_PARAMETERS32 b{};
    EXPECT_EQ(KaviSend("alpha   ", "beta", " ", &b), uint32_t{VULE_NOT_REGISTERED});
    EXPECT_EQ(KaviSend("ALPHA", "beta", " ", &b), uint32_t{VULE_NOT_REGISTERED});
    std::string log = log_.text();
    EXPECT_NE(log.find("KaviSend site=336 code=4"), std::string::npos) << log;
    // The calling exit as given and the whole exit table.
    EXPECT_NE(log.find("item0=8:616c706861202020 item1=" + std::to_string(sizeof exit_table)),
              std::string::npos)
        << log;
    EXPECT_EQ(target_calls.load(), 0);
}

TEST_F(KaviSendBetweenExits, AnswerIsCopiedBack) {
    _VULE_PARAMETERS32 b{};
    char command[] = "status";
    char display[] = "resource";
    b.command_name = command;
    b.display_name = display;
    codec::set_correlation(&b, 0x00070FF5);
    std::memcpy(b.server_ip_addr, "somewhere", 10);
    uint32_t rc = send_within("beta", &b, "                        ");
    EXPECT_EQ(rc, 0x2345u);
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
}

TEST_F(KaviSendBetweenExits, MessageSizeLimit) {
    // 472 bytes of block, head and end element; a data element of 8 + count rounded up to 4.
    std::vector<uint8_t> data(32300, 0x5A);
    _VULE_PARAMETERS32 b{};
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
    EXPECT_EQ(target_calls.load(), 1);
}

// Texts pointed at the block's own exit_name, which the call rewrites after measuring them: the
// command still goes out whole and is answered.
TEST_F(KaviSendBetweenExits, TextsPointingIntoTheBlockItself) {
    _VULE_PARAMETERS32 b{};
    for (const codec::Field &f : codec::FIELDS)
        if (f.form == codec::FieldForm::text) b.*f.text = b.exit_name;
    EXPECT_EQ(send_within("beta", &b), 0x2345u);
    EXPECT_EQ(target_calls.load(), 1);
    EXPECT_STREQ(seen_command, "");
}

TEST_F(KaviSendBetweenExits, UnknownTargetEndsWithoutWaiting) {
    _VULE_PARAMETERS32 b{};
    std::memcpy(b.client_ip_addr, "keep me", 8);
    const char *node = std::getenv("KAVI_NODE");  // this node by name: the fields stay as given
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(send_within("nobody", &b, node), uint32_t{VULE_EXIT_ENDED});
    EXPECT_STREQ(b.client_ip_addr, "keep me");
    // The call took its wait-list entry with it: a call under the same correlation gets the
    // answer, where a stale entry, older, would have caught it.
    codec::set_correlation(&b, 0);
    EXPECT_EQ(send_within("beta", &b, node), 0x2345u);
    EXPECT_STREQ(b.client_ip_addr, "keep me");
}

// A target exit that holds its command until the test lets it go.
std::atomic<bool> held{false};
std::atomic<bool> release_held{false};

uint32_t KAVI_CALL holding_exit(_VULE_PARAMETERS32 *) {
    held = true;
    for (int i = 0; i < 1000 && !release_held; ++i) plat::sleep_ms(10);
    return 0;
}

TEST(KaviSendWaiting, CallerEndedWhileWaitingGetsExitEnded) {
    ASSERT_EQ(KaviInit("alpha", target_exit, 1), VULE_OK);
    ASSERT_EQ(KaviInit("holder", holding_exit, 1), VULE_OK);
    _VULE_PARAMETERS32 b{};
    char display[] = "unchanged";
    b.display_name = display;
    std::memcpy(b.server_ip_addr, "given", 6);
    std::promise<uint32_t> done;
    std::future<uint32_t> result = done.get_future();
    const char *node = std::getenv("KAVI_NODE");
    std::thread caller([&] { done.set_value(KaviSend("ALPHA   ", "holder", node, &b)); });
    for (int i = 0; i < 500 && !held; ++i) plat::sleep_ms(10);
    ASSERT_TRUE(held.load());

    EXPECT_EQ(KaviTerminate("alpha"), uint32_t{VULE_OK});
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(result.get(), uint32_t{VULE_EXIT_ENDED});
    caller.join();
    release_held = true;
    EXPECT_EQ(b.correlation_id.depth, 1);
    EXPECT_STREQ(b.exit_name, "HOLDER  ");
    EXPECT_STREQ(b.server_ip_addr, "given");
    EXPECT_STREQ(b.display_name, "unchanged");
    KaviTerminate("holder");
}

TEST(KaviSendAcrossProcesses, AnswerFromAnExitInAnotherProcess) {
    // The target lives in a child, forked before this process has threads of its own.
    kavitest::Child target = kavitest::Child::fork_run([] {
        if (KaviInit("remote", target_exit, 1) != VULE_OK) return 1;
        KaviWait("remote", 10);
        return 0;
    });
    ASSERT_EQ(KaviInit("alpha", target_exit, 1), VULE_OK);
    _VULE_PARAMETERS32 b{};
    char command[] = "remote command";
    char display[] = "resource";
    uint8_t data[5] = {1, 2, 3, 4, 5};
    b.command_name = command;
    b.display_name = display;
    b.user_data = data;
    b.user_data_length = 5;
    EXPECT_EQ(send_once_there("remote", &b), 0x2345u);
    EXPECT_EQ(target_calls.load(), 0);  // the exit function ran in the child
    EXPECT_STREQ(b.display_name, "Desource");
    EXPECT_EQ(b.resource_type, 4242u);
    EXPECT_EQ(b.user_data, data);
    EXPECT_EQ(b.user_data_length, 5);
    // The child may not be waiting yet: its exit answers before its main thread gets there.
    uint32_t ended = 0;
    for (int i = 0; i < 500 && ended == 0; ++i) {
        ASSERT_EQ(vulcshutdown(&ended), 0u);
        if (ended == 0) plat::sleep_ms(10);
    }
    EXPECT_EQ(target.wait(10000), 0);
    KaviTerminate("alpha");
}

// A peer in another process answers a KaviSend with more than was sent: a text of 60,000 bytes
// and a data count of 4,000, as an answer of function code 1 and as a reply. The copy-back cuts
// them to what the caller sent and writes nothing beyond.
TEST(KaviSendAcrossProcesses, ForgedLongAnswersAreCutToWhatWasSent) {
    // The forger lives in a child, forked before this process has threads of its own.
    kavitest::Child forger = kavitest::Child::fork_run([] {
        lifecycle::Tool tool("FORGER");
        VULC_CHECKTASK check{};
        check.head.length = sizeof check;
        std::memcpy(check.head.task, "FORGER  ", 8);
        if (vulcchecktask(&check) != VULC_OK) return 1;
        std::memcpy(local_node_address, check.node, 24);
        for (uint16_t function_code : {1, 0}) {
            std::vector<uint8_t> command = tool.receive(20000);
            if (command.size() < codec::FIRST_ELEMENT_OFFSET + 4 + codec::BLOCK_SIZE) return 2;
            uint32_t correlation =
                codec::correlation_in_wire(&command[codec::FIRST_ELEMENT_OFFSET + 4]);
            std::vector<uint8_t> elements;
            lifecycle::add_block(&elements, correlation, "FORGER");
            lifecycle::add_text(&elements, 3, std::string(60000, 'x'));
            std::vector<uint8_t> data(4 + 4000, 0xAB);
            codec::put_u32(data.data(), 4000);
            lifecycle::add_element(&elements, 8 + 4000, 6, data);
            if (function_code == 1) {
                if (tool.send("ALPHA", elements, function_code) != VULC_OK) return 3;
                continue;
            }
            // A reply reaches its call only with the service fields of the command it answers,
            // so it is written by hand behind a copy of the command's header.
            lifecycle::add_status(&elements, 0x77, correlation);
            std::vector<uint8_t> reply(command.begin(),
                                       command.begin() + codec::FIRST_ELEMENT_OFFSET);
            reply.insert(reply.end(), elements.begin(), elements.end());
            codec::put_u16(&reply[VULC_HDR_TOTAL_LENGTH], static_cast<uint16_t>(reply.size()));
            std::memcpy(&reply[VULC_HDR_ORIGIN_NAME], "FORGER  ", 8);
            std::memcpy(&reply[VULC_HDR_DEST_NAME], "ALPHA   ", 8);
            codec::write_element_block_head(
                reply.data(), static_cast<uint16_t>(reply.size() - codec::ELEMENT_BLOCK_OFFSET));
            const std::string inbox = kavc::inbox_path("ALPHA   ");
            if (plat::mailslot_write(inbox.c_str(), reply.data(), reply.size()) != plat::OK)
                return 3;
        }
        return 0;
    });
    ASSERT_EQ(KaviInit("alpha", target_exit, 1), VULE_OK);
    for (uint32_t expected : {uint32_t{VULE_TERMINATING}, 0x77u}) {
        char text[16];
        uint8_t data[16];
        std::memset(text, 'g', sizeof text);
        std::memset(data, 'g', sizeof data);
        std::memcpy(text, "abc", 4);
        _VULE_PARAMETERS32 b{};
        b.command_string = text;
        b.user_data = data;
        b.user_data_length = 6;
        EXPECT_EQ(send_once_there("forger", &b), expected);
        EXPECT_STREQ(text, "xxx");
        for (size_t i = 4; i < sizeof text; ++i) EXPECT_EQ(text[i], 'g') << i;
        for (size_t i = 0; i < 6; ++i) EXPECT_EQ(data[i], 0xAB) << i;
        for (size_t i = 6; i < sizeof data; ++i) EXPECT_EQ(data[i], 'g') << i;
        EXPECT_EQ(b.user_data_length, 6);
    }
    EXPECT_EQ(forger.wait(10000), 0);
    KaviTerminate("alpha");
}

}  // namespace
