// mailslot_identity.cpp — which mailslot holds a path now: the inode of the bound socket, from
// the kernel's table of bound Unix sockets. Socket inodes are not reused while the system runs,
// so a mailslot closed and created again under the same path has another identity.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/mailslot_address.h"

namespace plat {

uint32_t mailslot_identity(const char *path, uint64_t *identity) {
    MailslotAddress address;
    if (identity == nullptr) return ERR_INVALID_PARAMETER;
    if (uint32_t rc = mailslot_address(path, &address); rc != OK) return rc;
    // The table shows the socket file's path; a file left by a dead process is not in it.
    const char *name = address.sa.sun_path;
    const size_t name_length = strlen(name);
    FILE *table = fopen("/proc/net/unix", "re");
    if (table == nullptr) return from_errno(errno);
    uint32_t rc = ERR_NOT_FOUND;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t got;
    while (rc == ERR_NOT_FOUND && (got = getline(&line, &cap, table)) > 0) {
        if (line[got - 1] == '\n') line[--got] = '\0';
        unsigned type = 0;
        unsigned long long inode = 0;
        int path_at = 0;
        if (sscanf(line, "%*s %*x %*x %*x %x %*x %llu %n", &type, &inode, &path_at) != 2) continue;
        if (type != SOCK_DGRAM || path_at == 0) continue;
        const char *bound = line + path_at;
        if (strlen(bound) != name_length || memcmp(bound, name, name_length) != 0) continue;
        *identity = inode;
        rc = OK;
    }
    free(line);
    fclose(table);
    return rc;
}

}  // namespace plat
