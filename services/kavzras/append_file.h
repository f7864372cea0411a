// append_file.h — files that are only ever appended to, one whole buffer per write, for
// traces and error logs. The operating system's side lives in <os>/append_file.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavz {

struct AppendFile;

// append_open: opens (creating it when missing) a file for appending, shared with every other
// writer of it, in this process or another. 0 or a platform code; *out is set only on success.
uint32_t append_open(const char *path, AppendFile **out);
// append_write: appends the whole buffer in one write, so that the writes of concurrent writers
// never interleave. 0; or a platform code, also for a short write (a full device), whose
// bytes then end the file as a truncated record or line.
uint32_t append_write(AppendFile *f, const void *data, size_t size);
// append_sync: makes the file's data durable. 0 or a platform code.
uint32_t append_sync(AppendFile *f);
// append_close: takes null; never closes standard error.
void append_close(AppendFile *f);
// standard_error: the process's standard error, never closed.
AppendFile *standard_error();

}  // namespace kavz
