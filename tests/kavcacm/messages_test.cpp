// messages_test.cpp — messages between tasks: commands and replies across processes, the header
// the service fills, the router, unreachable destinations, and what a reader is guaranteed.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"
#include "services/kavcacm/task_client.h"
#include "tests/support/child_process.h"

using namespace kavc;
using namespace kavitest;

namespace {

uint64_t num(const void *msg, size_t at, size_t size = 4) {
    uint64_t v = 0;
    std::memcpy(&v, static_cast<const char *>(msg) + at, size);  // little-endian, as is the host
    return v;
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

// next: the task's next message within `timeout_ms`, or null; *len gets its length.
void *next(const std::string &task, const Started &s, uint32_t *len, int timeout_ms = 5000) {
    void *msg = nullptr;
    return receive_wait(task, s.receive_handle, &msg, len, timeout_ms) == VULC_OK ? msg : nullptr;
}

// The server of the exchange: answers each command in the buffer it arrived in, 10 bytes
// longer, to its origin; ends on function code 3.
int serve(const std::string &name) {
    Started s = start(name);
    for (uint32_t len = 0;;) {
        void *msg = next(name, s, &len, 10000);
        if (msg == nullptr) return 11;
        if (num(msg, VULC_HDR_FUNCTION, 2) == 3) return release(name, msg) == VULC_OK ? 0 : 12;
        std::memset(static_cast<char *>(msg) + len, 'R', 10);
        if (send(name, text(msg, VULC_HDR_ORIGIN_NAME, 8), msg, len + 10, 0,
                 text(msg, VULC_HDR_ORIGIN_NODE, 24)) != VULC_OK ||
            release(name, msg) != VULC_OK)
            return 13;
    }
}

}  // namespace

// The service fills the header of each command sent; a reply in the same buffer carries the
// message id and send time back; every buffer read has zeroed room beyond the message.
TEST(Messages, TwoProcessesExchangeCommandsAndRepliesWithTheHeaderTheServiceFills) {
    Child server = Child::fork_run([] { return serve("SERVER"); });
    Started me = start("CLIENT");
    ASSERT_TRUE(eventually([] { return check("SERVER") == VULC_OK; }, 5000));
    uint64_t last_id = 0;
    for (uint32_t length : {4000u, 800u, 113u, 112u}) {  // longest first: stale bytes would show
        void *cmd = command("CLIENT", length, 'C');
        uint64_t before = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
        ASSERT_EQ(send("CLIENT", "server", cmd, length, 2), VULC_OK);
        const std::string copy = text(cmd, 0, VULC_HEADER_LENGTH);
        const char *header = copy.data();
        ASSERT_EQ(release("CLIENT", cmd), VULC_OK);
        for (auto [at, value] : {std::pair{VULC_HDR_TOTAL_LENGTH, length},
                                 {VULC_HDR_TYPE, 0x1040u},
                                 {VULC_HDR_HEADER_LENGTH, 108u},
                                 {VULC_HDR_LEVEL, 1u},
                                 {VULC_HDR_FUNCTION, 2u},
                                 {VULC_HDR_SERVICE_LEVEL, 1u}})
            EXPECT_EQ(num(header, at, 2), value) << "at " << at;
        EXPECT_EQ(text(header, VULC_HDR_ORIGIN_NAME, 8), "CLIENT  ");
        EXPECT_EQ(text(header, VULC_HDR_ORIGIN_NODE, 24), reported_node());
        EXPECT_EQ(text(header, VULC_HDR_DEST_NAME, 8), "SERVER  ");
        EXPECT_GE(num(header, VULC_HDR_SEND_TIME, 8), before);
        EXPECT_NE(num(header, VULC_HDR_MESSAGE_ID), 0u);
        EXPECT_NE(num(header, VULC_HDR_MESSAGE_ID), last_id);
        last_id = num(header, VULC_HDR_MESSAGE_ID);
        uint32_t len = 0;
        void *reply = next("CLIENT", me, &len);
        ASSERT_NE(reply, nullptr);
        EXPECT_EQ(len, length + 10);
        EXPECT_EQ(num(reply, VULC_HDR_TOTAL_LENGTH, 2), length + 10);
        EXPECT_EQ(num(reply, VULC_HDR_FUNCTION, 2), 0u);
        EXPECT_EQ(text(reply, VULC_HDR_MESSAGE_ID, 12), text(header, VULC_HDR_MESSAGE_ID, 12));
        EXPECT_EQ(text(reply, VULC_HDR_ORIGIN_NAME, 8), "SERVER  ");
        EXPECT_EQ(text(reply, VULC_HDR_DEST_NAME, 8), "CLIENT  ");
        EXPECT_EQ(text(reply, 112, length - 112), std::string(length - 112, 'C'));
        EXPECT_EQ(text(reply, length, 10), std::string(10, 'R'));
        size_t zeroed = std::max<size_t>(len + VULC_BUFFER_SPARE, VULC_BUFFER_MIN) - len;
        EXPECT_EQ(text(reply, len, zeroed), std::string(zeroed, '\0'));
        std::memset(static_cast<char *>(reply) + len, 'w', zeroed);  // writable (ASan checks)
        EXPECT_EQ(release("CLIENT", reply), VULC_OK);
    }
    void *stop = command("CLIENT", 120, 0);
    ASSERT_EQ(send("CLIENT", "SERVER", stop, 120, 3), VULC_OK);
    EXPECT_EQ(release("CLIENT", stop), VULC_OK);
    EXPECT_EQ(server.wait(10000), 0);
}

// The router hands a message to the exit it names. A name nobody holds, another node, a sender
// not started, a length the buffer cannot back, a buffer not the service's, or a message to the
// router too short to hold the name (never read beyond what is sent) does not get through.
TEST(Messages, TheRouterDeliversToTheExitNamedAndNothingElseGetsThrough) {
    ASSERT_EQ(start("LONELY").rc, VULC_OK);
    Started exit = start("MYEXIT");
    void *cmd = command("LONELY", 470, 0), *routed = command("LONELY", 470, 0);
    std::memcpy(static_cast<char *>(routed) + VULC_ROUTER_NAME_OFFSET, "myexit", 7);
    ASSERT_EQ(send("LONELY", "KAVIEXIT", routed, 470), VULC_OK);
    uint32_t len = 0;
    void *msg = next("MYEXIT", exit, &len);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(text(msg, VULC_HDR_DEST_NAME, 8), "MYEXIT  ");
    EXPECT_EQ(release("MYEXIT", msg), VULC_OK);
    std::memcpy(static_cast<char *>(cmd) + VULC_ROUTER_NAME_OFFSET, "NOEXIT  \0", 9);
    char own[500] = {};
    const std::tuple<const char *, const char *, void *, uint32_t, const char *, uint32_t> cases[] =
        {{"LONELY", "KAVIEXIT", cmd, 470, "", VULC_UNREACHABLE},
         {"LONELY", "KAVIEXIT", routed, VULC_ROUTER_NAME_OFFSET + 8, "", VULC_INVALID_REQUEST},
         {"LONELY", "NOBODY", cmd, 200, "", VULC_UNREACHABLE},
         {"LONELY", "MYEXIT", cmd, 200, "ELSEWHERE", VULC_UNREACHABLE},
         {"LONELY", "KAVIEXIT", routed, 200, "ELSEWHERE", VULC_UNREACHABLE},
         {"STRANGER", "MYEXIT", cmd, 200, "", VULC_NOT_STARTED},
         {"LONELY", "MYEXIT", cmd, 111, "", VULC_INVALID_REQUEST},
         {"LONELY", "MYEXIT", cmd, 470 + VULC_BUFFER_SPARE + 1, "", VULC_INVALID_REQUEST},
         {"LONELY", "MYEXIT", own + 32, 200, "", VULC_INVALID_REQUEST},
         {"LONELY", "MYEXIT", cmd, 200, "", VULC_OK}};
    for (auto [from, to, buffer, length, node, rc] : cases)
        EXPECT_EQ(send(from, to, buffer, length, 0, node), rc) << to << " " << length;
    EXPECT_EQ(release("LONELY", cmd), VULC_OK);
    EXPECT_EQ(release("LONELY", routed), VULC_OK);
}

// Malformed datagrams from a peer are dropped and logged, the good message after them gets
// through, and a flood of them writes an entry and a count now and then, not one entry each.
TEST(Messages, MalformedDatagramsAreDroppedAndAFloodIsLoggedOnce) {
    std::string log = make_temp_dir() + "/errors.log";
    setenv("KAVZ_ERRLOG", log.c_str(), 1);
    Started s = start("INBOX");
    Child peer = Child::fork_run([] {
        unsigned char junk[300] = {};
        for (int i = 0; i < 1000; ++i) {
            junk[0] = i % 3 == 0 ? 0 : 0x2C;  // else total length 300
            junk[1] = i % 3 == 0 ? 0 : 0x01;
            size_t size = i % 3 == 0 ? 50 : i % 3 == 1 ? 200 : 0;  // short, disagreeing, empty
            if (plat::mailslot_write("\\\\.\\MAILSLOT\\KAVCACM\\TASK\\INBOX", junk, size) != 0)
                return 1;
        }
        start("PEER");
        // exit(), not a return: the exit handlers deliver what still waits behind the junk.
        exit(send("PEER", "INBOX", command("PEER", 140, 'g'), 140) == VULC_OK ? 0 : 3);
    });
    uint32_t len = 0;
    void *good = next("INBOX", s, &len, 20000);
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(len, 140u);
    EXPECT_EQ(release("INBOX", good), VULC_OK);
    EXPECT_EQ(peer.wait(10000), 0);
    void *msg = nullptr;
    EXPECT_EQ(receive("INBOX", s.receive_handle, &msg, &len), VULC_NO_DATA);
    std::string entries = read_file(log);
    size_t count = 0;
    for (size_t at = 0; (at = entries.find("vulcrcvdata", at)) != std::string::npos; ++at) ++count;
    EXPECT_GE(count, 1u);
    EXPECT_LE(count, 10u) << entries;  // one entry and one count per second of the flood at most
}
