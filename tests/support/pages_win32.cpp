// pages_win32.cpp — the test pages with VirtualAlloc: the last page is reserved, never committed.
#include <windows.h>

#include "tests/support/pages.h"

namespace kavitest {

TestPages map_test_pages() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const size_t page = info.dwPageSize;
    auto *base = static_cast<char *>(VirtualAlloc(nullptr, 4 * page, MEM_RESERVE, PAGE_NOACCESS));
    DWORD old = 0;
    if (base == nullptr || VirtualAlloc(base, 3 * page, MEM_COMMIT, PAGE_READWRITE) == nullptr ||
        !VirtualProtect(base + 2 * page, page, PAGE_NOACCESS, &old))
        return {};
    return {base, page};
}

void unmap_test_pages(const TestPages &pages) {
    VirtualFree(pages.base, 0, MEM_RELEASE);
}

}  // namespace kavitest
