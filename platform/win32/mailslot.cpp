// mailslot.cpp — mailslots as the system's own, named under the node. A reader takes messages
// out of the system's queue into a buffer of its own, so that one that does not fit the caller's
// buffer stays first in line whole, and waits in short slices, so that a shut ends every wait.
#include <string.h>
#include <windows.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/common/fault.h"
#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/mailslot_address.h"
#include "platform/win32/mailslot_registry.h"
#include "platform/win32/mailslot_send.h"

namespace plat {

struct Mailslot {
    HANDLE handle = INVALID_HANDLE_VALUE;  // null once shut
    MailslotAddress address;
    uint64_t identity = 0;  // in the node registry's entry, removed on shut or close
    // Held around every read of the system's queue and every use of the fields below, so that
    // readers take turns and keep the order of the messages.
    std::mutex reading;
    std::deque<std::string> taken;  // messages out of the system's queue, not read yet
    std::vector<char> buffer;       // one message of the largest size, read from the system
    DWORD read_timeout = MAILSLOT_WAIT_FOREVER;  // the system mailslot's current read time-out
    std::atomic<bool> shut{false};
};

namespace {

// The longest a reader stays in the system's read, so that a shut ends its wait soon.
constexpr DWORD SLICE_MS = 50;
// The longest a shut waits for a moment without writers (see mailslot_shut).
constexpr ULONGLONG SHUT_WAIT_MS = 1000;

const char *const DIGITS = "0123456789ABCDEF";

char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool plain(char c, bool node) {
    if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-') return true;
    if (node || static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x80)
        return false;
    for (const char *p = "%\\/:*?\"<>|."; *p != '\0'; ++p)
        if (c == *p) return false;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int64_t deadline_of(int32_t timeout_ms) {
    return timeout_ms < 0 ? -1 : static_cast<int64_t>(GetTickCount64()) + timeout_ms;
}

// slice: how long the next system read may wait; 0 when the deadline has passed.
DWORD slice(int64_t deadline) {
    if (deadline < 0) return SLICE_MS;
    int64_t left = deadline - static_cast<int64_t>(GetTickCount64());
    return left <= 0 ? 0 : left < SLICE_MS ? static_cast<DWORD>(left) : SLICE_MS;
}

// take: with m->reading held, moves the next message of the system's queue into m->taken,
// waiting up to wait_ms. 0, TIMEOUT, or a system error.
uint32_t take(Mailslot *m, DWORD wait_ms) {
    if (m->read_timeout != wait_ms) {
        if (!SetMailslotInfo(m->handle, wait_ms)) return last_error();
        m->read_timeout = wait_ms;
    }
    if (m->buffer.empty()) m->buffer.resize(MAILSLOT_MAX_MESSAGE);
    DWORD got = 0;
    if (!ReadFile(m->handle, m->buffer.data(), static_cast<DWORD>(m->buffer.size()), &got, nullptr))
        return GetLastError() == ERROR_SEM_TIMEOUT ? TIMEOUT : last_error();
    m->taken.emplace_back(m->buffer.data(), got);
    return OK;
}

// next: with m->reading held, makes sure a message is first in m->taken. 0, TIMEOUT,
// ERR_CLOSED (shut and empty), or a system error. The lock is given up between slices.
uint32_t next(Mailslot *m, std::unique_lock<std::mutex> &held, int64_t deadline) {
    for (;;) {
        if (!m->taken.empty()) return OK;
        if (m->shut.load()) return ERR_CLOSED;
        DWORD wait = slice(deadline);
        uint32_t rc = take(m, wait);
        if (rc != TIMEOUT) return rc;
        if (wait == 0 || (deadline >= 0 && slice(deadline) == 0)) return TIMEOUT;
        held.unlock();
        held.lock();
    }
}

}  // namespace

std::string mailslot_escape(const std::string &s, bool node) {
    std::string out;
    for (char c : s) {
        if (plain(c, node)) {
            out.push_back(c);
            continue;
        }
        out.push_back('%');
        out.push_back(DIGITS[static_cast<unsigned char>(c) >> 4]);
        out.push_back(DIGITS[static_cast<unsigned char>(c) & 0xF]);
    }
    return out;
}

std::string mailslot_name_decode(const std::string &entry) {
    std::string name;
    for (size_t i = 0; i < entry.size(); ++i) {
        int high = entry[i] == '%' && i + 2 < entry.size() ? hex_digit(entry[i + 1]) : -1;
        int low = high >= 0 ? hex_digit(entry[i + 2]) : -1;
        if (low < 0) {
            name.push_back(entry[i]);
            continue;
        }
        name.push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    return name;
}

uint32_t mailslot_address(const char *path, MailslotAddress *out) {
    if (path == nullptr) return ERR_INVALID_PARAMETER;
    for (size_t i = 0; i < MAILSLOT_PATH_PREFIX_LEN; ++i) {
        if (ascii_upper(path[i]) != MAILSLOT_PATH_PREFIX[i]) return ERR_INVALID_PARAMETER;
    }
    std::string name = path + MAILSLOT_PATH_PREFIX_LEN;
    if (name.empty()) return ERR_INVALID_PARAMETER;
    upper_case(name.data());
    // Never destroyed, for writes made by exit handlers that run after the static destructors.
    static const std::string &node_part =
        *new std::string("\\\\.\\mailslot\\kavi\\" + mailslot_escape(node_name(), true) + "\\");
    out->entry = mailslot_escape(name, false);
    out->system_path = node_part + out->entry;
    const bool fits =
        out->system_path.size() < MAX_PATH && out->entry.size() <= registry_entry_room();
    return fits ? OK : ERR_INVALID_PARAMETER;
}

uint32_t mailslot_create(const char *path, Mailslot **out) {
    if (out == nullptr) return ERR_INVALID_PARAMETER;
    MailslotAddress address;
    uint32_t rc = mailslot_address(path, &address);
    if (rc != OK) return rc;
    if (fault_hit(Fault::mailslot_create)) return SYSTEM_ERROR_BASE | ERROR_TOO_MANY_OPEN_FILES;
    auto *m = new (std::nothrow) Mailslot;
    if (m == nullptr) return ERR_NO_MEMORY;
    m->handle = CreateMailslotA(address.system_path.c_str(), MAILSLOT_MAX_MESSAGE,
                                MAILSLOT_WAIT_FOREVER, nullptr);
    if (m->handle == INVALID_HANDLE_VALUE) {
        rc = last_error();
        delete m;
        return rc;
    }
    pause_here(Pause::mailslot_created);
    mailslot_send_prepare();
    m->address = address;
    m->identity = registry_new_identity();
    rc = registry_add(address.entry, {process_id(), m->identity});
    if (rc != OK) {
        CloseHandle(m->handle);
        delete m;
        return rc;
    }
    *out = m;
    return OK;
}

uint32_t mailslot_wait(Mailslot *m, int32_t timeout_ms, size_t *size) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    std::unique_lock<std::mutex> held(m->reading);
    uint32_t rc = next(m, held, deadline_of(timeout_ms));
    if (rc == OK && size != nullptr) *size = m->taken.front().size();
    return rc;
}

uint32_t mailslot_read(Mailslot *m, void *buf, size_t cap, size_t *len, int32_t timeout_ms) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    if (buf == nullptr && cap != 0) return ERR_INVALID_PARAMETER;
    std::unique_lock<std::mutex> held(m->reading);
    uint32_t rc = next(m, held, deadline_of(timeout_ms));
    if (rc != OK) return rc;
    const std::string &message = m->taken.front();
    if (len != nullptr) *len = message.size();
    if (message.size() > cap) return ERR_INVALID_PARAMETER;
    if (!message.empty()) memcpy(buf, message.data(), message.size());
    m->taken.pop_front();
    return OK;
}

uint32_t mailslot_write(const char *path, const void *data, size_t len) {
    if ((data == nullptr && len != 0) || len > MAILSLOT_MAX_MESSAGE) return ERR_INVALID_PARAMETER;
    MailslotAddress to;
    uint32_t rc = mailslot_address(path, &to);
    if (rc != OK) return rc;
    if (fault_hit(Fault::mailslot_write)) return SYSTEM_ERROR_BASE | ERROR_NO_SYSTEM_RESOURCES;
    return mailslot_send(to, data, len);
}

uint32_t mailslot_dropped(const char *path) {
    MailslotAddress to;
    return mailslot_address(path, &to) == OK ? mailslot_dropped_to(to) : 0;
}

// Opening a mailslot for writing sends nothing.
bool mailslot_exists(const char *path) {
    MailslotAddress address;
    HANDLE h;
    if (mailslot_address(path, &address) != OK || open_writer(address, false, &h) != OK)
        return false;
    CloseHandle(h);
    return true;
}

// The system cannot refuse writers of a mailslot that stays open, and what is in it when it is
// closed is lost. But writers share it among themselves, so a handle opened alone proves that no
// writer holds it and keeps new ones out: every write that succeeded is then in the queue, taken
// out before the close. Writers that never pause for SHUT_WAIT_MS leave the old way: drained,
// then closed, where a message written between the last read and the close is lost.
uint32_t mailslot_shut(Mailslot *m) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    std::lock_guard<std::mutex> held(m->reading);
    if (m->shut.load()) return OK;
    const ULONGLONG give_up = GetTickCount64() + SHUT_WAIT_MS;
    HANDLE alone = INVALID_HANDLE_VALUE;
    uint32_t rc = OK;
    for (;;) {
        while ((rc = take(m, 0)) == OK) {
        }
        if (rc != TIMEOUT || alone != INVALID_HANDLE_VALUE || GetTickCount64() >= give_up) break;
        pause_here(Pause::mailslot_shut_drained);
        alone = CreateFileA(m->address.system_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (alone == INVALID_HANDLE_VALUE) Sleep(1);
    }
    // Only now: a writer that finds the entry gone takes the mailslot for gone, which it is not
    // while writes still succeed.
    registry_remove(m->address.entry, m->identity);
    CloseHandle(m->handle);
    if (alone != INVALID_HANDLE_VALUE) CloseHandle(alone);
    m->handle = nullptr;
    m->shut.store(true);
    return rc == TIMEOUT ? OK : rc;
}

// The entry goes first: once the mailslot is closed, another process may take the name.
uint32_t mailslot_close(Mailslot *m) {
    if (m == nullptr) return ERR_INVALID_HANDLE;
    if (!m->shut.load()) {
        registry_remove(m->address.entry, m->identity);
        CloseHandle(m->handle);
    }
    delete m;
    return OK;
}

}  // namespace plat
