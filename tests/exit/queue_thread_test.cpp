// queue_thread_test.cpp — the queue thread against hand-made messages from a tool task, and the
// dispatcher of run mode 0.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>

#include "exit/records.h"
#include "exit/stats.h"
#include "services/kavcacm/buffers.h"
#include "services/kavcacm/names.h"
#include "tests/exit/lifecycle_support.h"
#include "tests/exit/message_builder.h"
#include "tests/support/child_process.h"

namespace {

using namespace lifecycle;

// The exit function records each call's fields and holds a command named GATE until the gate opens.
std::mutex lock;
std::string seen,
    names;  // the last call's command_name, display_name and command_string; all names
std::atomic<int> calls{0}, running{0}, most_running{0};
std::atomic<bool> gate_open{true};

uint32_t KAVI_CALL record_call(_VULE_PARAMETERS32 *b) {
    const std::string name = b->command_name != nullptr ? b->command_name : "(null)";
    {
        std::lock_guard<std::mutex> guard(lock);
        seen = name + ",";
        for (const char *text : {b->display_name, b->command_string})
            seen += std::string(text != nullptr ? text : "(null)") + ",";
        names += name + " ";
    }
    ++calls;
    most_running = std::max(most_running.load(), ++running);
    if (name == "GATE") kavitest::eventually([] { return gate_open.load(); }, 10000);
    --running;
    return 0x12345;
}

class QueueThread : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("KAVI_START_PAUSE_MS", "0", 1);
        ASSERT_EQ(KaviInitialize("QEXIT", record_call), VULE_OK);
    }
    void TearDown() override { EXPECT_EQ(KaviTerminate("QEXIT"), VULE_OK); }
    Tool tool{"QTOOL"};
};

// Malformed messages are logged and released, answers without a waiter and other function codes
// start nothing; none reaches the exit or gets a reply, and the thread goes on to run the next
// good command, whose fields before the block are skipped and whose unknown type ends the walk.
TEST_F(QueueThread, OnlyWellFormedCommandsReachTheExit) {
    std::vector<std::vector<uint8_t>> bad(7);
    add_block(&bad[1], 1);
    add_element(&bad[1], 2, 2, {0, 0});  // element shorter than its head
    add_block(&bad[2], 2);
    add_element(&bad[2], 40, 3, {'A', 0, 0, 0});  // longer than what remains
    add_block(&bad[3], 3);
    add_element(&bad[3], 8, 3, {'A', 'B', 'C', 'D'});  // text without its terminator
    add_block(&bad[4], 4);
    add_element(&bad[4], 12, 6, {100, 0, 0, 0, 1, 2, 3, 4});  // data count beyond the element
    add_text(&bad[5], 2, "NOBLOCK");                          // no parameter block at all
    add_block(&bad[6], 8);
    add_status(&bad[6], 0, 8);  // an answer no call waits for
    for (const auto &elements : bad) ASSERT_EQ(tool.send("QEXIT", elements), VULC_OK);
    const std::vector<uint8_t> command = command_elements(5, "QEXIT", "SHOW");
    ASSERT_EQ(tool.send("QEXIT", command, 0, 4), VULC_OK);  // a header whose lengths disagree
    for (uint16_t code : {1, 3, 7, int{kavi::FUNCTION_QUERY_ANSWER}})
        ASSERT_EQ(tool.send("QEXIT", command, code), VULC_OK);
    std::vector<uint8_t> v;
    add_text(&v, 20, "EARLY");
    add_block(&v, 7);
    add_text(&v, 2, "CMD");
    add_element(&v, 8, 4, {1, 2, 3, 4});
    add_text(&v, 3, "LATE");
    ASSERT_EQ(tool.send("QEXIT", v), VULC_OK);
    expect_reply(tool, 0x2345, 7);
    EXPECT_TRUE(tool.receive(100).empty());
    EXPECT_EQ(calls.load(), 1);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(seen, "CMD,(null),(null),");
}

// Only the exit's own termination stops its queue thread: a stop element from a task of another
// process is ignored, and the exit goes on answering (and still terminates, in TearDown).
TEST_F(QueueThread, StopElementFromAnotherProcessLeavesTheExitRunning) {
    kavitest::Child peer = kavitest::Child::spawn(
        {"/proc/self/exe", "--gtest_filter=QueueThreadPeer.SendsAStopElement"},
        {"KAVI_TEST_PEER_NODE=" + plat::node_name()}, "/dev/null");
    ASSERT_EQ(peer.wait(10000), 0);
    ASSERT_EQ(tool.command("QEXIT", 16), VULC_OK);
    expect_reply(tool, 0x2345, 16);
}

// The peer process of the test above: a task of its own sends QEXIT a stop element.
TEST(QueueThreadPeer, SendsAStopElement) {
    std::string node;
    if (!plat::env_get("KAVI_TEST_PEER_NODE", &node)) GTEST_SKIP() << "peer process only";
    setenv("KAVI_NODE", node.c_str(), 1);
    memcpy(kavi::local_node_address, node_of("QEXIT").data(), 24);
    Tool peer{"QPEER"};
    std::vector<uint8_t> stop;
    add_element(&stop, codec::STOP_ELEMENT_LENGTH, codec::TYPE_STOP, {});
    ASSERT_EQ(peer.send("QEXIT", stop), VULC_OK);
}

// A command written straight into the inbox whose header names a destination that is no task
// name runs; its reply cannot go out under that name, but its buffer is released all the same.
TEST(QueueThreadPeer, CommandWithAnInvalidDestinationIsRunAndReleased) {
    const std::string log = kavitest::make_temp_dir() + "/errors.log";
    setenv("KAVZ_ERRLOG", log.c_str(), 1);
    setenv("KAVI_START_PAUSE_MS", "0", 1);
    const size_t buffers_before = kavc::buffers_live();
    calls = 0;
    ASSERT_EQ(KaviInitialize("QEXIT", record_call), VULE_OK);
    const std::vector<uint8_t> elements = command_elements(0x10, "QEXIT", "SHOW");
    kavitest::Message m;
    m.append(elements.data(), elements.size());
    memcpy(m.data() + VULC_HDR_ORIGIN_NAME, "PEER    ", 8);
    memcpy(m.data() + VULC_HDR_ORIGIN_NODE, kavc::local_node(), 24);
    memcpy(m.data() + VULC_HDR_DEST_NAME, "\x01/..\0\0\0\0", 8);
    const std::string inbox = kavc::inbox_path(pad("QEXIT").data());
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(plat::mailslot_write(inbox.c_str(), m.data(), m.size()), 0u);
    EXPECT_TRUE(kavitest::eventually(
        [&] {
            return calls.load() == 3 && kavc::buffers_live() == buffers_before &&
                   kavitest::read_file(log).find("VulequetInvokeExit site=1320") !=
                       std::string::npos;
        },
        10000));
    EXPECT_EQ(KaviTerminate("QEXIT"), VULE_OK);
    const std::string errors = kavitest::read_file(log);
    EXPECT_EQ(errors.find("vulcfreemem"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("site=1337"), std::string::npos) << errors;
}

// --- run mode 0: the dispatcher ---

// queued_kinds: the kinds of the records on the exit's work list, front first.
std::vector<uint32_t> queued_kinds() {
    std::vector<uint32_t> kinds;
    kavi::ExitSlot &slot = kavi::exit_table[0];
    kavi::Lock held(slot.dispatcher_mutex);
    EXPECT_TRUE(held.held());
    for (void *node = slot.work_list.first; node != nullptr; node = *static_cast<void **>(node))
        kinds.push_back(static_cast<kavi::InvocationRecord **>(node)[2]->kind);
    return kinds;
}

// send_behind_a_gate: GATE as command `first`, then up to `last` while it runs; true once queued.
bool send_behind_a_gate(Tool &tool, uint32_t first, uint32_t last) {
    gate_open = false;
    EXPECT_EQ(tool.command("DEXIT", first, "GATE"), VULC_OK);
    if (!kavitest::eventually([] { return running == 1; }, 5000)) return false;
    for (uint32_t i = first + 1; i <= last; ++i)
        EXPECT_EQ(tool.command("DEXIT", i, "C" + std::to_string(i)), VULC_OK);
    return kavitest::eventually([&] { return queued_kinds().size() == last - first; }, 5000);
}

// Queued commands run one at a time in posting order. A stop goes to the front of the list: the
// running command completes, the queued ones are answered 0x8001 and never run.
TEST(Dispatcher, CommandsRunOneAtATimeInPostingOrderAndStopAnswersQueuedOnes) {
    ASSERT_EQ(KaviInit("DEXIT", record_call, 0), VULE_OK);
    Tool tool{"DTOOL"};
    ASSERT_TRUE(send_behind_a_gate(tool, 1, 4));
    gate_open = true;
    for (uint32_t i = 1; i <= 4; ++i) expect_reply(tool, 0x2345, i);
    ASSERT_TRUE(send_behind_a_gate(tool, 5, 7));
    std::atomic<uint32_t> terminated{UINT32_MAX};
    std::thread terminator([&] { terminated = KaviTerminate("DEXIT"); });
    ASSERT_TRUE(kavitest::eventually(
        [] {
            std::vector<uint32_t> kinds = queued_kinds();
            return kinds.size() == 3 && kinds[0] == kavi::INVOCATION_STOP;
        },
        5000));
    gate_open = true;
    terminator.join();
    EXPECT_EQ(terminated.load(), VULE_OK);
    expect_reply(tool, 0x2345, 5);
    for (uint32_t i = 6; i <= 7; ++i) expect_reply(tool, VULE_EXIT_ENDED, i);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(names, "GATE C2 C3 C4 GATE ");
    EXPECT_EQ(most_running.load(), 1);
}

// Every operator new of the process is counted, except on threads that opt out: the seam counts
// only what goes through the platform's allocation, and a string or node made on the command
// path must show as well.
std::atomic<uint64_t> news{0};
thread_local bool news_counted = true;

uint32_t KAVI_CALL answer_only(_VULE_PARAMETERS32 *) {
    return 0x12345;
}

// A command in run mode 0 allocates its received buffer, its invocation record and the node
// that carries the record on the work list, and nothing else: the reply is built in the buffer
// the command came in. The tool's own sends and receives on this thread are not counted.
TEST(Dispatcher, CommandAllocatesOnlyItsBufferRecordAndListNode) {
    ASSERT_EQ(KaviInit("AEXIT", answer_only, 0), VULE_OK);
    Tool tool{"ATOOL"};
    plat::fault_not_counted();
    news_counted = false;
    ASSERT_EQ(tool.command("AEXIT", 1), VULC_OK);  // whatever a first command sets up
    expect_reply(tool, 0x2345, 1);
    constexpr uint32_t COMMANDS = 20;
    const uint64_t seam_before = plat::fault_reached(plat::Fault::alloc);
    const uint64_t news_before = news.load();
    for (uint32_t i = 2; i < 2 + COMMANDS; ++i) {
        ASSERT_EQ(tool.command("AEXIT", i), VULC_OK);
        expect_reply(tool, 0x2345, i);
    }
    EXPECT_EQ(plat::fault_reached(plat::Fault::alloc) - seam_before, 3 * COMMANDS);
    EXPECT_EQ(news.load() - news_before, 0u);
    EXPECT_EQ(KaviTerminate("AEXIT"), VULE_OK);
}

}  // namespace

// Every form of new and delete is replaced, so that what one takes the other gives back. GCC
// takes the free of what these took with malloc for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

static void *counted_new(size_t size) noexcept {
    if (news_counted) news.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size != 0 ? size : 1);
}
void *operator new(size_t size) {
    if (void *p = counted_new(size)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t size) {
    return operator new(size);
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return counted_new(size);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    return counted_new(size);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}
