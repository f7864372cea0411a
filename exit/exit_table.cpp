// exit_table.cpp — the process-wide state every exit shares, and the small operations on it that
// registration, termination and the dispatcher have in common.
#include "exit/exit_table.h"

#include <cstring>
#include <mutex>

#include "kaviexit.h"
#include "services/kavzras/kavzras.h"

namespace kavi {

ExitSlot exit_table[EXIT_SLOTS];

plat::Mutex *exit_table_mutex = nullptr;
plat::Mutex *active_command_mutex = nullptr;
plat::Mutex *wait_list_mutex = nullptr;

char local_node_address[25] = "        ";

uint32_t create_mutex_once(plat::Mutex **m) {
    static std::mutex creation;
    std::lock_guard<std::mutex> guard(creation);
    if (*m != nullptr) return plat::OK;
    return plat::mutex_create(m);
}

uint32_t service_failure(uint32_t rc) {
    return rc == VULC_NOT_STARTED ? VULE_NOT_REGISTERED : VULE_SYSTEM_ERROR;
}

// A name may end just before an unreadable page, so each page it enters is checked first.
static bool char_readable(const char *p) {
    constexpr uintptr_t PAGE_ALIGNMENT = 4096;
    return reinterpret_cast<uintptr_t>(p) % PAGE_ALIGNMENT != 0 || plat::pointer_readable(p, 1);
}

bool make_padded_name(const char *name, char padded[9]) {
    return name != nullptr && VULZCHKPOINTER(name, 1) != 0 && pad_readable_name(name, padded);
}

bool pad_readable_name(const char *name, char padded[9]) {
    size_t length = 0;
    while (length <= 8 && char_readable(name + length) && name[length] != '\0') ++length;
    if (length == 0 || length > 8 || !char_readable(name + length)) return false;
    memset(padded, ' ', 8);
    memcpy(padded, name, length);
    padded[8] = '\0';
    plat::upper_case(padded);
    return true;
}

uint32_t name_refused(const char padded[9]) {
    if (std::memcmp(padded, "KAVIEXIT", 8) == 0) return NAME_RESERVED;
    size_t length = 8;
    while (length > 0 && padded[length - 1] == ' ') --length;
    for (size_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(padded[i]);
        if (c <= ' ' || c == 0x7F || c == '/' || c == '\\') return NAME_BAD_CHARACTER;
    }
    return 0;
}

uint32_t copy_traced_name(const char *text, char out[8]) {
    if (text == nullptr || !plat::pointer_readable(text, 1)) return 0;
    uint32_t length = 0;
    while (length < 8 && (length == 0 || char_readable(text + length)) && text[length] != '\0') {
        out[length] = text[length];
        ++length;
    }
    return length;
}

}  // namespace kavi
