// mailslot_address.h — how a mailslot path becomes the socket address that every call uses:
// "kavi/<node>/mailslot/<NAME>" in the Linux abstract namespace, NAME upper-cased.
#pragma once

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace plat {

// The path prefix "\\.\MAILSLOT\", compared without regard to case.
constexpr char MAILSLOT_PATH_PREFIX[] = "\\\\.\\MAILSLOT\\";
constexpr size_t MAILSLOT_PATH_PREFIX_LEN = sizeof MAILSLOT_PATH_PREFIX - 1;

// Abstract names are length-delimited, not NUL-terminated: `len` counts exactly the leading NUL
// and the name, so two computations of one path always give the same address.
struct MailslotAddress {
    sockaddr_un sa;
    socklen_t len;
};

// mailslot_address: false for a null path, a path without the prefix, an empty name or a name
// that does not fit the 107 bytes of an abstract address.
bool mailslot_address(const char *path, MailslotAddress *out);

// mailslot_namespace: "kavi/<node>/mailslot/", the part every mailslot address of the node
// begins with (without the abstract namespace's leading NUL).
std::string mailslot_namespace();

}  // namespace plat
