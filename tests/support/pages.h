// pages.h — memory of known kinds for readability tests, with a POSIX side and a Windows side.
#pragma once

#include <cstddef>

namespace kavitest {

// Four pages: two readable, one that cannot be accessed, one not mapped (nothing owns it).
struct TestPages {
    char *base = nullptr;  // null when they could not be made
    size_t page = 0;       // the page size
};
TestPages map_test_pages();
// unmap_test_pages: gives back the three pages still mapped.
void unmap_test_pages(const TestPages &pages);

}  // namespace kavitest
