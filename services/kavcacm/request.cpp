// request.cpp — the service's one way of writing an error-log entry.
#include "services/kavcacm/request.h"

#include "services/kavzras/kavzras.h"

namespace kavc {

void log_failure(const char *function, uint32_t code, uint32_t reason, uint32_t line,
                 const void *data, size_t length) {
    VULZLOGERROR(function, code, reason, line, VULZ_LEVEL, data != nullptr ? 1 : 0, data,
                 static_cast<uint32_t>(length));
}

}  // namespace kavc
