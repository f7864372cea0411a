// mailslot_address.h — how a mailslot path becomes the socket address that every call uses: a
// socket file "<owner directory>/<node>.<NAME>", NAME upper-cased, in a directory that only the
// node's owner may enter.
#pragma once

#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

namespace plat {

// The path prefix "\\.\MAILSLOT\", compared without regard to case.
constexpr char MAILSLOT_PATH_PREFIX[] = "\\\\.\\MAILSLOT\\";
constexpr size_t MAILSLOT_PATH_PREFIX_LEN = sizeof MAILSLOT_PATH_PREFIX - 1;

// `len` counts the path and its NUL, so two computations of one path give the same address.
struct MailslotAddress {
    sockaddr_un sa;
    socklen_t len;
};

// mailslot_address: 0, ERR_INVALID_PARAMETER for a null path, a path without the prefix, an
// empty name or a file name that does not fit the 107 bytes of a socket address, or the code of
// owner_directory when the owner's directory cannot be used.
uint32_t mailslot_address(const char *path, MailslotAddress *out);

// mailslot_namespace: 0 and "<owner directory>/<node>.", the part every mailslot address of the
// node begins with; or the code of owner_directory.
uint32_t mailslot_namespace(std::string *out);

// mailslot_name_decode: the NAME of a socket file name's part after the node's prefix.
std::string mailslot_name_decode(const std::string &encoded);

}  // namespace plat
