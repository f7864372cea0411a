// host_name.cpp — the machine's name on POSIX. A '/' may stand in it: mailslot addresses are
// "kavi/<node>/mailslot/<NAME>" and the separator "/mailslot/" is lower case, which an upper-cased
// node name never contains.
#include <unistd.h>

#include "platform/common/backend.h"

namespace plat {

std::string host_name() {
    char host[256] = {};
    return gethostname(host, sizeof host - 1) == 0 ? host : "";
}

}  // namespace plat
