// mailslot_registry.cpp — the node's registry of mailslots as one small file per mailslot in a
// directory of the node under the user's temporary directory: "<pid> <identity>".
#include "platform/win32/mailslot_registry.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/mailslot_address.h"

namespace plat {
namespace {

// node_directory: "<temp>\kavi\<node>\", made when missing; checked once per process. Never
// destroyed: the exit handlers that drain queued messages run after the static destructors.
uint32_t node_directory(const std::string **out) {
    static std::string &path = *new std::string;
    static const uint32_t made = [] {
        char temp[MAX_PATH + 1];
        DWORD n = GetTempPathA(sizeof temp, temp);
        if (n == 0 || n > MAX_PATH) return last_error();
        std::string dir = std::string(temp) + "kavi";
        if (!CreateDirectoryA(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return last_error();
        dir += "\\" + mailslot_escape(node_name(), true);
        if (!CreateDirectoryA(dir.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return last_error();
        path = dir + "\\";
        return OK;
    }();
    *out = &path;
    return made;
}

uint32_t entry_file(const std::string &entry, std::string *file) {
    const std::string *dir = nullptr;
    if (uint32_t rc = node_directory(&dir); rc != OK) return rc;
    *file = *dir + entry;
    return OK;
}

// How long an entry's file is waited for while another process holds it alone (see
// registry_remove).
constexpr int BUSY_TRIES = 200;

// open_entry: CreateFileA that waits, a bounded time, while the file is held alone by another.
HANDLE open_entry(const std::string &file, DWORD access, DWORD share, DWORD disposition) {
    for (int tries = 1;; ++tries) {
        HANDLE h = CreateFileA(file.c_str(), access, share, nullptr, disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        // A file being deleted refuses to be opened until its last handle is closed.
        const DWORD err = GetLastError();
        if (h != INVALID_HANDLE_VALUE || tries == BUSY_TRIES ||
            (err != ERROR_SHARING_VIOLATION && err != ERROR_ACCESS_DENIED))
            return h;
        Sleep(1);
    }
}

// read_value: the entry in the open file; false when it is not whole (yet).
bool read_value(HANDLE h, RegistryEntry *value) {
    char text[48] = {};
    DWORD got = 0;
    unsigned long pid = 0;
    unsigned long long identity = 0;
    if (!ReadFile(h, text, sizeof text - 1, &got, nullptr) ||
        sscanf(text, "%lu %llu", &pid, &identity) != 2)
        return false;
    *value = {static_cast<uint32_t>(pid), identity};
    return true;
}

uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

// What the node's directory will be, made or not, so that a name is checked without side effects.
size_t registry_entry_room() {
    static const size_t room = [] {
        char temp[MAX_PATH + 1];
        DWORD n = GetTempPathA(sizeof temp, temp);
        const size_t dir = (n == 0 || n > MAX_PATH ? 0 : n) + strlen("kavi\\") +
                           mailslot_escape(node_name(), true).size() + strlen("\\");
        return dir < MAX_PATH - 1 ? MAX_PATH - 1 - dir : 0;
    }();
    return room;
}

uint32_t registry_add(const std::string &entry, const RegistryEntry &value) {
    std::string file;
    if (uint32_t rc = entry_file(entry, &file); rc != OK) return rc;
    HANDLE h = open_entry(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    char text[48];
    int len = snprintf(text, sizeof text, "%lu %llu", static_cast<unsigned long>(value.pid),
                       static_cast<unsigned long long>(value.identity));
    DWORD written = 0;
    uint32_t rc =
        WriteFile(h, text, static_cast<DWORD>(len), &written, nullptr) ? OK : last_error();
    CloseHandle(h);
    if (rc != OK) DeleteFileA(file.c_str());
    return rc;
}

// Held alone from the read to the close, so that a creator replacing the entry meanwhile waits and
// its entry is never the one deleted.
void registry_remove(const std::string &entry, uint64_t identity) {
    std::string file;
    if (entry_file(entry, &file) != OK) return;
    HANDLE h = open_entry(file, GENERIC_READ | DELETE, 0, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return;
    RegistryEntry value;
    if (read_value(h, &value) && value.identity == identity) {
        FILE_DISPOSITION_INFO gone{};
        gone.DeleteFile = TRUE;
        SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
    }
    CloseHandle(h);
}

uint32_t registry_read(const std::string &entry, RegistryEntry *value) {
    std::string file;
    if (uint32_t rc = entry_file(entry, &file); rc != OK) return rc;
    HANDLE h = open_entry(file, GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    const bool whole = read_value(h, value);
    CloseHandle(h);
    // A creator may be between creating the file and writing it: that entry is not there yet.
    return whole ? OK : ERR_NOT_FOUND;
}

uint32_t registry_entries(std::vector<std::string> *out) {
    const std::string *dir = nullptr;
    if (uint32_t rc = node_directory(&dir); rc != OK) return rc;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((*dir + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? OK : last_error();
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            out->push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return OK;
}

// The process's start time tells this process from earlier ones of the same number.
uint64_t registry_new_identity() {
    static const uint64_t base = [] {
        FILETIME created, unused;
        GetProcessTimes(GetCurrentProcess(), &created, &unused, &unused, &unused);
        uint64_t start =
            static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
        return mix(start ^ static_cast<uint64_t>(GetCurrentProcessId()) << 40);
    }();
    static std::atomic<uint64_t> count{0};
    return mix(base + count.fetch_add(1));
}

}  // namespace plat
