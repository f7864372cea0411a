// pointer.cpp — VULZCHKPOINTER: whether callers may read an area they were handed.
#include "platform/platform.h"
#include "services/kavzras/kavzras.h"

extern "C" int VULZCHKPOINTER(const void *address, uint32_t length) {
    return plat::pointer_readable(address, length) ? 1 : 0;
}
