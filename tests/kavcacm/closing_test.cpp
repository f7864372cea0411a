// closing_test.cpp — a task closed to new messages: senders are refused, what is in its inbox
// is still handed out, then the end is reported; and the identity that tells one start of a
// name from the next.
#include <gtest/gtest.h>

#include <cstring>

#include "services/kavcacm/request_block.h"
#include "services/kavcacm/task_client.h"

using namespace kavc;

namespace {

uint32_t close_task(const std::string &task) {
    auto block = request_for<VULC_STOPCOM>(padded(task).c_str());
    return vulcclosecom(&block);
}

uint32_t identify(const std::string &target, uint64_t *identity,
                  const std::string &node = reported_node()) {
    auto block = request_for<VULC_TASKIDENT>("ASKER   ");
    std::memcpy(block.target, padded(target).data(), 8);
    std::memcpy(block.node, node.data(), std::min<size_t>(node.size(), 24));
    uint32_t rc = vulctaskident(&block);
    *identity = block.identity;
    return rc;
}

uint32_t send_one(const std::string &from, const std::string &to) {
    void *buffer = allocate(from, 120);
    uint32_t rc = send(from, to, buffer, 120);
    release(from, buffer);
    return rc;
}

TEST(Closing, RefusesNewMessagesAndHandsOutWhatIsThereThenReportsTheEnd) {
    Started reader = start("READER");
    ASSERT_EQ(reader.rc, VULC_OK);
    ASSERT_EQ(start("WRITER").rc, VULC_OK);
    ASSERT_EQ(send_one("WRITER", "READER"), VULC_OK);
    ASSERT_EQ(send_one("WRITER", "READER"), VULC_OK);

    ASSERT_EQ(close_task("READER"), VULC_OK);
    EXPECT_EQ(send_one("WRITER", "READER"), VULC_UNREACHABLE);
    EXPECT_EQ(check("READER"), VULC_OK);  // still started until it is stopped
    void *buffer = nullptr;
    uint32_t length = 0;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(receive_wait("READER", reader.receive_handle, &buffer, &length, 5000), VULC_OK);
        EXPECT_EQ(length, 120u);
        release("READER", buffer);
    }
    EXPECT_EQ(socwait(reader.wait_handle, -1), VULC_CLOSED);  // no longer waits
    EXPECT_EQ(receive("READER", reader.receive_handle, &buffer, &length), VULC_CLOSED);
    EXPECT_EQ(stop("READER"), VULC_OK);
    EXPECT_EQ(close_task("READER"), VULC_NOT_STARTED);
    stop("WRITER");
}

TEST(Closing, EachStartOfANameHasAnIdentityOfItsOwn) {
    ASSERT_EQ(start("ASKER").rc, VULC_OK);
    uint64_t first = 0;
    uint64_t again = 0;
    uint64_t second = 0;
    EXPECT_EQ(identify("TARGET", &first), VULC_NOT_STARTED);
    ASSERT_EQ(start("TARGET").rc, VULC_OK);
    ASSERT_EQ(identify("TARGET", &first), VULC_OK);
    ASSERT_EQ(identify("target", &again), VULC_OK);
    EXPECT_EQ(again, first);
    ASSERT_EQ(stop("TARGET"), VULC_OK);
    EXPECT_EQ(identify("TARGET", &second), VULC_NOT_STARTED);
    ASSERT_EQ(start("TARGET").rc, VULC_OK);
    ASSERT_EQ(identify("TARGET", &second), VULC_OK);
    EXPECT_NE(second, first);
    EXPECT_EQ(identify("TARGET", &second, "SOMEWHERE ELSE"), VULC_UNREACHABLE);
    stop("TARGET");
    stop("ASKER");
}

}  // namespace
