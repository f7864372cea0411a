// mailslot_helpers.h — what the mailslot tests of both systems write and read with: names under
// the mailslot prefix, messages whose every byte tells where it belongs, and a held mailslot.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace mailslot_helpers {

inline std::string slot(const std::string &name) {
    return "\\\\.\\MAILSLOT\\" + name;
}

// A message whose every byte depends on its sequence number and position.
inline std::string message(uint32_t seq, size_t size) {
    std::string m(size, '\0');
    for (size_t i = 0; i < size; ++i) m[i] = static_cast<char>((seq * 131 + i * 7) & 0xff);
    if (size >= sizeof seq) std::memcpy(m.data(), &seq, sizeof seq);
    return m;
}

inline uint32_t send(const std::string &name, const std::string &data) {
    return plat::mailslot_write(slot(name).c_str(), data.data(), data.size());
}

// read_message: the next message, or "<rc>" when the read failed. One reader per process.
inline std::string read_message(plat::Mailslot *m, int32_t timeout_ms = 5000) {
    static std::vector<char> buf(plat::MAILSLOT_MAX_MESSAGE);
    size_t len = 0;
    uint32_t rc = plat::mailslot_read(m, buf.data(), buf.size(), &len, timeout_ms);
    return rc == plat::OK ? std::string(buf.data(), len) : "<" + std::to_string(rc) + ">";
}

inline plat::Mailslot *create(const std::string &name) {
    plat::Mailslot *m = nullptr;
    return plat::mailslot_create(slot(name).c_str(), &m) == plat::OK ? m : nullptr;
}

// Slot: a mailslot this process holds; closing it, at the latest at the end of the scope,
// succeeds.
struct Slot {
    explicit Slot(const std::string &name) : m(create(name)) { EXPECT_NE(m, nullptr) << name; }
    ~Slot() { close(); }
    void close() {
        if (m != nullptr) {
            EXPECT_EQ(plat::mailslot_close(m), plat::OK);
        }
        m = nullptr;
    }
    std::string read(int32_t timeout_ms = 5000) { return read_message(m, timeout_ms); }
    plat::Mailslot *m;
};

}  // namespace mailslot_helpers
