// mailslot_registry.cpp — the node's registry of mailslots as one small file per mailslot in a
// directory of the node under the user's temporary directory: "<pid> <identity>".
#include "platform/win32/mailslot_registry.h"

#include <stdio.h>
#include <windows.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/win32/errors.h"
#include "platform/win32/mailslot_address.h"

namespace plat {
namespace {

// node_directory: "<temp>\kavi\<node>\", made when missing; checked once per process.
uint32_t node_directory(const std::string **out) {
    static std::string path;
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

uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

}  // namespace

uint32_t registry_add(const std::string &entry, const RegistryEntry &value) {
    std::string file;
    if (uint32_t rc = entry_file(entry, &file); rc != OK) return rc;
    HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

void registry_remove(const std::string &entry) {
    std::string file;
    if (entry_file(entry, &file) == OK) DeleteFileA(file.c_str());
}

uint32_t registry_read(const std::string &entry, RegistryEntry *value) {
    std::string file;
    if (uint32_t rc = entry_file(entry, &file); rc != OK) return rc;
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    char text[48] = {};
    DWORD got = 0;
    const bool read = ReadFile(h, text, sizeof text - 1, &got, nullptr);
    CloseHandle(h);
    unsigned long pid = 0;
    unsigned long long identity = 0;
    // A creator may be between creating the file and writing it: that entry is not there yet.
    if (!read || sscanf(text, "%lu %llu", &pid, &identity) != 2) return ERR_NOT_FOUND;
    *value = {static_cast<uint32_t>(pid), identity};
    return OK;
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
