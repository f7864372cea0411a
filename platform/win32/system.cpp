// system.cpp — system error texts, the environment, pointer readability and the code
// page's lead bytes on Windows.
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <cstdint>

#include "platform/common/backend.h"
#include "platform/platform.h"
#include "platform/win32/errors.h"

namespace plat {

const char *system_error_text(uint32_t) {
    return "system error";
}

// The process environment, not the C runtime's copy: what SetEnvironmentVariable changed and what
// a child inherits is what counts.
bool env_get(const char *name, std::string *value) {
    if (name == nullptr) return false;
    std::string found(256, '\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        DWORD n = GetEnvironmentVariableA(name, found.data(), static_cast<DWORD>(found.size()));
        if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
        if (n < found.size()) {
            found.resize(n);
            break;
        }
        found.resize(n);  // n counts the terminating NUL when the buffer was too small
    }
    if (value != nullptr) *value = std::move(found);
    return true;
}

// Both copies change: the process environment, which the libraries read and children inherit,
// and the C runtime's, which getenv reads.
uint32_t env_set(const char *name, const char *value) {
    if (name == nullptr || value == nullptr) return ERR_INVALID_PARAMETER;
    if (_putenv_s(name, value) != 0) return ERR_INVALID_PARAMETER;
    return SetEnvironmentVariableA(name, value) ? OK : last_error();
}

namespace {

bool region_readable(const MEMORY_BASIC_INFORMATION &info) {
    constexpr DWORD READABLE = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                               PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    return info.State == MEM_COMMIT && (info.Protect & READABLE) != 0 &&
           (info.Protect & PAGE_GUARD) == 0;
}

}  // namespace

// The system describes the memory region by region; asking never touches the memory.
bool pointer_readable(const void *p, size_t len) {
    if (p == nullptr) return false;
    if (len == 0) return true;
    const uintptr_t first = reinterpret_cast<uintptr_t>(p);
    if (len - 1 > UINTPTR_MAX - first) return false;
    const uintptr_t last = first + (len - 1);
    for (uintptr_t at = first;;) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void *>(at), &info, sizeof info) == 0) return false;
        if (!region_readable(info)) return false;
        const uintptr_t end = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (end == 0 || end > last) return true;
        at = end;
    }
}

bool pointers_readable(const ReadRange *ranges, size_t count) {
    if (ranges == nullptr && count != 0) return false;
    for (size_t i = 0; i < count; ++i)
        if (!pointer_readable(ranges[i].p, ranges[i].len)) return false;
    return true;
}

bool code_page_lead_bytes(bool lead[256]) {
    if (lead == nullptr) return false;
    memset(lead, 0, 256 * sizeof(bool));
    CPINFO info;
    if (!GetCPInfo(CP_ACP, &info)) return false;
    bool any = false;
    for (size_t i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i] != 0; i += 2) {
        for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b) lead[b] = true;
        any = true;
    }
    return any;
}

}  // namespace plat
