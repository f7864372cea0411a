// report.cpp — reports about the service's own files, on standard error.
#include "services/kavzras/report.h"

#include <cstdio>

#include "platform/platform.h"

namespace kavz {

void report_once(std::atomic<bool> &reported, const char *what, const std::string &path,
                 uint32_t rc, const char *consequence) {
    if (reported.exchange(true)) return;
    char text[1024];
    int n = std::snprintf(text, sizeof text, "kavzras: %s%s%s: %s; %s\n", what,
                          path.empty() ? "" : " ", path.c_str(), plat::error_text(rc), consequence);
    if (n <= 0) return;
    size_t size = static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1;
    if (text[size - 1] != '\n') text[size - 1] = '\n';
    plat::append_write(plat::standard_error(), text, size);
}

}  // namespace kavz
