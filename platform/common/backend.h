// backend.h — what each backend gives the code its backends share.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// host_name: the machine's name, for the node name when KAVI_NODE is unset; an empty string when
// the system gives none.
std::string host_name();
// system_error_text: the text of a code beyond the shared ones (a system error of the backend's).
const char *system_error_text(uint32_t code);

}  // namespace plat
