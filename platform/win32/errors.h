// errors.h — the Windows backend's translation of system errors into the platform's codes. The
// platform's vocabulary is the Windows numbering, so most errors pass through unchanged.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/platform.h"

namespace plat {

inline uint32_t from_win32(DWORD err) {
    switch (err) {
        case ERROR_SUCCESS:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_INVALID_PARAMETER:
        case ERROR_ALREADY_EXISTS:
            return err;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_PATHNAME:
            return ERR_NOT_FOUND;
        case ERROR_OUTOFMEMORY:
            return ERR_NO_MEMORY;
        case ERROR_INVALID_NAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ERR_INVALID_PARAMETER;
        default:
            return SYSTEM_ERROR_BASE | err;
    }
}

inline uint32_t last_error() {
    return from_win32(GetLastError());
}

}  // namespace plat
