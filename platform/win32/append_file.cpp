// append_file.cpp — append-only files: a handle opened for appending only makes the system place
// each WriteFile at the end of the file atomically, across threads and processes. A file that is
// a reparse point (a link) is refused: it could point another user's writes anywhere.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/errors.h"

namespace plat {

struct AppendFile {
    HANDLE file;
};

uint32_t append_open(const char *path, AppendFile **out) {
    HANDLE h =
        CreateFileA(path, FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return last_error();
    BY_HANDLE_FILE_INFORMATION info;
    uint32_t rc = OK;
    if (!GetFileInformationByHandle(h, &info))
        rc = last_error();
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        rc = ERR_ACCESS_DENIED;
    auto *f = rc == OK ? static_cast<AppendFile *>(alloc_zeroed(sizeof(AppendFile))) : nullptr;
    if (rc == OK && f == nullptr) rc = ERR_NO_MEMORY;
    if (rc != OK) {
        CloseHandle(h);
        return rc;
    }
    f->file = h;
    *out = f;
    return OK;
}

uint32_t append_write(AppendFile *f, const void *data, size_t size) {
    DWORD written = 0;
    if (!WriteFile(f->file, data, static_cast<DWORD>(size), &written, nullptr)) return last_error();
    // The rest is not written after the fact: another writer's record may already follow.
    return written == size ? OK : from_win32(ERROR_DISK_FULL);
}

uint32_t append_sync(AppendFile *f) {
    return FlushFileBuffers(f->file) ? OK : last_error();
}

void append_close(AppendFile *f) {
    if (f == nullptr || f == standard_error()) return;
    CloseHandle(f->file);
    mem_free(f);
}

AppendFile *standard_error() {
    static AppendFile error{GetStdHandle(STD_ERROR_HANDLE)};
    return &error;
}

}  // namespace plat
