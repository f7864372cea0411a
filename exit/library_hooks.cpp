// library_hooks.cpp — what happens when a process loads and unloads the library: tracing starts
// at load and is flushed at unload. A static object's constructor and destructor are the hooks.
#include "exit/trace.h"

namespace kavi {

VULZ_TRACE_CONTROL *trace_control = nullptr;

namespace {

// Reasons as a trace reader knows them from the Windows library entry point.
constexpr uint32_t PROCESS_DETACH = 0;
constexpr uint32_t PROCESS_ATTACH = 1;

struct LibraryHooks {
    LibraryHooks() {
        VULZINITTRACE("KAVI", "", &trace_control);
        KAVI_TRACE(VULZ_KIND_ENTRY, "DllMain", 20, 1, &PROCESS_ATTACH, 4u);
    }
    ~LibraryHooks() {
        KAVI_TRACE(VULZ_KIND_ENTRY, "DllMain", 40, 1, &PROCESS_DETACH, 4u);
        VULZFLUSHTRACE();
    }
};

const LibraryHooks hooks;

}  // namespace
}  // namespace kavi
