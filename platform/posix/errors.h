// errors.h — the POSIX backend's translation of errno values into the platform's codes, so
// callers above the platform see one vocabulary whatever the system.
#pragma once

#include <errno.h>

#include <cstdint>

#include "platform/platform.h"

namespace plat {

inline uint32_t from_errno(int err) {
    switch (err) {
        case 0:
            return OK;
        case ENOMEM:
            return ERR_NO_MEMORY;
        case EEXIST:
        case EADDRINUSE:
            return ERR_ALREADY_EXISTS;
        case ENOENT:
        case ECONNREFUSED:
            return ERR_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERR_ACCESS_DENIED;
        case EINVAL:
        case ENAMETOOLONG:
            return ERR_INVALID_PARAMETER;
        default:
            return SYSTEM_ERROR_BASE | static_cast<uint32_t>(err);
    }
}

}  // namespace plat
