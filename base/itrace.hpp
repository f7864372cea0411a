// itrace.hpp — the support library's own trace: lines to standard error, standard output, a
// file or the PRINTF32 mailslot, as the OPTRC trace settings say; off by default.
#pragma once

namespace kavibase {

// traceLine: writes prefix (the thread), marker and text, then a new-line, to the destination
// of the settings read from the environment on first use; nothing when tracing is off. Never
// fails and never throws.
void traceLine(const char *marker, const char *text);

}  // namespace kavibase
