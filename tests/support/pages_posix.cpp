// pages_posix.cpp — the test pages with mmap, mprotect and munmap.
#include <sys/mman.h>
#include <unistd.h>

#include "tests/support/pages.h"

namespace kavitest {

TestPages map_test_pages() {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *base =
        mmap(nullptr, 4 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return {};
    auto *bytes = static_cast<char *>(base);
    if (mprotect(bytes + 2 * page, page, PROT_NONE) != 0 || munmap(bytes + 3 * page, page) != 0)
        return {};
    return {bytes, page};
}

void unmap_test_pages(const TestPages &pages) {
    munmap(pages.base, 3 * pages.page);
}

}  // namespace kavitest
