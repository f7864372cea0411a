// host_name.h — the machine's name as the system gives it, for the node name when KAVI_NODE is
// unset; each backend has its own.
#pragma once

#include <string>

namespace plat {

// host_name: the name, or an empty string when the system gives none.
std::string host_name();

}  // namespace plat
