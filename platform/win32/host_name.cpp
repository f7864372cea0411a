// host_name.cpp — the machine's name on Windows. Mailslot paths are
// "\\.\mailslot\kavi\<node>\<NAME>" with every byte of the node but letters, digits, '_' and '-'
// escaped, so any name is safe.
#include <windows.h>

#include "platform/common/backend.h"

namespace plat {

std::string host_name() {
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof host;
    return GetComputerNameA(host, &size) ? host : "";
}

}  // namespace plat
