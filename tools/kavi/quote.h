// quote.h — a text in double quotes, as kavi's two output forms write it: quotes and backslashes
// escaped, and each byte outside printable ASCII as an escape of its own.
#pragma once

#include <string>
#include <string_view>

namespace kavitool {

// json_string: a JSON string; other bytes as \u00XX, which json_in reads back as the byte.
std::string json_string(std::string_view text);
// quoted: the text form; other bytes as \xXX.
std::string quoted(std::string_view text);

}  // namespace kavitool
