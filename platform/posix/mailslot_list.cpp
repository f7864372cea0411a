// mailslot_list.cpp — the node's mailslots, from the kernel's table of bound Unix sockets (so a
// stale file of a dead process is not listed), with the owning process found through the
// socket's inode among the processes' open descriptors.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/common/text.h"
#include "platform/platform.h"
#include "platform/posix/errors.h"
#include "platform/posix/mailslot_address.h"

namespace plat {
namespace {

// Lines read "Num RefCount Protocol Flags Type St Inode Path"; the path runs to the end of the
// line.
void read_bound_names(FILE *table, const std::string &ns, const char *prefix,
                      std::vector<MailslotInfo> *out,
                      std::unordered_map<unsigned long, size_t> *by_inode) {
    char *line = nullptr;
    size_t cap = 0;
    ssize_t got;
    while ((got = getline(&line, &cap, table)) > 0) {
        if (line[got - 1] == '\n') line[--got] = '\0';
        unsigned type = 0;
        unsigned long inode = 0;
        int path_at = 0;
        if (sscanf(line, "%*s %*x %*x %*x %x %*x %lu %n", &type, &inode, &path_at) != 2) continue;
        if (type != SOCK_DGRAM || path_at == 0) continue;
        const char *file = line + path_at;
        if (strncmp(file, ns.data(), ns.size()) != 0) continue;
        std::string path = MAILSLOT_PATH_PREFIX + mailslot_name_decode(file + ns.size());
        if (!has_prefix_nocase(path, prefix)) continue;
        by_inode->emplace(inode, out->size());
        out->push_back({std::move(path), 0});
    }
    free(line);
}

// Processes of other users stay unreadable: their mailslots keep pid 0.
void find_owners(std::vector<MailslotInfo> *out,
                 std::unordered_map<unsigned long, size_t> *by_inode) {
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return;
    while (!by_inode->empty()) {
        dirent *p = readdir(proc);
        if (p == nullptr) break;
        char *end;
        unsigned long pid = strtoul(p->d_name, &end, 10);
        if (*end != '\0' || pid == 0) continue;
        std::string dir = "/proc/" + std::string(p->d_name) + "/fd";
        DIR *fds = opendir(dir.c_str());
        if (fds == nullptr) continue;
        while (dirent *f = readdir(fds)) {
            char link[64];
            std::string fd_path = dir + "/" + f->d_name;
            ssize_t n = readlink(fd_path.c_str(), link, sizeof link - 1);
            if (n <= 0) continue;
            link[n] = '\0';
            unsigned long inode;
            if (sscanf(link, "socket:[%lu]", &inode) != 1) continue;
            auto hit = by_inode->find(inode);
            if (hit == by_inode->end()) continue;
            (*out)[hit->second].pid = static_cast<uint32_t>(pid);
            by_inode->erase(hit);
        }
        closedir(fds);
    }
    closedir(proc);
}

}  // namespace

uint32_t mailslot_list(const char *prefix, std::vector<MailslotInfo> *out) {
    if (out == nullptr) return ERR_INVALID_PARAMETER;
    out->clear();
    // The kernel's table shows every user's socket files; only an owner may list its own.
    std::string ns;
    uint32_t rc = mailslot_namespace(&ns);
    if (rc != OK) return rc;
    FILE *table = fopen("/proc/net/unix", "re");
    if (table == nullptr) return from_errno(errno);
    std::unordered_map<unsigned long, size_t> by_inode;
    read_bound_names(table, ns, prefix != nullptr ? prefix : "", out, &by_inode);
    fclose(table);
    find_owners(out, &by_inode);
    return OK;
}

}  // namespace plat
