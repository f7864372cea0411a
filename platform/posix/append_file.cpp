// append_file.cpp — append-only files: O_APPEND makes the kernel place each write() at the end
// of the file atomically, across threads and processes.
#include <fcntl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/errors.h"

namespace plat {

struct AppendFile {
    int fd;
};

uint32_t append_open(const char *path, AppendFile **out) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return from_errno(errno);
    auto *f = static_cast<AppendFile *>(alloc_zeroed(sizeof(AppendFile)));
    if (f == nullptr) {
        close(fd);
        return ERR_NO_MEMORY;
    }
    f->fd = fd;
    *out = f;
    return OK;
}

uint32_t append_write(AppendFile *f, const void *data, size_t size) {
    ssize_t n;
    do {
        n = write(f->fd, data, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return from_errno(errno);
    // The rest is not written after the fact: another writer's record may already follow.
    return static_cast<size_t>(n) == size ? OK : from_errno(ENOSPC);
}

uint32_t append_sync(AppendFile *f) {
    return fdatasync(f->fd) == 0 ? OK : from_errno(errno);
}

void append_close(AppendFile *f) {
    if (f == nullptr || f == standard_error()) return;
    close(f->fd);
    mem_free(f);
}

AppendFile *standard_error() {
    static AppendFile error{STDERR_FILENO};
    return &error;
}

}  // namespace plat
