// follow.h — reading a file that may still grow (a trace, an error log): what it holds now, and
// with --follow what is appended, in bounded memory, until SIGINT or SIGTERM.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kavitool {

// follow_file: feeds the file's bytes in pieces; `settled` says the writer has paused. With
// follow, polls for more until a signal; when the file is cut or replaced, calls restart and
// reads it from the start. `fed` tells how many bytes were fed since the last restart. False
// (reported on stderr, under `command`) when the file cannot be read.
bool follow_file(const char *command, const std::string &path, bool follow,
                 const std::function<void(std::string_view bytes, bool settled)> &feed,
                 const std::function<void()> &restart, const std::function<uint64_t()> &fed);

}  // namespace kavitool
