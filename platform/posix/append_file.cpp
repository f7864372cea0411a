// append_file.cpp — append-only files: O_APPEND makes the kernel place each write() at the end
// of the file atomically, across threads and processes. Traces and logs carry what commands
// carry, so a new file is the owner's alone (readable by the owner's group when there is one),
// and a symbolic link is never followed: it could point another user's writes anywhere.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/owner_directory.h"

namespace plat {

struct AppendFile {
    int fd;
};

uint32_t append_open(const char *path, AppendFile **out) {
    gid_t group;
    const bool shared = owner_group(&group);
    const mode_t mode = shared ? S_IRUSR | S_IWUSR | S_IRGRP : S_IRUSR | S_IWUSR;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
    if (fd < 0) return from_errno(errno);
    struct stat st;
    if (shared && fstat(fd, &st) == 0 && st.st_uid == geteuid() && st.st_gid != group)
        (void)fchown(fd, static_cast<uid_t>(-1), group);
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
