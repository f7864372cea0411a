// mailslot_address.h — how a mailslot path becomes the system's mailslot name and the node
// registry's entry: "\\.\mailslot\kavi\<node>\<NAME>", node and NAME escaped, NAME upper-cased.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// The path prefix "\\.\MAILSLOT\", compared without regard to case.
constexpr char MAILSLOT_PATH_PREFIX[] = "\\\\.\\MAILSLOT\\";
constexpr size_t MAILSLOT_PATH_PREFIX_LEN = sizeof MAILSLOT_PATH_PREFIX - 1;

struct MailslotAddress {
    std::string system_path;  // the name the system knows the mailslot by
    std::string entry;        // the escaped NAME: the last part of system_path, and a file name
};

// mailslot_address: 0, or ERR_INVALID_PARAMETER for a null path, a path without the prefix, an
// empty name or one too long for the system.
uint32_t mailslot_address(const char *path, MailslotAddress *out);

// mailslot_escape: s with every byte that cannot stand in a file name, and '%', as %XX; node
// names (node true) keep only letters, digits, '_' and '-', so no node's prefix is another's.
std::string mailslot_escape(const std::string &s, bool node);
// mailslot_name_decode: the NAME of an escaped entry.
std::string mailslot_name_decode(const std::string &entry);

}  // namespace plat
