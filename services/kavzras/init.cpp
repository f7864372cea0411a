// init.cpp — VULZINITTRACE: the trace settings from the environment. Tracing is on only when
// KAVZ_TRACE_FILE and KAVZ_TRACE_MASK are both set, the mask is not 0 and the file opens.
#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "services/kavzras/input.h"
#include "services/kavzras/kavzras.h"
#include "services/kavzras/report.h"
#include "services/kavzras/state.h"

namespace {

// "0x" or "0X" and hexadecimal digits, or decimal digits; nothing else, and no overflow.
bool parse_u32(std::string_view text, uint32_t *value) {
    uint64_t base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        uint64_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint64_t>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<uint64_t>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<uint64_t>(c - 'A' + 10);
        } else {
            return false;
        }
        v = v * base + digit;
        if (v > UINT32_MAX) return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

bool env_set(const char *name, std::string *value) {
    return plat::env_get(name, value) && !value->empty();
}

void install(const char *component, plat::AppendFile *trace, uint32_t mask, uint32_t level) {
    kavz::State &s = kavz::state();
    std::unique_lock guard(s.lock);
    s.component_size = kavz::copy_text(component, s.component, sizeof s.component);
    plat::append_close(s.trace);
    s.trace = trace;
    // A control pointer kept from an earlier call then reads "nothing enabled".
    s.control = trace != nullptr ? VULZ_TRACE_CONTROL{mask, level} : VULZ_TRACE_CONTROL{0, 0};
}

}  // namespace

extern "C" void VULZINITTRACE(const char *component, const char *options,
                              VULZ_TRACE_CONTROL **control) try {
    (void)options;  // no options are defined; callers pass an empty string
    uint32_t rc = plat::OK;
    uint32_t site = 0;
    std::string file, mask_text, level_text;
    const std::string *culprit = nullptr;
    uint32_t mask = 0;
    uint32_t level = VULZ_LEVEL;
    plat::AppendFile *trace = nullptr;

    bool wanted = env_set("KAVZ_TRACE_FILE", &file) && env_set("KAVZ_TRACE_MASK", &mask_text);
    if (wanted && !parse_u32(mask_text, &mask)) {
        rc = plat::ERR_INVALID_PARAMETER;
        site = 1;
        culprit = &mask_text;
    }
    if (rc == plat::OK && wanted && env_set("KAVZ_TRACE_LEVEL", &level_text) &&
        !parse_u32(level_text, &level)) {
        rc = plat::ERR_INVALID_PARAMETER;
        site = 2;
        culprit = &level_text;
    }
    if (rc == plat::OK && wanted && mask != 0) {
        rc = plat::append_open(file.c_str(), &trace);
        if (rc != plat::OK) {
            site = 3;
            culprit = &file;
            static std::atomic<bool> reported{false};
            kavz::report_once(reported, "cannot open the trace file", file, rc, "tracing is off");
        }
    }
    install(component, trace, mask, level);
    if (control != nullptr) *control = trace != nullptr ? &kavz::state().control : nullptr;
    // Logged once the component is in place, so the line names it.
    if (rc != plat::OK) {
        VULZLOGERROR("VULZINITTRACE", rc, 0, site, VULZ_LEVEL, 1, culprit->data(),
                     static_cast<uint32_t>(culprit->size()));
    }
} catch (...) {
    // A failed allocation leaves tracing off; no exception leaves the call.
}
