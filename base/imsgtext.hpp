// imsgtext.hpp — the support library's message texts, looked up by id with inserts %1 to %9.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavibase {

constexpr size_t MESSAGE_TEXT_MAX = 2047;  // bytes of a looked-up text, without its NUL

// messageText: the text of message id, from the message file named by OPTRC_MSGFILE or else
// the built-in table, with "%1".."%9" replaced by inserts[0..count-1] (an insert that was not
// given leaves its "%n" as it stands). An id without a text gives "Unable to load text from
// message file.". out must hold MESSAGE_TEXT_MAX + 1 bytes; it is always NUL-terminated.
// Allocates nothing on the heap, so it also serves the allocation-failure path.
void messageText(uint32_t id, char *out, const char *const *inserts = nullptr, unsigned count = 0);

}  // namespace kavibase
