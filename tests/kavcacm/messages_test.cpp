// messages_test.cpp — messages between tasks: commands and replies across processes, the header
// the service fills, the router, unreachable destinations, and what a reader is guaranteed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "platform/platform.h"
#include "services/kavcacm/task_client.h"
#include "tests/support/child_process.h"

using namespace kavc;
using namespace kavitest;

namespace {

uint16_t u16(const void *msg, size_t at) {
    auto *p = static_cast<const unsigned char *>(msg) + at;
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t u32(const void *msg, size_t at) {
    return u16(msg, at) | uint32_t{u16(msg, at + 2)} << 16;
}

std::string text(const void *msg, size_t at, size_t len) {
    return std::string(static_cast<const char *>(msg) + at, len);
}

// A command of `length` bytes whose body (from offset 112) is filled with `fill`.
void *command(const std::string &task, uint32_t length, char fill) {
    void *buffer = allocate(task, length);
    if (buffer != nullptr) std::memset(static_cast<char *>(buffer) + 112, fill, length - 112);
    return buffer;
}

// The server of the exchange: answers each command in the buffer it arrived in, 10 bytes
// longer, to its origin; ends on function code 3.
int serve(const std::string &name) {
    Started s = start(name);
    if (s.rc != VULC_OK) return 10;
    for (;;) {
        void *msg = nullptr;
        uint32_t len = 0;
        if (receive_wait(name, s.receive_handle, &msg, &len, 10000) != VULC_OK) return 11;
        if (u16(msg, VULC_HDR_FUNCTION) == 3) return release(name, msg) == VULC_OK ? 0 : 12;
        std::memset(static_cast<char *>(msg) + len, 'R', 10);
        std::string origin = text(msg, VULC_HDR_ORIGIN_NAME, 8);
        std::string node = text(msg, VULC_HDR_ORIGIN_NODE, 24);
        if (send(name, origin, msg, len + 10, 0, node) != VULC_OK) return 13;
        if (release(name, msg) != VULC_OK) return 14;
    }
}

}  // namespace

TEST(Messages, TwoProcessesExchangeCommandsAndReplies) {
    Child server = Child::fork_run([] { return serve("SERVER"); });
    Started me = start("CLIENT");
    ASSERT_EQ(me.rc, VULC_OK);
    ASSERT_TRUE(eventually([] { return check("SERVER") == VULC_OK; }, 5000));
    for (uint32_t length : {112u, 118u, 800u, 4000u}) {
        void *cmd = command("CLIENT", length, 'C');
        ASSERT_EQ(send("CLIENT", "SERVER", cmd, length), VULC_OK);
        uint32_t id = u32(cmd, VULC_HDR_MESSAGE_ID);
        char cmd_header[VULC_HEADER_LENGTH];
        std::memcpy(cmd_header, cmd, sizeof cmd_header);
        ASSERT_EQ(release("CLIENT", cmd), VULC_OK);
        void *reply = nullptr;
        uint32_t len = 0;
        ASSERT_EQ(receive_wait("CLIENT", me.receive_handle, &reply, &len, 5000), VULC_OK);
        EXPECT_EQ(len, length + 10);
        EXPECT_EQ(u16(reply, VULC_HDR_TOTAL_LENGTH), length + 10);
        EXPECT_EQ(u32(reply, VULC_HDR_MESSAGE_ID), id);  // carried back, so replies match
        EXPECT_EQ(u32(reply, VULC_HDR_SEND_TIME), u32(cmd_header, VULC_HDR_SEND_TIME));
        EXPECT_EQ(text(reply, VULC_HDR_ORIGIN_NAME, 8), "SERVER  ");
        EXPECT_EQ(text(reply, VULC_HDR_DEST_NAME, 8), "CLIENT  ");
        EXPECT_EQ(text(reply, 112, length - 112), std::string(length - 112, 'C'));
        EXPECT_EQ(text(reply, length, 10), std::string(10, 'R'));
        EXPECT_EQ(release("CLIENT", reply), VULC_OK);
    }
    void *end = command("CLIENT", 120, 0);
    ASSERT_EQ(send("CLIENT", "SERVER", end, 120, 3), VULC_OK);
    release("CLIENT", end);
    EXPECT_EQ(server.wait(10000), 0);
}

TEST(Messages, TheServiceFillsTheHeader) {
    ASSERT_EQ(start("FROM").rc, VULC_OK);
    Started to = start("TO");
    ASSERT_EQ(to.rc, VULC_OK);
    void *first = command("FROM", 150, 'x');
    void *second = command("FROM", 150, 'y');
    auto before = std::chrono::system_clock::now().time_since_epoch();
    ASSERT_EQ(send("FROM", "to", first, 150, 2), VULC_OK);
    ASSERT_EQ(send("FROM", "TO", second, 130), VULC_OK);
    void *msg = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(receive_wait("TO", to.receive_handle, &msg, &len, 5000), VULC_OK);
    EXPECT_EQ(len, 150u);
    EXPECT_EQ(u16(msg, VULC_HDR_TOTAL_LENGTH), 150);
    EXPECT_EQ(u16(msg, VULC_HDR_TYPE), 0x1040);
    EXPECT_EQ(u16(msg, VULC_HDR_HEADER_LENGTH), 108);
    EXPECT_EQ(u16(msg, VULC_HDR_LEVEL), 1);
    EXPECT_EQ(text(msg, VULC_HDR_ORIGIN_NAME, 8), "FROM    ");
    EXPECT_EQ(text(msg, VULC_HDR_ORIGIN_NODE, 24), reported_node());
    EXPECT_EQ(text(msg, VULC_HDR_DEST_NAME, 8), "TO      ");
    EXPECT_EQ(u16(msg, VULC_HDR_FUNCTION), 2);
    EXPECT_EQ(u16(msg, VULC_HDR_SERVICE_LEVEL), 1);
    uint64_t sent = u32(msg, VULC_HDR_SEND_TIME) | uint64_t{u32(msg, VULC_HDR_SEND_TIME + 4)} << 32;
    EXPECT_GE(sent, static_cast<uint64_t>(
                        std::chrono::duration_cast<std::chrono::nanoseconds>(before).count()));
    uint32_t first_id = u32(msg, VULC_HDR_MESSAGE_ID);
    EXPECT_NE(first_id, 0u);
    release("TO", msg);
    ASSERT_EQ(receive_wait("TO", to.receive_handle, &msg, &len, 5000), VULC_OK);
    EXPECT_EQ(len, 130u);
    EXPECT_EQ(u16(msg, VULC_HDR_FUNCTION), 0);
    EXPECT_NE(u32(msg, VULC_HDR_MESSAGE_ID), first_id);
    release("TO", msg);
    release("FROM", first);
    release("FROM", second);
}

TEST(Messages, TheRouterDeliversToTheExitNamedInTheMessage) {
    ASSERT_EQ(start("SENDER").rc, VULC_OK);
    Started exit = start("MYEXIT");
    ASSERT_EQ(exit.rc, VULC_OK);
    void *cmd = command("SENDER", 470, 0);
    std::memcpy(static_cast<char *>(cmd) + VULC_ROUTER_NAME_OFFSET, "myexit", 7);
    ASSERT_EQ(send("SENDER", "KAVIEXIT", cmd, 470), VULC_OK);
    void *msg = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(receive_wait("MYEXIT", exit.receive_handle, &msg, &len, 5000), VULC_OK);
    EXPECT_EQ(text(msg, VULC_HDR_DEST_NAME, 8), "MYEXIT  ");
    release("MYEXIT", msg);

    std::memcpy(static_cast<char *>(cmd) + VULC_ROUTER_NAME_OFFSET, "NOEXIT  \0", 9);
    EXPECT_EQ(send("SENDER", "KAVIEXIT", cmd, 470), VULC_UNREACHABLE);
    // Too short to hold the exit name: refused, never read beyond what is sent.
    EXPECT_EQ(send("SENDER", "KAVIEXIT", cmd, VULC_ROUTER_NAME_OFFSET + 8), VULC_INVALID_REQUEST);
    release("SENDER", cmd);
}

TEST(Messages, UnreachableDestinationsAndUnstartedSenders) {
    ASSERT_EQ(start("LONELY").rc, VULC_OK);
    ASSERT_EQ(start("PEER").rc, VULC_OK);
    void *cmd = command("LONELY", 200, 0);
    EXPECT_EQ(send("LONELY", "NOBODY", cmd, 200), VULC_UNREACHABLE);
    EXPECT_EQ(send("LONELY", "PEER", cmd, 200, 0, "ELSEWHERE"), VULC_UNREACHABLE);
    EXPECT_EQ(send("LONELY", "KAVIEXIT", cmd, 200, 0, "ELSEWHERE"), VULC_UNREACHABLE);
    EXPECT_EQ(send("STRANGER", "PEER", cmd, 200), VULC_NOT_STARTED);
    // Lengths the buffer cannot back, and buffers that are not the service's.
    EXPECT_EQ(send("LONELY", "PEER", cmd, 111), VULC_INVALID_REQUEST);
    EXPECT_EQ(send("LONELY", "PEER", cmd, 200 + VULC_BUFFER_SPARE + 1), VULC_INVALID_REQUEST);
    char own[300] = {};
    EXPECT_EQ(send("LONELY", "PEER", own + 32, 200), VULC_INVALID_REQUEST);
    EXPECT_EQ(send("LONELY", "PEER", cmd, 200), VULC_OK);
    release("LONELY", cmd);
}

TEST(Messages, EveryBufferHasRoomBeyondTheMessage) {
    Started s = start("ROOMY");
    ASSERT_EQ(s.rc, VULC_OK);
    for (uint32_t length : {112u, 113u, 126u, 5000u}) {
        void *cmd = command("ROOMY", length, 'm');
        std::memset(static_cast<char *>(cmd) + length, 'w', VULC_BUFFER_SPARE);
        ASSERT_EQ(send("ROOMY", "ROOMY", cmd, length), VULC_OK);
        release("ROOMY", cmd);
        void *msg = nullptr;
        uint32_t len = 0;
        ASSERT_EQ(receive_wait("ROOMY", s.receive_handle, &msg, &len, 5000), VULC_OK);
        ASSERT_EQ(len, length);
        size_t zeroed = std::max<size_t>(len + VULC_BUFFER_SPARE, VULC_BUFFER_MIN) - len;
        EXPECT_EQ(text(msg, len, zeroed), std::string(zeroed, '\0'));
        std::memset(static_cast<char *>(msg) + len, 'w', zeroed);  // writable (ASan checks)
        release("ROOMY", msg);
    }
}

// Malformed datagrams from a peer are dropped and logged, the good message after them gets
// through, and a flood of them writes an entry and a count now and then, not one entry each.
TEST(Messages, MalformedDatagramsAreDroppedAndAFloodIsLoggedOnce) {
    constexpr int JUNK = 1000;
    std::string log = make_temp_dir() + "/errors.log";
    setenv("KAVZ_ERRLOG", log.c_str(), 1);
    Started s = start("INBOX");
    ASSERT_EQ(s.rc, VULC_OK);
    Child peer = Child::fork_run([] {
        const char *path = "\\\\.\\MAILSLOT\\KAVCACM\\TASK\\INBOX";
        unsigned char junk[300] = {};
        for (int i = 0; i < JUNK; ++i) {
            junk[0] = static_cast<unsigned char>(i % 3 == 0 ? 0 : 0x2C);  // else total length 300
            junk[1] = static_cast<unsigned char>(i % 3 == 0 ? 0 : 0x01);
            size_t size = i % 3 == 0 ? 50 : i % 3 == 1 ? 200 : 0;  // short, disagreeing, empty
            if (plat::mailslot_write(path, junk, size) != 0) return 1;
        }
        if (start("PEER").rc != VULC_OK) return 2;
        void *good = command("PEER", 140, 'g');
        // exit(), not a return: the exit handlers deliver what still waits behind the junk.
        exit(send("PEER", "INBOX", good, 140) == VULC_OK ? 0 : 3);
    });
    void *msg = nullptr;
    uint32_t len = 0;
    ASSERT_EQ(receive_wait("INBOX", s.receive_handle, &msg, &len, 20000), VULC_OK);
    EXPECT_EQ(len, 140u);
    release("INBOX", msg);
    EXPECT_EQ(peer.wait(10000), 0);
    EXPECT_EQ(receive("INBOX", s.receive_handle, &msg, &len), VULC_NO_DATA);
    std::string entries = read_file(log);
    size_t count = 0;
    for (size_t at = entries.find("vulcrcvdata"); at != std::string::npos;
         at = entries.find("vulcrcvdata", at + 1)) {
        ++count;
    }
    // One entry and one count per second of the flood at most.
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, 10u) << entries;
    unsetenv("KAVZ_ERRLOG");
}

TEST(Messages, ABurstToASleepingReaderNeitherStallsNorLoses) {
    constexpr int COUNT = 1000;
    Child reader = Child::fork_run([] {
        Started s = start("SLOW");
        if (s.rc != VULC_OK) return 10;
        plat::sleep_ms(1000);
        for (int i = 0; i < COUNT; ++i) {
            void *msg = nullptr;
            uint32_t len = 0;
            if (receive_wait("SLOW", s.receive_handle, &msg, &len, 10000) != VULC_OK) return 11;
            bool in_order = len == 1024 && u32(msg, 112) == static_cast<uint32_t>(i);
            release("SLOW", msg);
            if (!in_order) return 12;
        }
        return 0;
    });
    ASSERT_EQ(start("FAST").rc, VULC_OK);
    ASSERT_TRUE(eventually([] { return check("SLOW") == VULC_OK; }, 5000));
    auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < COUNT; ++i) {
        void *cmd = command("FAST", 1024, 0);
        std::memcpy(static_cast<char *>(cmd) + 112, &i, 4);
        ASSERT_EQ(send("FAST", "SLOW", cmd, 1024), VULC_OK) << i;
        release("FAST", cmd);
    }
    auto elapsed = std::chrono::steady_clock::now() - begin;
    // The reader sleeps a whole second after starting its task; every send is done before.
    EXPECT_LT(elapsed, std::chrono::milliseconds(800));
    EXPECT_EQ(reader.wait(20000), 0);
}

TEST(Messages, StoppingATaskWakesItsWaiterAndFreesTheName) {
    Started s = start("WAITER");
    ASSERT_EQ(s.rc, VULC_OK);
    auto waiting = std::async(std::launch::async, [&] { return socwait(s.wait_handle, -1); });
    plat::sleep_ms(50);  // the waiter is most likely blocked by now; either way it must end
    ASSERT_EQ(stop("WAITER"), VULC_OK);
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), VULC_INVALID_HANDLE);
    void *msg = nullptr;
    uint32_t len = 0;
    EXPECT_EQ(receive("WAITER", s.receive_handle, &msg, &len), VULC_INVALID_HANDLE);
    EXPECT_EQ(start("WAITER").rc, VULC_OK);
}
